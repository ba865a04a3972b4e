#include <cstdint>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "sshlib/core/ClsDirTree.h"
#include "sshlib/core/ClsTar.h"
#include "sshlib/core/DataSource.h"
#include "sshlib/core/DateParser.h"
#include "sshlib/core/FileSys.h"
#include "sshlib/core/ProgressEvent.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/Psdk.h"
#include "sshlib/core/RazudodCompress.h"
#include "sshlib/core/RazudodSysTime.h"
#include "sshlib/core/XmlText.h"
#include "sshlib/core/ckFileInfo.h"

namespace {

// Text into a fixed field, cut to at most max bytes; the rest of the field stays zero.
void putText(unsigned char *field, const char *text, size_t max) {
  size_t n = std::strlen(text);
  std::memcpy(field, text, n < max ? n : max);
}

// Text from an archive as element content: characters XML cannot hold replaced, markup escaped.
void appendXmlEscaped(StringBuffer &out, const char *text) {
  StringBuffer s;
  XmlText::appendSanitized(text, s);
  s.replaceHTMLSpecial();
  out.append(s);
}

void appendElement(StringBuffer &out, const char *tag, const char *text) {
  out.append("\t\t<");
  out.append(tag);
  out.append(">");
  appendXmlEscaped(out, text);
  out.append("</");
  out.append(tag);
  out.append(">\r\n");
}

void appendElementInt(StringBuffer &out, const char *tag, int64_t v) {
  StringBuffer s;
  s.appendInt64(v);
  appendElement(out, tag, s.getString());
}

} // namespace

ClsTar::ClsTar() {
  m_untarFromDir.setFromUtf8(".");
  m_charset.setFromUtf8("utf-8");
  m_writeFormat.setFromUtf8("gnu");
  StringBuffer user;
  Psdk::getUsername(user);
  m_userName.setFromUtf8(user.getString());
  m_groupName.setFromUtf8(user.getString());
  m_roots.m_bOwnsObjects = true;
  m_compress = new RazudodCompress();
}

ClsTar::~ClsTar() {
  m_dest = nullptr;
  delete m_curOut;
  m_curOut = nullptr;
  m_roots.removeAllObjects();
  delete m_compress;
}

void ClsTar::put_WriteFormat(XString &v) {
  StringBuffer s(v.getUtf8());
  s.trim2();
  s.toLowerCase();
  if (s.equals("posix")) s.setString("pax");
  if (s.equals("star")) s.setString("ustar");
  if (!s.equals("pax") && !s.equals("ustar")) s.setString("gnu");
  m_writeFormat.setFromUtf8(s.getString());
  m_format = s.equals("pax") ? Format::kPax : s.equals("ustar") ? Format::kUstar : Format::kGnu;
}

void ClsTar::put_DirPrefix(XString &v) {
  StringBuffer s(v.getUtf8());
  while (s.getSize() && s.lastChar() == '/')
    s.shorten(1);
  m_dirPrefix.setFromUtf8(s.getString());
}

unsigned int ClsTar::computeHeaderChecksum(const unsigned char *block) {
  if (!block) return 0;
  unsigned int sum = 0;
  for (int i = 0; i < 512; ++i)
    sum += (i >= 148 && i < 156) ? 0x20 : block[i];
  return sum;
}

bool ClsTar::numToBase256(int64_t value, unsigned char *field, int width) {
  uint64_t v = static_cast<uint64_t>(value);
  for (int i = width - 1; i >= 0; --i) {
    field[i] = static_cast<unsigned char>(v & 0xFF);
    v = static_cast<uint64_t>(static_cast<int64_t>(v) >> 8);
  }
  field[0] |= 0x80;
  // It fits when the bytes above the field carry only the sign.
  if (width >= 8) return true;
  const int64_t limit = int64_t(1) << (8 * width - 2);
  return value >= -limit && value < limit;
}

