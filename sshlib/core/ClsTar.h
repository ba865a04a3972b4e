// The library's tar archive object: unpacking (a seekable reader over files and memory, a
// streaming reader fed by the gzip, bzip2 and compress decoders, a first-match extractor) and
// writing (GNU, ustar and pax headers over a walk of directory roots, plain, gzip or bzip2), and
// an XML listing of an archive.
//
// Entry names come from the archive and are not trusted: a name that would lead outside the
// destination ("..", a pax path or a long name with "..") is skipped with a logged error and
// fails the operation at its end, and every file is opened without following a symbolic link in
// any folder below the destination. Link, device and other special entries become plain files;
// whatever already stands at an entry's path (a link, a hard link, a FIFO) is replaced, never
// written through or opened. Header checksums are verified. GNU sparse entries are skipped and
// fail the operation. An unpack stops, removing the entry it was writing, before the disk would
// have less than kMinFreeSpace free.
#pragma once

#include <cstdint>
#include <functional>

#include "sshlib/core/ClsBase.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/Output.h"
#include "sshlib/core/RazudodCritSec.h"
#include "sshlib/core/TarHeader.h"
#include "sshlib/core/XString.h"
#include "sshlib/core/ZipCRC.h"

class DataSource;
class ProgressEvent;
class ProgressMonitor;
class RazudodCompress;
class ckFileInfo;

class ClsTar : public ClsBase, public Output, public RazudodCritSec {
public:
  ClsTar();
  ~ClsTar() override;
  ClsTar(const ClsTar &) = delete;
  ClsTar &operator=(const ClsTar &) = delete;

  // Properties.
  void get_UntarFromDir(XString &out) { out.copyFromX(m_untarFromDir); }
  void put_UntarFromDir(XString &v) { m_untarFromDir.copyFromX(v); }
  void get_UntarMatchPattern(XString &out) { out.copyFromX(m_untarMatchPattern); }
  void put_UntarMatchPattern(XString &v) { m_untarMatchPattern.copyFromX(v); }
  bool get_UntarCaseSensitive() const { return m_untarCaseSensitive; }
  void put_UntarCaseSensitive(bool v) { m_untarCaseSensitive = v; }
  bool get_UntarDiscardPaths() const { return m_untarDiscardPaths; }
  void put_UntarDiscardPaths(bool v) { m_untarDiscardPaths = v; }
  bool get_NoAbsolutePaths() const { return m_noAbsolutePaths; }
  void put_NoAbsolutePaths(bool v) { m_noAbsolutePaths = v; }
  int get_UntarMaxCount() const { return m_untarMaxCount; }
  void put_UntarMaxCount(int v) { m_untarMaxCount = v; }
  bool get_UntarDebugLog() const { return m_untarDebugLog; }
  void put_UntarDebugLog(bool v) { m_untarDebugLog = v; }
  bool get_VerboseLogging() const { return m_verboseLogging; }
  void put_VerboseLogging(bool v) { m_verboseLogging = v; }
  int get_HeartbeatMs() const { return m_heartbeatMs; }
  void put_HeartbeatMs(int v) { m_heartbeatMs = v; }
  void get_Charset(XString &out) { out.copyFromX(m_charset); }
  void put_Charset(XString &v) { m_charset.setFromUtf8(v.getUtf8()); }
  void get_WriteFormat(XString &out) { out.copyFromX(m_writeFormat); }
  void put_WriteFormat(XString &v);
  int get_DirMode() const { return m_dirMode; }
  void put_DirMode(int v) { m_dirMode = v; }
  int get_FileMode() const { return m_fileMode; }
  void put_FileMode(int v) { m_fileMode = v; }
  int get_ScriptFileMode() const { return m_scriptFileMode; }
  void put_ScriptFileMode(int v) { m_scriptFileMode = v; }
  int get_UserId() const { return m_userId; }
  void put_UserId(int v) { m_userId = v; }
  int get_GroupId() const { return m_groupId; }
  void put_GroupId(int v) { m_groupId = v; }
  void get_UserName(XString &out) { out.copyFromX(m_userName); }
  void put_UserName(XString &v) { m_userName.copyFromX(v); }
  void get_GroupName(XString &out) { out.copyFromX(m_groupName); }
  void put_GroupName(XString &v) { m_groupName.copyFromX(v); }
  void get_DirPrefix(XString &out) { out.copyFromX(m_dirPrefix); }
  void put_DirPrefix(XString &v);
  int get_NumDirRoots() const { return m_roots.getSize(); }
  void dotNetDispose() {}

  // Reading.
  int Untar(XString &tarPath, ProgressEvent *event);
  bool VerifyTar(XString &tarPath, ProgressEvent *event);
  int UntarFromMemory(DataBuffer &tarData, ProgressEvent *event);
  bool UntarFirstMatchingToMemory(DataBuffer &tarData, XString &pattern, DataBuffer &out);
  bool UntarGz(XString &path, ProgressEvent *event);
  bool UntarBz2(XString &path, ProgressEvent *event);
  bool UntarZ(XString &path, ProgressEvent *event);

