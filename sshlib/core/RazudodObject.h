#pragma once

#include <cstdint>

// Root of every owned library object: owners destroy through the virtual destructor. Each object
// takes a process-wide id at construction (the first object gets 100).
class RazudodObject {
public:
  RazudodObject();
  virtual ~RazudodObject();

  RazudodObject(const RazudodObject &);
  RazudodObject &operator=(const RazudodObject &) { return *this; }

  uint64_t getObjectId64() const { return m_objectId; }

private:
  uint64_t m_objectId;
};

// One signed 32-bit value held as an owned element of object arrays.
class RazudodInt : public RazudodObject {
public:
  explicit RazudodInt(int v) : m_value(v) {}
  int m_value;
};
