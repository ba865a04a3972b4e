#include "sshlib/core/ClsBase.h"

#include "sshlib/core/ByteOrder.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/Psdk.h"
#include "sshlib/core/XString.h"

CallLog::~CallLog() = default;

Logger &CallLog::logger() {
  if (!m_logger) m_logger = std::make_unique<Logger>();
  return *m_logger;
}

ClsBase::ClsBase() : m_objMagic(0x991144AA), m_objInt(0) {}

ClsBase::~ClsBase() {
  m_objMagic = 0;
}

void ClsBase::ClearExceptionInfo() {
  if (m_exceptionInfo) m_exceptionInfo->clear();
}

StringBuffer &ClsBase::exceptionInfo() {
  if (!m_exceptionInfo) m_exceptionInfo = std::make_unique<StringBuffer>();
  return *m_exceptionInfo;
}

void ClsBase::enterContextBase(const char *name) {
  ClearExceptionInfo();
  m_log.ClearLog();
  m_log.EnterContext(name, true);
  m_log.LogData("DllDate", "Aug  9 2011");
  logProgrammingLanguage2(m_log);
}

void ClsBase::logSuccessFailure(bool success) {
  if (success)
    m_log.LogInfo("Success.");
  else
    m_log.LogError("Failed.");
}

void ClsBase::logProgrammingLanguage() {
  logProgrammingLanguage2(m_log);
}

void ClsBase::logProgrammingLanguage2(LogBase &log) {
  StringBuffer host;
  Psdk::getComputerName(host);
  StringBuffer login;
  Psdk::getUsername(login);
  StringBuffer user;
  if (host.getSize() != 0) {
    user.append(host);
    user.appendChar(':');
  }
  user.append(login);
  log.LogData("Username", user.getString());

  StringBuffer arch(ckIsLittleEndian() ? "Little Endian; " : "Big Endian; ");
  // The width of the build actually running, not a fixed one.
  arch.append(sizeof(void *) == 8 ? "64-bit" : "32-bit");
  log.LogData("Architecture", arch.getString());
  LogMacProgLang(log);
}

void ClsBase::LogMacProgLang(LogBase &log) {
  log.LogData("Language", "Linux C++");
}

namespace {
void renderInto(StringBuffer &sb, XString &out, bool crlf) {
  if (crlf) sb.toCRLF();
  out.setFromUtf8(sb.getString());
}
} // namespace

void ClsBase::GetTextLogX(XString &out, bool crlf) {
  StringBuffer sb;
  m_log.getText(sb);
  renderInto(sb, out, crlf);
}

void ClsBase::GetHtmlLogX(XString &out, bool crlf) {
  StringBuffer sb;
  m_log.getHtml(sb);
  renderInto(sb, out, crlf);
}

void ClsBase::GetXmlLogX(XString &out, bool crlf) {
  StringBuffer sb;
  m_log.getXml(sb);
  renderInto(sb, out, crlf);
}

void ClsBase::GetTextLog(StringBuffer &out) {
  m_log.getText(out);
}

bool ClsBase::SaveXmlLog(const char *path) {
  if (!path) return false;
  StringBuffer p(path);
  p.trim2();
  if (p.getSize() == 0) return false;
  return m_log.SaveXML(false, p.getString());
}

void ClsBase::put_DebugLogFilePath(XString &path) {
  // An empty path on a log never made leaves it unmade.
  if (m_log.isMade() || path.getSizeUtf8() != 0) m_log.logger().m_debugLogFilePath.copyFromX(path);
}

void ClsBase::get_DebugLogFilePath(XString &out) {
  if (m_log.isMade())
    out.copyFromX(m_log.logger().m_debugLogFilePath);
  else
    out.clear();
}
