#pragma once

#include "sshlib/core/RazudodObject.h"

class StringBuffer;
class LogBase;

// Growable array of object pointers (null elements allowed). It destroys its elements only through
// removeAllObjects, or in its destructor when m_bOwnsObjects is set; every removal hands the
// element back to the caller.
class ExtPtrArray {
public:
  ExtPtrArray();
  ExtPtrArray(int initialCapacity, int growStep);
  virtual ~ExtPtrArray();

  ExtPtrArray(const ExtPtrArray &) = delete;
  ExtPtrArray &operator=(const ExtPtrArray &) = delete;

  int getSize() const { return m_count; }
  int getCapacity() const { return m_capacity; }
  int getGrowStep() const { return m_growStep; }

  RazudodObject *elementAt(int index) const;
  StringBuffer *sbAt(int index) const;
  RazudodObject *lastElement() const;

  // Each returns false when the slot array could not grow (nothing stored then).
  bool append(RazudodObject *p);
  bool insertAt(int index, RazudodObject *p);
  bool setAt(int index, RazudodObject *p);

  RazudodObject *removeAt(int index);
  RazudodObject *pop();
  void removeAll();
  void removeAllObjects();
  void logStrings(LogBase &log, const char *tag) const;

  // Set by the owner when the array is to destroy its elements.
  bool m_bOwnsObjects = false;

private:
  bool ensureSlots();
  bool incrementCount();

  int m_growStep = 5;
  int m_capacity = 0;
  int m_count = 0;
  RazudodObject **m_slots = nullptr;
};
