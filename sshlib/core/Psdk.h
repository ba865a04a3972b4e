#pragma once

class StringBuffer;

// Operating-system queries.
class Psdk {
public:
  // Milliseconds of the wall clock, in 32 bits (it wraps); 0 when the clock cannot be read.
  static unsigned int getTickCount();
  static void sleepMs(int ms);
  // Both are ISO-8859-1 (28591) on this platform.
  static int getAnsiCodePage();
  static int getOemCodePage();
  static void getComputerName(StringBuffer &out);
  static void getUsername(StringBuffer &out);
};
