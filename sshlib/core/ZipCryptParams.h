// A small parameter holder that the inflate pipeline derives from.
#pragma once

#include "sshlib/core/StringBuffer.h"

class ZipCryptParams {
public:
  ZipCryptParams() : m_param1(0), m_param2(0), m_flag(false), m_param3(0) {
    m_text.minimizeMemoryUsage();
  }
  virtual ~ZipCryptParams() = default;

  int m_param1;
  int m_param2;
  StringBuffer m_text;
  bool m_flag;
  int m_param3;
};
