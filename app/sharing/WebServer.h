// One client of the web sharing server: a connection that the hosting code accepted on port 8080.
// It reads one HTTP/1.0 request, checks Basic authentication against the sharing user and
// password, and answers with a folder page of Saved Files (Documents/Files) built from the
// templates in Documents/WebServer, with a file (from Saved Files, else from the templates and
// icons), or by storing the files of a multipart upload; then it closes the connection. All of it
// runs on the main run loop.
//
// The object owns itself: the hosting code makes it (std::make_shared), hands it the accepted
// streams with didAcceptConnectionForServer() and forgets it; it stays alive (in a process-wide
// registry) until its connection ends.
//
// Whatever a client sends stays inside Saved Files: request paths are decoded after the query is
// split off and mapped into the shared folder by whole components (symbolic links included), the
// file of exactly the bytes the escapes stand for; a head with a line another reader could take
// otherwise (folded, a blank before a colon, a control character) is refused;
// nothing under a "PrivateKeys" path is served or listed; names and paths are escaped in pages
// and links; nothing from the request reaches a header with a line break in it; an upload is
// written under a temporary name and only renamed into place once its part is complete, so a
// broken upload never leaves half a file (or destroys the file it would have replaced).
#pragma once

#include "app/foundation/TCPServer.h"
#include "app/sharing/IdleWatch.h"
#include "app/sharing/SharedListing.h"
#include "app/sharing/WebMultipart.h"
#include "app/sharing/WebRequest.h"

#include "platform/foundation/Clock.h"
#include "platform/net/FileStream.h"
#include "platform/net/SocketStream.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class WebServer : public TCPServerDelegate, public std::enable_shared_from_this<WebServer> {
public:
  using Bytes = std::vector<uint8_t>;

  // What the object is doing.
  enum Task : int { kTaskReadingHead = 1, kTaskReadingBody = 2, kTaskReplying = 3 };

  // A client that lets this long pass without sending body bytes or taking reply bytes (or that
  // has not sent its whole request head this long after connecting) is closed without an answer
  // (as nginx does), so stalled clients cannot hold connections without end.
  static constexpr platform::Duration kIdleLimit = platform::seconds(60);
  // The request head must arrive within kHeadLimit, lengthened by a second for every kMinRate
  // bytes of it, to at most kHeadLimitMost; a body within kBodyLimit, lengthened the same way
  // without end (Apache's mod_reqtimeout defaults). A client that trickles its request is cut,
  // however often it sends a byte; a slow but steady upload goes on.
  static constexpr platform::Duration kHeadLimit = platform::seconds(20);
  static constexpr platform::Duration kHeadLimitMost = platform::seconds(40);
  static constexpr platform::Duration kBodyLimit = platform::seconds(20);
  static constexpr size_t kMinRate = 500; // bytes a second
  // Connections served at once; one more is answered "503" and closed, unless the places are held
  // unevenly: then a connection of the address that holds the most makes room for it
  // (ConnectionLimit.h).
  static constexpr size_t kMaxConnections = 256;

  WebServer();
  ~WebServer() override;
  WebServer(const WebServer &) = delete;
  WebServer &operator=(const WebServer &) = delete;

  // The connection from the hosting listener (streams neither opened nor scheduled). Ignored when
  // this object already has one.
  void
  didAcceptConnectionForServer(TCPServer &server,
                               std::shared_ptr<platform::net::SocketInputStream> in,
                               std::shared_ptr<platform::net::SocketOutputStream> out) override;
  // Closes the connection (an upload in progress is dropped) and releases the object.
  void disconnectFromClient();

  // The next complete line of `buffer` (ending at LF or NUL, terminator included), removed from
  // it; "" when no line is complete.
  static std::string popLineFromData(Bytes &buffer);

  void parseHTMLHeader();
  void parseFormData();
  void makeDirectoryListing();
  void sendHttpObjectFileHeaderCode(int code);
  // A page; extraHeaders are whole header lines (each ending in CR LF).
  void sendHTMLReplyHeaderCode(int code, const std::string &text,
                               const std::string &extraHeaders = "");
  void sendFileReplyHeaderCode(int code, int64_t contentLength, const std::string &contentType,
                               platform::WallTime contentDate);
  // The access or error log line of a reply ("WebServerLogs" on).
  void log(int code, int64_t size);

  void handleReadEvent(platform::net::StreamEvent event);
  void handleWriteEvent(platform::net::StreamEvent event);
  void doHandleReadEvent();
  void doHandleWriteEvent();

  // What a connection the process has no descriptor for is told before it is closed: "503" with
  // the reason (errorCode: EMFILE or ENFILE).
  static std::string turnAwayReply(int errorCode);

  // Handlers whose connections are still open (main thread).
  static size_t liveCount();
  // Closes every open connection (at termination).
  static void disconnectAll();

  // --- State (read by tests).
  int iTask = kTaskReadingHead;
  std::string httpOperationLine;
  std::string httpOperation;
  std::optional<std::string> httpObject;
  std::optional<std::string> httpCGI;
  std::string authLine;
  std::string cookieLine, userAgent;
  int64_t contentLength = 0;
  int64_t totalBytesRead = 0;
  std::string multipartBoundary;
  bool inDataContents = false;
  std::string contentDispositionFileName;
  std::shared_ptr<platform::net::SocketInputStream> readStream;
  std::shared_ptr<platform::net::SocketOutputStream> writeStream;
  bool writeStreamReady = false;
  std::unique_ptr<platform::net::FileInputStream> readStreamSendFile;
  std::unique_ptr<platform::net::FileOutputStream> writeStreamSaveFile;
  Bytes dataRead;
  Bytes dataToWrite;
  Bytes dataToWriteSendFile;
  std::vector<uint8_t> fromAddress;

private:
  void takeRequestHead(const WebRequestHead &head);
  void dispatchRequest();
  void sendFile(WebLocalItem item, int code);
  void redirectToFolder();
  // "503" with the reason: a file or folder that is there could not be opened for want of a
  // descriptor (errorCode: EMFILE or ENFILE).
  void sendShortOfDescriptors(int errorCode);
  std::string replyHeader(int code, size_t length, const std::string &extraHeaders) const;
  void queueReply(std::string header, const std::string &body, int code, int64_t logSize,
                  std::vector<sharing::SharedText> parts = {});
  void sendPage(const std::string &head, sharing::SharedText rows, const std::string &foot);
  void sendPending();
  void beginUpload();
  void uploadPartBegins(const std::string &fileName);
  void uploadPartData(const uint8_t *data, size_t size);
  void uploadPartEnds(bool complete);
  void dropSaveFile();
  // The upload cannot be stored: why, in words, for the page that answers it.
  void uploadFails(std::string reason);
  void sendUploadFailure();
  void requestTooSlow();

  IdleWatch idle_;
  RateWatch rate_;
  WebRequestParser requestParser_;
  std::unique_ptr<WebMultipartParser> multipart_;
  size_t dataToWriteSent_ = 0;
  // Bytes that follow dataToWrite: a folder page's rows (shared with every connection that sends
  // that page) and the rest of the page.
  std::vector<sharing::SharedText> pageParts_;
  size_t pagePart_ = 0, pagePartSent_ = 0;
  size_t sendFileSent_ = 0;
  int64_t sendFileRemaining_ = 0;
  int64_t sendFileOffset_ = 0;
  bool sendFileByKernel_ = true; // until the socket says it cannot (TLS, odd files)
  std::string saveFileTempPath_;
  std::string saveFilePath_;
  bool uploadFailed_ = false;
  std::string uploadFailure_;
  bool registered_ = false;
};
