#include "sshlib/core/ClsDirTree.h"

#include <cmath>

#include "sshlib/core/FileSys.h"

void ClsDate::fromSecondsSince1970(double seconds) {
  m_time.m_seconds = static_cast<int64_t>(std::trunc(seconds));
}

void ClsDate::toSystemTime(_SYSTEMTIME &out) {
  RazudodSysTime st;
  m_time.toSystemTime(st);
  st.toSYSTEMTIME(out);
}

bool ClsDate::fromSystemTime(const _SYSTEMTIME &in) {
  RazudodSysTime st;
  st.fromSYSTEMTIME(in);
  st.toFileTime(m_time);
  return true;
}

ClsDirTree::ClsDirTree() {
  XString dot;
  dot.setFromUtf8(".");
  FileSys::GetFullPathname(dot, m_baseDir);
}

ClsDirTree::~ClsDirTree() {
  m_reader.ffCloseDir2();
  clearQueue();
}

void ClsDirTree::clearQueue() {
  while (m_queue.hasObjects())
    delete static_cast<XString *>(m_queue.pop());
}

void ClsDirTree::put_BaseDir(XString &dir) {
  FileSys::GetFullPathname(dir, m_baseDir);
}

bool ClsDirTree::beginIterate(LogBase &log) {
  m_done = true;
  if (m_baseDir.getSizeUtf8() == 0) {
    XString dot;
    dot.setFromUtf8(".");
    FileSys::GetFullPathname(dot, m_baseDir);
  }
  clearQueue();
  XString *first = new XString();
  first->copyFromX(m_baseDir);
  m_queue.push(first);
  return dequeueAndFindFirst(log);
}

void ClsDirTree::currentFullPath(XString &out, LogBase &) {
  XString name, joined;
  m_reader.getFileName(name, m_log);
  FileSys::CombineDirAndFilepath(m_currentDir, name, joined);
  FileSys::buildLongPath(joined, out);
}

void ClsDirTree::queueCurrentIfDir(LogBase &log) {
  if (!m_recurse || !m_reader.isDirectory()) return;
  XString *sub = new XString();
  currentFullPath(*sub, log);
  m_queue.push(sub);
}

bool ClsDirTree::dequeueAndFindFirst(LogBase &log) {
  for (;;) {
    if (m_dirOpen) {
      m_reader.ffCloseDir2();
      m_dirOpen = false;
    }
    if (!m_queue.hasObjects()) {
      m_done = true;
      return false;
    }
    XString *dir = static_cast<XString *>(m_queue.pop());
    if (!dir) {
      log.LogError("Directory queue had null entry.");
      return false;
    }
    m_currentDir.copyFromX(*dir);
    delete dir;
    XString open;
    open.copyFromX(m_currentDir);
    if (!open.endsWithUtf8("/") && !open.endsWithUtf8("\\")) open.appendUtf8("/");
    m_dirOpen = m_reader.ffOpenDir2(open, false, log);
    if (!m_dirOpen) continue;
    queueCurrentIfDir(log);
    m_done = false;
    return true;
  }
}

bool ClsDirTree::advancePosition(LogBase &log) {
  if (!m_dirOpen) {
    log.LogError("Already finished iterating directory tree.");
    return dequeueAndFindFirst(log);
  }
  bool unused = false;
  if (!m_reader.ffNextDirEntry2(unused, false, log)) return dequeueAndFindFirst(log);
  queueCurrentIfDir(log);
  return true;
}

void ClsDirTree::get_FullUncPath(XString &out) {
  enterCriticalSection();
  enterContextBase("FullUncPath");
  out.clear();
  if (!m_done) currentFullPath(out, m_log);
  m_log.LeaveContext();
  leaveCriticalSection();
}

void ClsDirTree::get_RelativePath(XString &out) {
  enterCriticalSection();
  enterContextBase("RelativePath");
  out.clear();
  if (!m_done) {
    XString dir, name;
    dir.copyFromX(m_currentDir);
    dir.replaceFirstOccuranceUtf8(m_baseDir.getUtf8(), "");
    if (dir.beginsWithUtf8("/")) {
      XString rest;
      rest.setFromUtf8(dir.getUtf8() + 1);
      dir.copyFromX(rest);
    }
    m_reader.getFileName(name, m_log);
    FileSys::CombineDirAndFilename(dir, name, out);
  }
  m_log.LeaveContext();
  leaveCriticalSection();
}
