#include "sshlib/core/ExtIntArray.h"

#include "sshlib/core/ckMemory.h"

#include <climits>
#include <cstdint>
#include <cstring>

ExtIntArray::ExtIntArray(int initialCapacity, int growStep)
    : m_growStep(growStep < 1 ? 5 : growStep),
      m_capacity(initialCapacity < 1 ? 2 : initialCapacity) {
  m_items = reinterpret_cast<int *>(ckNewBytes(sizeof(int) * static_cast<size_t>(m_capacity)));
  if (!m_items) m_capacity = 0;
}

ExtIntArray::~ExtIntArray() {
  ckFreeBytes(m_items);
  m_items = nullptr;
}

int ExtIntArray::elementAt(int index) const {
  if (index < 0 || index >= m_count || !m_items) return 0;
  return m_items[index];
}

bool ExtIntArray::append(int v) {
  if (m_count >= m_capacity) {
    int64_t newCap = static_cast<int64_t>(m_capacity) + m_growStep;
    if (newCap <= m_count) newCap = static_cast<int64_t>(m_count) + 1;
    if (newCap > INT_MAX) newCap = INT_MAX;
    if (newCap <= m_count) return false;
    int *items = reinterpret_cast<int *>(ckNewBytes(sizeof(int) * static_cast<size_t>(newCap)));
    if (!items) return false;
    if (m_items && m_count) std::memcpy(items, m_items, sizeof(int) * static_cast<size_t>(m_count));
    ckFreeBytes(m_items);
    m_items = items;
    m_capacity = static_cast<int>(newCap);
    // The step follows the capacity: a large array grows by its own size, so filling stays linear.
    if (m_growStep < m_capacity) m_growStep = m_capacity;
  }
  m_items[m_count++] = v;
  return true;
}

void ExtIntArray::deleteAt(int index) {
  if (index < 0 || index >= m_count || !m_items) return;
  std::memmove(m_items + index, m_items + index + 1,
               sizeof(int) * static_cast<size_t>(m_count - index - 1));
  --m_count;
}