  // Writing.
  bool AddDirRoot(XString &dirPath);
  bool GetDirRoot(int index, XString &out);
  bool WriteTar(XString &outPath, ProgressEvent *event);
  bool WriteTarGz(XString &outPath, ProgressEvent *event);
  bool WriteTarBz2(XString &outPath, ProgressEvent *event);
  bool ListXml(XString &tarPath, XString &out, ProgressEvent *event);
  // The walk of the roots into `out` as an uncompressed archive (what WriteTar puts in its file),
  // under the caller's progress monitor.
  bool writeTarTo(Output &out, ProgressMonitor *pm, LogBase &log, ProgressEvent *event);

  // The engine.
  int _untar(DataSource &src, bool extract, LogBase &log, ProgressMonitor *pm,
             ProgressEvent *event);
  bool _untarFirstMatchingToOutput(DataSource &src, XString &pattern, Output &out, LogBase &log,
                                   bool logEveryPath, ProgressMonitor *pm);
  bool extractToOutput(DataSource &src, Output &out, int64_t size, LogBase &log,
                       ProgressMonitor *pm);
  // An entry's data into its file (made by the caller where the entry's name may go; the file
  // takes its times when it is closed here): the copy's result. With VerboseLogging the size and
  // the times are logged, a missing access or create time as the modify time.
  bool extractToFile(DataSource &src, Output *file, int64_t createTime, int64_t accessTime,
                     int64_t modifyTime, int64_t size, LogBase &log, ProgressMonitor *pm);
  void BeginStreamingUntar(LogBase &log);
  bool StreamingUntarNext(const unsigned char *data, unsigned int n, bool &finished, LogBase &log);
  // The step behind StreamingUntarNext: takes the bytes as far as they go.
  bool streamingUntarInner(const unsigned char *data, unsigned int n, bool &finished, LogBase &log);
  // False after any failed step, with an entry or a header left incomplete, or with an entry
  // that had to be skipped for an unsafe name.
  bool FinishStreamingUntar(LogBase &log);
  void setMatchPatternExactFlag();

  // Bytes written into the object go to the streaming untar.
  unsigned int _fwrite32(const void *data, unsigned int itemSize, unsigned int count,
                         ProgressMonitor *pm, LogBase &log) override;
  unsigned int _fwrite64(const void *data, long long itemSize, unsigned int count,
                         ProgressMonitor *pm, LogBase &log) override;

  // Free bytes on the file system holding an open descriptor. Unset, the system is asked; tests
  // set a small budget instead of filling a disk. Any thread; an unpack reads it per file.
  using FreeSpaceQuery = std::function<int64_t(int fd)>;
  static void setFreeSpaceQuery(FreeSpaceQuery query);
  static constexpr int64_t kMinFreeSpace = 64LL << 20;

  // Format helpers.
  static unsigned int computeHeaderChecksum(const unsigned char *block);
  // The stored checksum matches the block's sum, counted with unsigned or with signed bytes (tar
  // writers differ); a header that fails it is damaged.
  static bool headerChecksumMatches(const unsigned char *block, const TarHeader &hdr);
  // An old GNU sparse header is followed by extension blocks, not counted in its size, while
  // its "isextended" byte is set; reads past them and adds their length to pos.
  static bool skipSparseExtensions(DataSource &src, const unsigned char *header, int64_t &pos,
                                   LogBase &log);
  static bool numToBase256(int64_t value, unsigned char *field, int width);
  // A numeric field as zero-padded octal with a NUL when it fits, else in base 256.
  static void putNumber(unsigned char *field, int width, int64_t value);
  bool parsePaxExtendedHeader(const char *records, unsigned int n, TarHeader &hdr, LogBase &log);
  static void combineHeaderPaxExtended(TarHeader &next, TarHeader &ext);
  static void combineHeaderLongFilename(TarHeader &next, TarHeader &longHdr);
  bool beginGzip(const char *outPath, Output &out, LogBase &log);
  bool endGzip(Output &out, uint32_t crc, uint64_t count, LogBase &log);

private:
  enum class EntryAction { kSkipped, kDone, kWriteFile, kFailed };

  // Name and destination of an entry; false when the name would leave the destination.
  bool entryName(TarHeader &hdr, bool discardPaths, XString &name, StringBuffer &relPath);
  bool nameMatches(XString &name, XString &pattern, bool bareName);
  // Decides and prepares one entry: folder created, file opened (out receives it), or skipped.
  // The streaming untar reports its steps with texts of its own.
  EntryAction beginEntry(TarHeader &hdr, bool skip, bool discardPaths, Output *&out, LogBase &log,
                         bool streaming);
  bool readPaxOrLong(DataSource &src, TarHeader &hdr, char type, LogBase &log);
  bool readHeaderBlock(DataSource &src, TarHeader &hdr, bool &end, LogBase &log);
  // An entry this reader cannot write as it is meant: GNU sparse (type 'S' or pax GNU.sparse).
  static bool isSparse(const TarHeader &hdr);
  bool seekPast(DataSource &src, int64_t &pos, int64_t size, LogBase &log);

