#include "sshlib/crypto/PkKeys.h"

#include <cctype>
#include <cstdlib>
#include <initializer_list>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/crypto/ClsXml.h"
#include "sshlib/crypto/Hashes.h"

rsa_key::rsa_key() {
  if (mp_init_multi(&e, &d, &N, &p, &q, &qP, &dP, &dQ, nullptr) != MP_OKAY) std::abort();
}

rsa_key::~rsa_key() {
  mp_clear_multi(&e, &d, &N, &p, &q, &qP, &dP, &dQ, nullptr);
}

void rsa_key::clear() {
  for (mp_int *m : {&e, &d, &N, &p, &q, &qP, &dP, &dQ})
    mp_zero(m);
  m_type = 0;
  m_modulusBitLen = 0;
}

bool rsa_key::copyFrom(const rsa_key &o) {
  m_type = o.m_type;
  m_modulusBitLen = o.m_modulusBitLen;
  return mp_copy(&o.e, &e) == MP_OKAY && mp_copy(&o.d, &d) == MP_OKAY &&
         mp_copy(&o.N, &N) == MP_OKAY && mp_copy(&o.p, &p) == MP_OKAY &&
         mp_copy(&o.q, &q) == MP_OKAY && mp_copy(&o.qP, &qP) == MP_OKAY &&
         mp_copy(&o.dP, &dP) == MP_OKAY && mp_copy(&o.dQ, &dQ) == MP_OKAY;
}

int rsa_key::get_ModulusBitLen() const {
  return mp_iszero(&N) ? m_modulusBitLen : mp_count_bits(&N);
}

dsa_key::dsa_key() {
  if (mp_init_multi(&p, &q, &g, &y, &x, nullptr) != MP_OKAY) std::abort();
}

dsa_key::~dsa_key() {
  mp_clear_multi(&p, &q, &g, &y, &x, nullptr);
}

void dsa_key::clear() {
  for (mp_int *m : {&p, &q, &g, &y, &x})
    mp_zero(m);
  m_type = 0;
}

bool dsa_key::copyFrom(const dsa_key &o) {
  m_type = o.m_type;
  return mp_copy(&o.p, &p) == MP_OKAY && mp_copy(&o.q, &q) == MP_OKAY &&
         mp_copy(&o.g, &g) == MP_OKAY && mp_copy(&o.y, &y) == MP_OKAY &&
         mp_copy(&o.x, &x) == MP_OKAY;
}

namespace pkxml {

void appendFingerprint(const char *type, int bits, const DataBuffer &blob, StringBuffer &out) {
  DataBuffer md5;
  _ckHash::doHash(blob.getData2(), blob.getSize(), 5, md5);
  out.append3(type, " ", "");
  out.append(bits);
  out.appendChar(' ');
  static const char hex[] = "0123456789abcdef";
  for (unsigned int i = 0; i < md5.getSize(); ++i) {
    if (i) out.appendChar(':');
    out.appendChar(hex[md5.getData2()[i] >> 4]);
    out.appendChar(hex[md5.getData2()[i] & 15]);
  }
}

bool appendValue(const char *tag, const mp_int &v, StringBuffer &out) {
  LogBase none;
  StringBuffer b64;
  if (!RazudodMp::to_base64(v, none, b64)) return false;
  out.append3("<", tag, ">");
  out.append(b64);
  out.append3("</", tag, ">");
  return true;
}

bool Reader::load(const StringBuffer &xml, const char *root, LogBase &log) {
  delete m_xml;
  m_xml = new ClsXml();
  // Only markup is read: the XML object would take a short text ending in ".xml" for a file path.
  if (!xml.containsChar('<') || !m_xml->LoadXmlUtf8(xml.getString(), true)) {
    log.LogError("Failed to parse XML key text.");
    return false;
  }
  if (!m_xml->TagEquals(root)) {
    log.LogError("Unexpected XML root tag for the key.");
    log.LogData("expected", root);
    return false;
  }
  return true;
}

bool Reader::has(const char *tag) {
  StringBuffer sb;
  return m_xml && m_xml->GetChildContent(tag, sb);
}

bool Reader::get(const char *tag, mp_int &v) {
  StringBuffer sb;
  if (!m_xml || !m_xml->GetChildContent(tag, sb)) return false;
  sb.trim2();
  // A value is Base64 and nothing else: the decoder skips characters outside its alphabet, which
  // would turn a damaged value into another number ("*" into zero) and write it into a key.
  bool digits = false, wellFormed = true;
  for (const char *c = sb.getString(); *c && wellFormed; ++c) {
    const unsigned char ch = static_cast<unsigned char>(*c);
    if (std::isalnum(ch) || ch == '+' || ch == '/')
      digits = true;
    else
      wellFormed = ch == '=' || std::isspace(ch);
  }
  const bool ok = digits && wellFormed && RazudodMp::from_base64(sb.getString(), v);
  sb.secureClear();
  return ok;
}

Reader::~Reader() {
  delete m_xml;
}

} // namespace pkxml
