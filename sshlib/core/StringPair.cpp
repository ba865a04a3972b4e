#include "sshlib/core/StringPair.h"

#include "sshlib/core/StringBuffer.h"

const char *StringPair::getKey() const {
  return m_key ? m_key->getString() : "";
}

const char *StringPair::getValue() const {
  return m_value ? m_value->getString() : "";
}
