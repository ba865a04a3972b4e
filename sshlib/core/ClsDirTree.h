// A point in time held as whole seconds since 1970 (ClsDate), and a breadth-first walk over the
// regular files and folders of a directory tree (ClsDirTree): the base folder's entries first,
// then each subfolder's, level by level. Symbolic links and special files are never yielded.
#pragma once

#include "sshlib/core/ClsBase.h"
#include "sshlib/core/RazudodCritSec.h"
#include "sshlib/core/RazudodFileTime.h"
#include "sshlib/core/RazudodSysTime.h"
#include "sshlib/core/XString.h"
#include "sshlib/core/ckFileInfo.h"
#include "sshlib/core/ckQueue.h"

class ClsDate : public ClsBase {
public:
  ClsDate() = default;
  ~ClsDate() override = default;

  // Truncated toward zero to whole seconds.
  void fromSecondsSince1970(double seconds);
  double toSecondsSince1970() const { return static_cast<double>(m_time.m_seconds); }
  void toSystemTime(_SYSTEMTIME &out);
  bool fromSystemTime(const _SYSTEMTIME &in);

  RazudodFileTime m_time;
};

class ClsDirTree : public ClsBase, public RazudodCritSec {
public:
  ClsDirTree();
  ~ClsDirTree() override;

  void put_BaseDir(XString &dir);
  void get_BaseDir(XString &out) { out.copyFromX(m_baseDir); }
  void put_Recurse(bool b) { m_recurse = b; }
  bool get_Recurse() const { return m_recurse; }
  bool get_DoneIterating() const { return m_done; }

  bool beginIterate(LogBase &log);
  bool advancePosition(LogBase &log);
  void get_FullUncPath(XString &out);
  void get_RelativePath(XString &out);
  bool isDirectory() const { return !m_done && m_reader.isDirectory(); }

private:
  bool dequeueAndFindFirst(LogBase &log);
  void queueCurrentIfDir(LogBase &log);
  void clearQueue();
  void currentFullPath(XString &out, LogBase &log);

  XString m_baseDir;
  bool m_recurse = true;
  bool m_done = true;
  _ckQueue m_queue;
  FindFileLinux m_reader;
  bool m_dirOpen = false;
  XString m_currentDir;
};