  // Streaming.
  bool streamHeader(const unsigned char *block, LogBase &log);
  // Ends the current entry; step tells which way its last bytes came (1: straight from the
  // caller, 2: the pending bytes held no more than the entry, 3: they went past it; 0: an entry
  // without data), as the verbose log names it.
  void streamEndEntry(LogBase &log, int step);
  void streamFail();
  bool finishSpecial(LogBase &log);

  // Reading a tar file (plain, checked or compressed): the count, -1 on failure, or
  // kSourceNotOpened when the file could not be opened (the operation then ends without its
  // closing success or failure line; the plain readers have logged "Failed." already).
  static constexpr int kSourceNotOpened = -2;
  int openAndRun(XString &path, ProgressEvent *event, const char *kind);
  // The public frame around openAndRun.
  int runFileOperation(const char *name, XString &path, ProgressEvent *event, const char *kind);
  bool unTarGz(DataSource &src, ProgressMonitor *pm, LogBase &log);
  // The compress (.Z) stream of the source into the streaming untar.
  bool uncompressZ(DataSource &src, LogBase &log);

  // Writing.
  bool writeArchive(XString &outPath, ProgressEvent *event, int algorithm, const char *pathTag);
  bool writeTarToOutput(ProgressMonitor *pm, LogBase &log, ProgressEvent *event);
  bool writeFileToOutput(XString &fullPath, XString &entryPath, ProgressMonitor *pm, LogBase &log,
                         ProgressEvent *event);
  bool writeTarHeaderToOutput(XString &entryPath, ckFileInfo &info, ProgressMonitor *pm,
                              LogBase &log);
  bool writeLongFilenameToOutput(const StringBuffer &path, ProgressMonitor *pm, LogBase &log);
  bool writePaxHeaderToOutput(const StringBuffer &path, ckFileInfo &info, ProgressMonitor *pm,
                              LogBase &log);
  static bool splitPathForTar(const StringBuffer &path, StringBuffer &name, StringBuffer &prefix);
  bool copySourceToOutput(XString &fullPath, int64_t size, ProgressMonitor *pm, LogBase &log);
  bool writeOut_pm(const void *data, unsigned int n, ProgressMonitor *pm, LogBase &log);
  bool writeZeros(unsigned int n, ProgressMonitor *pm, LogBase &log);
  void fillCommonFields(unsigned char *block, int mode, int64_t mtime);

  // Properties.
  XString m_untarFromDir;
  XString m_untarMatchPattern;
  bool m_untarCaseSensitive = false;
  bool m_untarDiscardPaths = false;
  bool m_noAbsolutePaths = true;
  int m_untarMaxCount = 0;
  bool m_untarDebugLog = false;
  bool m_verboseLogging = false;
  int m_heartbeatMs = 0;
  XString m_charset;
  XString m_writeFormat;
  int m_dirMode = 0755;
  int m_fileMode = 0644;
  int m_scriptFileMode = 0755;
  int m_userId = 1000;
  int m_groupId = 1000;
  XString m_userName;
  XString m_groupName;
  XString m_dirPrefix;

  // Writer state.
  enum class Format { kGnu, kUstar, kPax } m_format = Format::kGnu;
  ExtPtrArray m_roots;
  XString m_currentRoot;
  Output *m_dest = nullptr;
  bool m_compressing = false;
  bool m_firstChunk = false;
  bool m_lastChunk = false;
  uint64_t m_compressedCount = 0;
  bool m_writeCrc = false;
  ZipCRC m_writeCrcState;
  RazudodCompress *m_compress = nullptr;
  bool m_writeProblem = false;
  bool m_abort = false;

  // Reader state shared by the drivers.
  bool m_unsafeSkipped = false;
  bool m_unsupportedSkipped = false;
  unsigned char m_block[512] = {};
  int64_t m_srcSize = -1;

  // Streaming state.
  bool m_bareName = false;
  DataBuffer m_pending;
  Output *m_curOut = nullptr;
  int64_t m_remaining = 0;
  int64_t m_written = 0;
  uint32_t m_fill = 0;
  bool m_finished = false;
  bool m_success = true;
  char m_prevType = ' ';
  char m_sideKind = 0;
  DataBuffer m_side;
  TarHeader m_hdr;
  TarHeader m_extHdr;
  bool m_haveExt = false;
  bool m_haveLong = false;
  bool m_sparseExt = false; // extension blocks of an old GNU sparse header follow
  int m_headerCount = 0;
  StringBuffer m_longName;

  // Gzip member check while inflating into the object.
  bool m_inflateCrcOn = false;
  ZipCRC m_inflateCrc;
  uint64_t m_inflateCount = 0;
};