void ClsTar::putNumber(unsigned char *field, int width, int64_t value) {
  std::memset(field, 0, width);
  const int digits = width - 1;
  if (value >= 0 && (digits >= 21 || value < (int64_t(1) << (3 * digits)))) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%0*llo", digits, static_cast<unsigned long long>(value));
    std::memcpy(field, buf, digits);
    return;
  }
  numToBase256(value, field, width);
}

bool ClsTar::AddDirRoot(XString &dirPath) {
  enterCriticalSection();
  enterContextBase("AddDirRoot");
  m_log.LogData("dirPath", dirPath.getUtf8());
  ckFileInfo info;
  bool ok = info.loadFileInfoUtf8(dirPath.getUtf8(), &m_log);
  if (ok && !info.m_isDirectory) {
    m_log.LogError("Not a directory.");
    ok = false;
  }
  if (ok) m_roots.append(new StringBuffer(dirPath.getUtf8()));
  logSuccessFailure(ok);
  m_log.LeaveContext();
  leaveCriticalSection();
  return ok;
}

bool ClsTar::GetDirRoot(int index, XString &out) {
  enterCriticalSection();
  enterContextBase("GetDirRoot");
  out.clear();
  StringBuffer *sb = m_roots.sbAt(index);
  if (!sb) {
    m_log.LogError("Index out of range");
    m_log.LogDataLong("index", index);
  } else {
    out.setFromUtf8(sb->getString());
  }
  logSuccessFailure(sb != nullptr);
  m_log.LeaveContext();
  leaveCriticalSection();
  return sb != nullptr;
}

bool ClsTar::WriteTar(XString &outPath, ProgressEvent *event) {
  return writeArchive(outPath, event, -1, "outputFile");
}

bool ClsTar::WriteTarGz(XString &outPath, ProgressEvent *event) {
  return writeArchive(outPath, event, 1, "tarGzFilePath");
}

bool ClsTar::WriteTarBz2(XString &outPath, ProgressEvent *event) {
  return writeArchive(outPath, event, 2, "tarBz2FilePath");
}

bool ClsTar::writeArchive(XString &outPath, ProgressEvent *event, int algorithm,
                          const char *pathTag) {
  static const char *const names[3] = {"WriteTar", "WriteTarGz", "WriteTarBz2"};
  enterCriticalSection();
  enterContextBase(names[algorithm < 0 ? 0 : algorithm]);
  m_log.LogData("tarFormat", m_writeFormat.getUtf8());
  m_log.LogData(pathTag, outPath.getUtf8());
  m_compressing = algorithm > 0;
  m_firstChunk = m_compressing;
  m_lastChunk = false;
  m_compressedCount = 0;
  m_writeCrc = algorithm == 1;
  m_writeProblem = false;
  if (m_compressing) m_compress->put_Algorithm(algorithm);
  bool ok = false;
  OutputFile *file = OutputFile::CreateOutput(outPath.getUtf8(), &m_log);
  if (file) {
    ok = algorithm != 1 || beginGzip(outPath.getUtf8(), *file, m_log);
    m_dest = file;
    ProgressMonitorPtr pmp(event, 0, 0LL);
    if (ok) ok = writeTarToOutput(event ? pmp.getPm() : nullptr, m_log, event);
    if (ok && algorithm == 1) {
      m_log.LogDataInt64("originalDataSize", static_cast<long long>(m_compressedCount));
      ok = endGzip(*file, m_writeCrcState.endStream(), m_compressedCount, m_log);
    }
    m_dest = nullptr;
    delete file;
  }
  m_compressing = false;
  if (ok && m_writeProblem) {
    m_log.LogError("Some files changed while they were archived.");
    ok = false;
  }
  logSuccessFailure(ok);
  m_log.LeaveContext();
  leaveCriticalSection();
  return ok;
}

bool ClsTar::writeTarTo(Output &out, ProgressMonitor *pm, LogBase &log, ProgressEvent *event) {
  m_compressing = false;
  m_lastChunk = false;
  m_writeProblem = false;
  m_dest = &out;
  bool ok = writeTarToOutput(pm, log, event);
  m_dest = nullptr;
  return ok && !m_writeProblem;
}

