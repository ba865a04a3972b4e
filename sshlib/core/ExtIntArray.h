#pragma once

// Growable array of signed 32-bit integers.
class ExtIntArray {
public:
  // A capacity below 1 becomes 2; a grow step below 1 becomes 5.
  ExtIntArray(int initialCapacity, int growStep);
  virtual ~ExtIntArray();

  ExtIntArray(const ExtIntArray &) = delete;
  ExtIntArray &operator=(const ExtIntArray &) = delete;

  int getSize() const { return m_count; }
  int getCapacity() const { return m_capacity; }
  int elementAt(int index) const;
  // False when the items could not grow (nothing added then).
  bool append(int v);
  void deleteAt(int index);

private:
  int m_growStep;
  int m_capacity;
  int m_count = 0;
  int *m_items = nullptr;
};
