#pragma once

class StringBuffer;

// A key and a value, either of which may be absent. Owns neither.
class StringPair {
public:
  StringPair() = default;
  StringPair(StringBuffer *key, StringBuffer *value) : m_key(key), m_value(value) {}

  // The text, or "" when absent.
  const char *getKey() const;
  const char *getValue() const;

  StringBuffer *m_key = nullptr;
  StringBuffer *m_value = nullptr;
};