bool ClsTar::beginGzip(const char *outPath, Output &out, LogBase &log) {
  XString path, finalPart;
  path.setFromUtf8(outPath);
  FileSys::GetFinalFilenamePart(path, finalPart);
  StringBuffer name(finalPart.getUtf8());
  if (name.endsWithIgnoreCase(".tar.gz"))
    name.replaceAllOccurancesNoCase(".tar.gz", ".tar");
  else if (name.endsWithIgnoreCase(".tgz"))
    name.replaceAllOccurancesNoCase(".tgz", ".tar");
  else if (name.endsWithIgnoreCase(".gzip"))
    name.replaceAllOccurancesNoCase(".gzip", "");
  else if (name.endsWithIgnoreCase(".gz"))
    name.replaceAllOccurancesNoCase(".gz", "");
  unsigned char hdr[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0x0B};
  if (finalPart.getSizeUtf8()) hdr[3] = 0x08;
  if (out.fwrite2(hdr, 1, 10, log) != 10) return false;
  if (!hdr[3]) return true;
  log.LogData("GZ_embedded_filename", name.getString());
  XString x;
  x.setFromUtf8(name.getString());
  const char *ansi = x.getAnsi();
  return out.fwrite2(ansi, 1, std::strlen(ansi) + 1, log) == std::strlen(ansi) + 1;
}

bool ClsTar::endGzip(Output &out, uint32_t crc, uint64_t count, LogBase &log) {
  unsigned char t[8];
  for (int i = 0; i < 4; ++i) {
    t[i] = static_cast<unsigned char>(crc >> (8 * i));
    t[4 + i] = static_cast<unsigned char>(count >> (8 * i));
  }
  return out.fwrite2(t, 1, 8, log) == 8;
}

bool ClsTar::writeOut_pm(const void *data, unsigned int n, ProgressMonitor *pm, LogBase &log) {
  if (pm && m_heartbeatMs && pm->heartbeatCheck(m_heartbeatMs, 0)) {
    log.LogError("TAR aborted by application. (1)");
    return false;
  }
  if (!m_dest) return false;
  if (!m_compressing) return m_dest->fwrite2(data, 1, n, log) == n;
  const unsigned char *p = static_cast<const unsigned char *>(data);
  m_compressedCount += n;
  DataBuffer out;
  bool ok;
  if (m_firstChunk) {
    if (m_writeCrc) {
      m_writeCrcState.beginStream();
      m_writeCrcState.moreData(p, n);
    }
    ok = m_compress->BeginCompress(p, n, out, log, pm);
    m_firstChunk = false;
  } else {
    if (m_writeCrc) m_writeCrcState.moreData(p, n);
    ok = m_compress->MoreCompress(p, n, out, log, pm);
  }
  if (ok && m_lastChunk) ok = m_compress->EndCompress(out, log, pm);
  if (!ok) return false;
  return out.getSize() == 0 ||
         m_dest->fwrite2(out.getData2(), 1, out.getSize(), log) == out.getSize();
}

bool ClsTar::writeZeros(unsigned int n, ProgressMonitor *pm, LogBase &log) {
  static const unsigned char zeros[512] = {0};
  while (n) {
    unsigned int k = n > 512 ? 512 : n;
    if (!writeOut_pm(zeros, k, pm, log)) return false;
    n -= k;
  }
  return true;
}

