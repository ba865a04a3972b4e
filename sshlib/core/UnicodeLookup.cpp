#include "sshlib/core/UnicodeLookup.h"

#include <cstring>

UnicodeLookup::UnicodeLookup() {
  std::memset(m_table, 0, sizeof(m_table));
}

UnicodeLookup::~UnicodeLookup() {}
