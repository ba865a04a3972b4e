#include "sshlib/core/ExtPtrArray.h"

#include "sshlib/core/LogBase.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ckMemory.h"

#include <climits>
#include <cstring>

namespace {
RazudodObject **newSlots(int64_t n) {
  if (n <= 0 || n > INT_MAX) return nullptr;
  size_t bytes = sizeof(RazudodObject *) * static_cast<size_t>(n);
  RazudodObject **s = reinterpret_cast<RazudodObject **>(ckNewBytes(bytes));
  if (s) std::memset(s, 0, sizeof(RazudodObject *) * static_cast<size_t>(n));
  return s;
}
} // namespace

ExtPtrArray::ExtPtrArray() = default;

ExtPtrArray::ExtPtrArray(int initialCapacity, int growStep) {
  m_growStep = growStep < 1 ? 5 : growStep;
  int cap = initialCapacity < 1 ? 5 : initialCapacity;
  m_slots = newSlots(cap);
  m_capacity = m_slots ? cap : 0;
}

ExtPtrArray::~ExtPtrArray() {
  if (m_bOwnsObjects) removeAllObjects();
  ckFreeBytes(m_slots);
  m_slots = nullptr;
  m_growStep = m_capacity = m_count = 0;
}

bool ExtPtrArray::ensureSlots() {
  if (m_slots) return true;
  m_slots = newSlots(5);
  m_capacity = m_slots ? 5 : 0;
  return m_slots != nullptr;
}

// Makes room for one more element and raises the count; false (nothing changed) when the slot
// array cannot grow.
bool ExtPtrArray::incrementCount() {
  if (!ensureSlots()) return false;
  int64_t newCount = static_cast<int64_t>(m_count) + 1;
  if (newCount <= m_capacity) {
    m_count = static_cast<int>(newCount);
    return true;
  }
  int64_t newCap = static_cast<int64_t>(m_capacity) + m_growStep;
  if (newCap <= newCount) newCap = newCount + 1;
  if (newCap > INT_MAX) newCap = INT_MAX;
  if (newCap < newCount) return false;
  RazudodObject **slots = newSlots(newCap);
  if (!slots) return false;
  std::memcpy(slots, m_slots, sizeof(RazudodObject *) * static_cast<size_t>(m_count));
  ckFreeBytes(m_slots);
  m_slots = slots;
  m_capacity = static_cast<int>(newCap);
  m_count = static_cast<int>(newCount);
  // The step follows the capacity, so that a large array grows by half or more of itself and
  // filling it stays linear.
  if (m_growStep < m_capacity) m_growStep = m_capacity;
  return true;
}

RazudodObject *ExtPtrArray::elementAt(int index) const {
  if (index < 0 || index >= m_count || !m_slots) return nullptr;
  return m_slots[index];
}

StringBuffer *ExtPtrArray::sbAt(int index) const {
  return static_cast<StringBuffer *>(elementAt(index));
}

RazudodObject *ExtPtrArray::lastElement() const {
  return elementAt(m_count - 1);
}

bool ExtPtrArray::append(RazudodObject *p) {
  if (!incrementCount()) return false;
  m_slots[m_count - 1] = p;
  return true;
}

bool ExtPtrArray::insertAt(int index, RazudodObject *p) {
  if (index < 0) index = 0;
  if (index > m_count) index = m_count;
  if (!incrementCount()) return false;
  std::memmove(m_slots + index + 1, m_slots + index,
               sizeof(RazudodObject *) * static_cast<size_t>(m_count - 1 - index));
  m_slots[index] = p;
  return true;
}

bool ExtPtrArray::setAt(int index, RazudodObject *p) {
  if (index < 0) return false;
  while (m_count <= index) {
    if (!incrementCount()) return false;
    m_slots[m_count - 1] = nullptr;
  }
  m_slots[index] = p;
  return true;
}

RazudodObject *ExtPtrArray::removeAt(int index) {
  if (index < 0 || index >= m_count || !m_slots) return nullptr;
  RazudodObject *p = m_slots[index];
  std::memmove(m_slots + index, m_slots + index + 1,
               sizeof(RazudodObject *) * static_cast<size_t>(m_count - index - 1));
  --m_count;
  m_slots[m_count] = nullptr;
  return p;
}

RazudodObject *ExtPtrArray::pop() {
  return m_count > 0 ? removeAt(m_count - 1) : nullptr;
}

void ExtPtrArray::removeAll() {
  m_count = 0;
}

void ExtPtrArray::removeAllObjects() {
  for (int i = 0; i < m_count; ++i) {
    if (m_slots[i]) {
      delete m_slots[i];
      m_slots[i] = nullptr;
    }
  }
  m_count = 0;
}

void ExtPtrArray::logStrings(LogBase &log, const char *tag) const {
  for (int i = 0; i < m_count; ++i) {
    StringBuffer *sb = sbAt(i);
    if (sb) log.LogData(tag, sb->getString());
  }
}