bool ClsTar::writeTarToOutput(ProgressMonitor *pm, LogBase &log, ProgressEvent *event) {
  for (int i = 0; i < m_roots.getSize(); ++i) {
    m_currentRoot.setFromUtf8(m_roots.sbAt(i)->getString());
    ClsDirTree walk;
    walk.put_BaseDir(m_currentRoot);
    walk.put_Recurse(true);
    for (bool more = walk.beginIterate(log); more; more = walk.advancePosition(log)) {
      XString full, rel, entry;
      walk.get_FullUncPath(full);
      walk.get_RelativePath(rel);
      if (m_verboseLogging) log.LogData("fullPath", full.getUtf8());
      if (m_dirPrefix.getSizeUtf8()) {
        entry.copyFromX(m_dirPrefix);
        entry.appendUtf8("/");
      }
      entry.appendUtf8(rel.getUtf8());
      if (!writeFileToOutput(full, entry, pm, log, event)) return false;
      // An abort asked for anywhere (not only at a heartbeat of this walk) ends the walk.
      if (pm) {
        pm->abortCheck(m_heartbeatMs, 0);
        if (pm->get_Aborted()) return false;
      }
    }
  }
  if (!writeZeros(512, pm, log)) return false;
  m_lastChunk = true;
  return writeZeros(512, pm, log);
}

bool ClsTar::writeFileToOutput(XString &fullPath, XString &entryPath, ProgressMonitor *pm,
                               LogBase &log, ProgressEvent *event) {
  ckFileInfo info;
  if (!info.loadFileInfoUtf8(fullPath.getUtf8(), &log)) return false;
  if (event) {
    bool skip = false;
    event->NextTarFile(fullPath.getUtf8(), static_cast<unsigned int>(info.m_size64),
                       info.m_isDirectory, skip);
    if (skip) {
      if (m_verboseLogging) log.LogData("skippingFile", fullPath.getUtf8());
      return true;
    }
    event->peProgressInfo("pathInTar", entryPath.getUtf8());
  }
  if (pm && m_heartbeatMs && pm->heartbeatCheck(m_heartbeatMs, 0)) {
    log.LogError("TAR aborted by application. (2)");
    return false;
  }
  if (!writeTarHeaderToOutput(entryPath, info, pm, log)) return false;
  if (m_verboseLogging) {
    log.LogDataInt64("fileSize", info.m_size64);
    log.LogDataLong("isSymbolicLink", info.m_isSymLink);
    log.LogDataLong("isDirectory", info.m_isDirectory);
  }
  if (info.m_isDirectory || info.m_size64 == 0) return true;
  if (!copySourceToOutput(fullPath, info.m_size64, pm, log)) return false;
  return writeZeros(static_cast<unsigned int>((512 - info.m_size64 % 512) % 512), pm, log);
}

// Exactly the size the header announced: a file that grew is cut there, one that shrank is
// padded with zeros, so that the entries after it stay where a reader looks for them. A read
// that fails is no end of the file: the copy fails at once, since padding would pass a damaged
// entry off as whole.
bool ClsTar::copySourceToOutput(XString &fullPath, int64_t size, ProgressMonitor *pm,
                                LogBase &log) {
  FileDataSource *src = FileDataSource::OpenSourceFileUtf8(fullPath.getUtf8(), &log);
  if (!src) {
    log.LogError("Failed to open source file for TAR archive.");
    log.LogData("fullPath", fullPath.getUtf8());
    return false;
  }
  std::vector<char> buf(20000);
  int64_t left = size;
  bool ok = true;
  while (left > 0 && ok) {
    unsigned int want = left > 20000 ? 20000u : static_cast<unsigned int>(left);
    unsigned int got = 0;
    if (!src->getNextChunk(buf.data(), want, &got, &log)) {
      log.LogData("fullPath", fullPath.getUtf8());
      ok = false;
      break;
    }
    if (got == 0) break;
    if (!writeOut_pm(buf.data(), got, pm, log)) {
      log.LogError("Failed to write file data to TAR output.");
      ok = false;
    }
    left -= got;
  }
  if (ok && left == 0 && !src->endOfStream()) {
    char probe;
    unsigned int got = 0;
    if (src->getNextChunk(&probe, 1, &got, &log) && got) {
      log.LogError("File grew while being archived; only the size at its start was stored.");
      log.LogData("fullPath", fullPath.getUtf8());
      m_writeProblem = true;
    }
  }
  delete src;
  if (!ok) {
    log.LogError("Failed to copy file contents to TAR.");
    return false;
  }
  if (left > 0) {
    log.LogError("File shrank while being archived; padded with zeros.");
    log.LogData("fullPath", fullPath.getUtf8());
    m_writeProblem = true;
    while (left > 0) {
      unsigned int k = left > 512 ? 512u : static_cast<unsigned int>(left);
      if (!writeZeros(k, pm, log)) return false;
      left -= k;
    }
  }
  return true;
}

