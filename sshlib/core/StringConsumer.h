#pragma once

// Receiver of NUL-terminated strings (lines handed out one at a time).
class StringConsumer {
public:
  StringConsumer() = default;
  virtual ~StringConsumer() = default;
  virtual void consume(const char *) {}
};
