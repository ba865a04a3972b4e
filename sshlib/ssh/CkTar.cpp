#include "sshlib/ssh/CkTar.h"

#include "sshlib/core/ClsTar.h"

namespace {
// The argument as a library string.
struct Utf8Arg {
  explicit Utf8Arg(const char *s) { v.setFromUtf8(s ? s : ""); }
  XString v;
};
} // namespace

#define CK_TAR_TEXT(getter, Prop)                                                                  \
  std::string CkTar::getter() const {                                                              \
    XString v;                                                                                     \
    m_impl->get_##Prop(v);                                                                         \
    return v.getUtf8();                                                                            \
  }                                                                                                \
  void CkTar::put_##Prop(const char *s) {                                                          \
    XString v;                                                                                     \
    v.setFromUtf8(s ? s : "");                                                                     \
    m_impl->put_##Prop(v);                                                                         \
  }
#define CK_TAR_VALUE(Type, Prop)                                                                   \
  Type CkTar::get_##Prop() const {                                                                 \
    return m_impl->get_##Prop();                                                                   \
  }                                                                                                \
  void CkTar::put_##Prop(Type v) {                                                                 \
    m_impl->put_##Prop(v);                                                                         \
  }

CkTar::CkTar() : m_impl(new ClsTar()) {}
CkTar::~CkTar() {
  delete m_impl;
}

CK_TAR_TEXT(untarFromDir, UntarFromDir)
CK_TAR_TEXT(untarMatchPattern, UntarMatchPattern)
CK_TAR_TEXT(charset, Charset)
CK_TAR_TEXT(writeFormat, WriteFormat)
CK_TAR_TEXT(debugLogFilePath, DebugLogFilePath)
CK_TAR_TEXT(userName, UserName)
CK_TAR_TEXT(groupName, GroupName)
CK_TAR_TEXT(dirPrefix, DirPrefix)
CK_TAR_VALUE(bool, UntarCaseSensitive)
CK_TAR_VALUE(bool, UntarDiscardPaths)
CK_TAR_VALUE(bool, NoAbsolutePaths)
CK_TAR_VALUE(int, UntarMaxCount)
CK_TAR_VALUE(bool, UntarDebugLog)
CK_TAR_VALUE(int, DirMode)
CK_TAR_VALUE(int, FileMode)
CK_TAR_VALUE(int, ScriptFileMode)
CK_TAR_VALUE(int, UserId)
CK_TAR_VALUE(int, GroupId)
CK_TAR_VALUE(bool, VerboseLogging)
CK_TAR_VALUE(int, HeartbeatMs)

int CkTar::get_NumDirRoots() const {
  return m_impl->get_NumDirRoots();
}

#define CK_TAR_PATH_OP(Result, Name)                                                               \
  Result CkTar::Name(const char *path) {                                                           \
    Utf8Arg arg(path);                                                                             \
    return m_impl->Name(arg.v, m_event);                                                           \
  }
CK_TAR_PATH_OP(int, Untar)
CK_TAR_PATH_OP(bool, VerifyTar)
CK_TAR_PATH_OP(bool, UntarGz)
CK_TAR_PATH_OP(bool, UntarBz2)
CK_TAR_PATH_OP(bool, UntarZ)
CK_TAR_PATH_OP(bool, WriteTar)
CK_TAR_PATH_OP(bool, WriteTarGz)
CK_TAR_PATH_OP(bool, WriteTarBz2)

bool CkTar::AddDirRoot(const char *dirPath) {
  Utf8Arg vArg(dirPath);
  XString &v = vArg.v;
  return m_impl->AddDirRoot(v);
}

bool CkTar::GetDirRoot(int index, std::string &out) {
  XString v;
  bool ok = m_impl->GetDirRoot(index, v);
  out = v.getUtf8();
  return ok;
}

int CkTar::UntarFromMemory(const unsigned char *data, unsigned int n) {
  DataBuffer db;
  db.append(data, n);
  return m_impl->UntarFromMemory(db, m_event);
}

bool CkTar::UntarFirstMatchingToMemory(const unsigned char *data, unsigned int n,
                                       const char *pattern, std::string &out) {
  DataBuffer db, result;
  db.append(data, n);
  Utf8Arg pArg(pattern);
  XString &p = pArg.v;
  bool ok = m_impl->UntarFirstMatchingToMemory(db, p, result);
  out.assign(reinterpret_cast<const char *>(result.getData2()), result.getSize());
  return ok;
}

bool CkTar::ListXml(const char *tarPath, std::string &out) {
  Utf8Arg pArg(tarPath);
  XString &p = pArg.v;
  XString result;
  bool ok = m_impl->ListXml(p, result, m_event);
  out = result.getUtf8();
  return ok;
}

std::string CkTar::lastErrorText() const {
  XString v;
  m_impl->GetTextLogX(v, false);
  return v.getUtf8();
}

std::string CkTar::lastErrorHtml() const {
  XString v;
  m_impl->GetHtmlLogX(v, false);
  return v.getUtf8();
}

std::string CkTar::lastErrorXml() const {
  XString v;
  m_impl->GetXmlLogX(v, false);
  return v.getUtf8();
}

bool CkTar::SaveLastError(const char *path) {
  return m_impl->SaveXmlLog(path);
}