void ClsTar::fillCommonFields(unsigned char *b, int mode, int64_t mtime) {
  putNumber(b + 100, 8, mode & 07777);
  putNumber(b + 108, 8, static_cast<uint32_t>(m_userId));
  putNumber(b + 116, 8, static_cast<uint32_t>(m_groupId));
  putNumber(b + 136, 12, mtime);
  if (m_format == Format::kGnu) {
    std::memcpy(b + 257, "ustar  ", 8);
  } else {
    std::memcpy(b + 257,
                "ustar\0"
                "00",
                8);
    std::memcpy(b + 329, "0000000", 8);
    std::memcpy(b + 337, "0000000", 8);
  }
  putText(b + 265, m_userName.getUtf8(), 31);
  putText(b + 297, m_groupName.getUtf8(), 31);
}

static void finishChecksum(unsigned char *b) {
  std::snprintf(reinterpret_cast<char *>(b + 148), 8, "%06o", ClsTar::computeHeaderChecksum(b));
  b[155] = ' ';
}

bool ClsTar::writeTarHeaderToOutput(XString &entryPath, ckFileInfo &info, ProgressMonitor *pm,
                                    LogBase &log) {
  if (m_verboseLogging) log.LogData("filePathInTar", entryPath.getUtf8());
  StringBuffer path(entryPath.getUtf8());
  bool script = path.endsWith(".sh") || path.endsWith(".csh") || path.endsWith(".bash") ||
                path.endsWith(".bsh");
  path.replaceCharAnsi('\\', '/');
  if (info.m_isDirectory && path.lastChar() != '/') path.appendChar('/');
  unsigned char b[512];
  std::memset(b, 0, sizeof(b));
  const int n = path.getSize();
  if (n <= 100) {
    std::memcpy(b, path.getString(), n);
  } else if (m_format == Format::kUstar && n <= 255) {
    StringBuffer name, prefix;
    if (!splitPathForTar(path, name, prefix)) {
      log.LogData("filePathTooLong", path.getString());
      return false;
    }
    std::memcpy(b, name.getString(), name.getSize());
    std::memcpy(b + 345, prefix.getString(), prefix.getSize());
  } else {
    if (m_format == Format::kPax) {
      if (m_verboseLogging) log.LogInfo("Writing PAX header..");
      if (!writePaxHeaderToOutput(path, info, pm, log)) return false;
    } else {
      if (m_verboseLogging) log.LogInfo("Writing LongLink header..");
      if (!writeLongFilenameToOutput(path, pm, log)) return false;
    }
    std::memcpy(b, path.getString(), 100);
  }
  const int mode = info.m_isDirectory ? m_dirMode : script ? m_scriptFileMode : m_fileMode;
  int64_t mtime = info.m_lastModTimeUtc.toUnixTime();
  fillCommonFields(b, mode, mtime);
  putNumber(b + 124, 12, info.m_isDirectory ? 0 : info.m_size64);
  b[156] = info.m_isDirectory ? '5' : '0';
  finishChecksum(b);
  if (!m_dest) {
    log.LogError("No output object for writing file to tar..");
    return false;
  }
  return writeOut_pm(b, 512, pm, log);
}

