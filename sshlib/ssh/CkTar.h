// The public tar archive object of the library: every property and operation forwards to the
// implementation object. Texts are UTF-8.
#pragma once

#include <string>

class ClsTar;
class ProgressEvent;

class CkTar {
public:
  CkTar();
  ~CkTar();
  CkTar(const CkTar &) = delete;
  CkTar &operator=(const CkTar &) = delete;

  // Unpacking.
  std::string untarFromDir() const;
  void put_UntarFromDir(const char *dir);
  std::string untarMatchPattern() const;
  void put_UntarMatchPattern(const char *pattern);
  bool get_UntarCaseSensitive() const;
  void put_UntarCaseSensitive(bool b);
  bool get_UntarDiscardPaths() const;
  void put_UntarDiscardPaths(bool b);
  bool get_NoAbsolutePaths() const;
  void put_NoAbsolutePaths(bool b);
  int get_UntarMaxCount() const;
  void put_UntarMaxCount(int n);
  bool get_UntarDebugLog() const;
  void put_UntarDebugLog(bool b);
  std::string charset() const;
  void put_Charset(const char *charset);

  int Untar(const char *tarPath);
  bool VerifyTar(const char *tarPath);
  bool UntarGz(const char *path);
  bool UntarBz2(const char *path);
  bool UntarZ(const char *path);
  int UntarFromMemory(const unsigned char *data, unsigned int n);
  bool UntarFirstMatchingToMemory(const unsigned char *data, unsigned int n, const char *pattern,
                                  std::string &out);

  // Writing.
  std::string writeFormat() const;
  void put_WriteFormat(const char *format);
  int get_DirMode() const;
  void put_DirMode(int mode);
  int get_FileMode() const;
  void put_FileMode(int mode);
  int get_ScriptFileMode() const;
  void put_ScriptFileMode(int mode);
  int get_UserId() const;
  void put_UserId(int id);
  int get_GroupId() const;
  void put_GroupId(int id);
  std::string userName() const;
  void put_UserName(const char *name);
  std::string groupName() const;
  void put_GroupName(const char *name);
  std::string dirPrefix() const;
  void put_DirPrefix(const char *prefix);
  int get_NumDirRoots() const;
  bool AddDirRoot(const char *dirPath);
  // The root added index-th (from 0); false, with out empty, when there is none.
  bool GetDirRoot(int index, std::string &out);
  bool WriteTar(const char *path);
  bool WriteTarGz(const char *path);
  bool WriteTarBz2(const char *path);
  bool ListXml(const char *tarPath, std::string &out);

  // Shared.
  bool get_VerboseLogging() const;
  void put_VerboseLogging(bool b);
  int get_HeartbeatMs() const;
  void put_HeartbeatMs(int ms);
  void put_EventCallbackObject(ProgressEvent *event) { m_event = event; }
  std::string lastErrorText() const;
  std::string lastErrorHtml() const;
  std::string lastErrorXml() const;
  bool SaveLastError(const char *path);
  // While set, each operation's log is also appended to this file as it happens.
  std::string debugLogFilePath() const;
  void put_DebugLogFilePath(const char *path);

private:
  ClsTar *m_impl;
  ProgressEvent *m_event = nullptr;
};