bool ClsTar::writeLongFilenameToOutput(const StringBuffer &path, ProgressMonitor *pm,
                                       LogBase &log) {
  if (!m_dest) {
    log.LogError("No output object for writing file to tar.");
    return false;
  }
  unsigned char b[512];
  std::memset(b, 0, sizeof(b));
  std::memcpy(b, "././@LongLink", 13);
  const Format saved = m_format;
  m_format = Format::kGnu;
  fillCommonFields(b, 0, 0);
  m_format = saved;
  std::memcpy(b + 100, "0000000", 8);
  std::memcpy(b + 108, "0000000", 8);
  std::memcpy(b + 116, "0000000", 8);
  std::memcpy(b + 136, "00000000000", 12);
  const int64_t size = path.getSize() + 1;
  putNumber(b + 124, 12, size);
  b[156] = 'L';
  finishChecksum(b);
  return writeOut_pm(b, 512, pm, log) &&
         writeOut_pm(path.getString(), path.getSize() + 1, pm, log) &&
         writeZeros(static_cast<unsigned int>((512 - size % 512) % 512), pm, log);
}

bool ClsTar::writePaxHeaderToOutput(const StringBuffer &path, ckFileInfo &info, ProgressMonitor *pm,
                                    LogBase &log) {
  if (!m_dest) return false;
  // The record length counts its own digits.
  const int body = 1 + 5 + path.getSize() + 1; // " path=" ... "\n"
  int len = body + 1;
  for (int digits = 1;; ++digits) {
    len = body + digits;
    if (static_cast<int>(std::to_string(len).size()) == digits) break;
  }
  StringBuffer rec;
  rec.append(std::to_string(len).c_str());
  rec.append(" path=");
  rec.append(path);
  rec.appendChar('\n');
  unsigned char b[512];
  std::memset(b, 0, sizeof(b));
  std::memcpy(b, path.getString(), path.getSize() < 100 ? path.getSize() : 100);
  fillCommonFields(b, info.m_isDirectory ? m_dirMode : m_fileMode,
                   info.m_lastModTimeUtc.toUnixTime());
  std::memset(b + 265, 0, 64);
  putNumber(b + 124, 12, rec.getSize());
  b[156] = 'x';
  finishChecksum(b);
  return writeOut_pm(b, 512, pm, log) && writeOut_pm(rec.getString(), rec.getSize(), pm, log) &&
         writeZeros((512 - rec.getSize() % 512) % 512, pm, log);
}

bool ClsTar::splitPathForTar(const StringBuffer &path, StringBuffer &name, StringBuffer &prefix) {
  const char *s = path.getString();
  const int n = path.getSize();
  for (int i = n - 1; i >= 0; --i) {
    if (s[i] != '/') continue;
    const int after = n - i - 1;
    if (after >= 1 && after <= 100 && i <= 155) {
      prefix.clear();
      prefix.appendN(s, i);
      name.clear();
      name.appendN(s + i + 1, after);
      return true;
    }
  }
  return false;
}

bool ClsTar::ListXml(XString &tarPath, XString &out, ProgressEvent *) {
  enterCriticalSection();
  enterContextBase("ListXml");
  out.clear();
  m_log.LogData("filename", tarPath.getUtf8());
  FileDataSource *src = FileDataSource::OpenSourceFileUtf8(tarPath.getUtf8(), &m_log);
  if (!src) {
    m_log.LeaveContext();
    leaveCriticalSection();
    return false;
  }
  StringBuffer x("<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n<tar>\r\n");
  int64_t pos = 0;
  bool ok = false;
  const int64_t fileSize = src->getFileSize64(&m_log);
  for (;;) {
    TarHeader h;
    unsigned char block[512];
    bool end = false;
    if (!src->fseekAbsolute64(pos, &m_log) || !h.parseFromDataSource(*src, block, end, m_log))
      break;
    if (end) {
      ok = true;
      break;
    }
    if (!headerChecksumMatches(block, h)) {
      m_log.LogError("TAR header checksum does not match; the archive is damaged.");
      break;
    }
    // An entry whose data runs past the end of the file is refused before its size is added to
    // the position: a size near the 64-bit limit would wrap the position around.
    if (h.m_size > (fileSize >= 0 ? fileSize : INT64_MAX - 1024) - pos - 512) {
      m_log.LogError("TAR archive is truncated.");
      break;
    }
    if (m_verboseLogging) {
      StringBuffer qp;
      h.getFieldsQP(block, qp);
      x.append("<qp>");
      XmlText::appendCData(qp.getString(), x);
      x.append("</qp>\r\n");
    }
    x.append("\t<entry>\r\n");
    XString conv;
    auto text = [&](const StringBuffer &sb) -> const char * {
      const char *cs = m_charset.getUtf8();
      conv.clear();
      if (!*cs || !strcasecmp(cs, "utf-8"))
        conv.setFromUtf8(sb.getString());
      else
        conv.appendFromEncoding(sb.getString(), cs);
      return conv.getUtf8();
    };
    appendElement(x, "filename", text(h.m_path));
    appendElement(x, "name", text(h.m_name));
    appendElement(x, "prefix", text(h.m_prefix));
    char oct[32];
    std::snprintf(oct, sizeof(oct), "%o", h.m_mode);
    x.append("\t\t<mode octal=\"");
    x.append(oct);
    x.append("\">");
    x.append(static_cast<unsigned int>(h.m_mode));
    x.append("</mode>\r\n");
    appendElementInt(x, "uid", h.m_uid);
    appendElementInt(x, "gid", h.m_gid);
    appendElementInt(x, "size", h.m_size);
    StringBuffer magic, version, type;
    magic.appendN(reinterpret_cast<const char *>(h.m_magic), 6);
    magic.chopAtFirstChar('\0');
    version.appendN(reinterpret_cast<const char *>(h.m_version), 2);
    version.chopAtFirstChar('\0');
    if (h.m_typeflag) type.appendChar(h.m_typeflag);
    appendElement(x, "magic", magic.getString());
    appendElement(x, "version", version.getString());
    appendElement(x, "typeFlag", type.getString());
    StringBuffer date;
    DateParser::generateLocalDateRFC822(h.m_mtime64, date);
    x.append("\t\t<mtime t=\"");
    x.appendInt64(h.m_mtime64);
    x.append("\">");
    appendXmlEscaped(x, date.getString());
    x.append("</mtime>\r\n");
    if (h.m_linkname) appendElement(x, "linkname", text(*h.m_linkname));
    if (h.m_uname) appendElement(x, "uname", text(*h.m_uname));
    if (h.m_gname) appendElement(x, "gname", text(*h.m_gname));
    if ((h.m_typeflag == 'L' || h.m_typeflag == 'x') && h.m_size >= 1 && h.m_size < 100000) {
      std::vector<char> data(static_cast<size_t>(h.m_size) + 1, 0);
      unsigned int got = 0, want = static_cast<unsigned int>(h.m_size);
      while (got < want) {
        unsigned int k = src->readBytes(data.data() + got, 1, want - got, &m_log);
        if (!k) break;
        got += k;
      }
      if (got != want) {
        m_log.LogError("Failed to read long filename after TAR header.");
      } else {
        StringBuffer v;
        v.appendN(data.data(), static_cast<int>(std::strlen(data.data())));
        appendElement(x, h.m_typeflag == 'L' ? "longFilename" : "extendedHeader", text(v));
      }
    }
    x.append("\t</entry>\r\n");
    if (h.m_typeflag == 'S') {
      if (!src->fseekAbsolute64(pos + 512, &m_log) ||
          !skipSparseExtensions(*src, block, pos, m_log))
        break;
    }
    pos += 512 + h.m_size + (512 - h.m_size % 512) % 512;
  }
  x.append("</tar>\r\n");
  delete src;
  out.setFromUtf8(x.getString());
  logSuccessFailure(ok);
  m_log.LeaveContext();
  leaveCriticalSection();
  return ok;
}
