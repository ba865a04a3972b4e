// One client of the FTP sharing server: the control connection that the hosting code accepted on
// port 2121, the login against the sharing user and password, a current folder inside Saved Files
// (Documents/Files), the command set, passive data connections through a listener of its own, and
// the listings and file contents moved over them. Everything runs on the main run loop.
//
// The object owns itself: the hosting code makes it, hands it the accepted streams with
// didAcceptIncomingConnection() and forgets it; it stays alive (in a process-wide registry) until
// its control connection ends.
//
// Whatever a client sends stays inside Saved Files: every path is resolved the same way for the
// check and for the use, normalised and compared component by component with the root; nothing
// under a "PrivateKeys" folder can be read, sized, listed or renamed away. Nothing is removed that
// was not named: DELE takes files, RMD empty folders, and a command that needs a path refuses an
// empty one. A path names the file of exactly the bytes the client sent (two names that read
// alike are two files); those bytes are read as text only for replies and the log. Only plain
// files are sent or written, opened without waiting (a named pipe never holds the program). No
// client holds the program: the current folder is kept normalised and bounded, only
// whole commands and moved data keep a session alive, a session that does not log in soon is
// closed, no one address keeps the others out, and a transfer that cannot have its data
// connection or its file (no descriptor left, a client that never connects) is answered so.
#pragma once

#include "app/foundation/TCPServer.h"
#include "app/sharing/IdleWatch.h"
#include "app/sharing/SharedListing.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/net/FileStream.h"
#include "platform/net/SocketStream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class FTPServer : public TCPServerDelegate, public std::enable_shared_from_this<FTPServer> {
public:
  using Bytes = std::vector<uint8_t>;

  FTPServer();
  ~FTPServer() override;
  FTPServer(const FTPServer &) = delete;
  FTPServer &operator=(const FTPServer &) = delete;

  // A new control connection from the hosting listener (streams neither opened nor scheduled).
  // Ignored when this object already has one.
  void didAcceptIncomingConnection(TCPServer &server,
                                   std::shared_ptr<platform::net::SocketInputStream> in,
                                   std::shared_ptr<platform::net::SocketOutputStream> out);
  // The data connection on the passive listener.
  void
  didAcceptConnectionForServer(TCPServer &server,
                               std::shared_ptr<platform::net::SocketInputStream> in,
                               std::shared_ptr<platform::net::SocketOutputStream> out) override;
  // The passive listener could not take the data connection (no descriptor left).
  void didTurnAwayConnectionForServer(TCPServer &server, int errorCode) override;

  void disconnectFromClient();
  void disconnectDataFromClient();
  void sendCommandToStream(const std::string &reply);

  // The next complete line of `buffer` (ending at LF or NUL, terminator included), removed from
  // it; "" when no line is complete.
  static std::string popLineFromData(Bytes &buffer);
  // The same line in the bytes the client sent; "" when no line is complete.
  static std::string popLineBytes(Bytes &buffer);
  // The text a client's bytes stand for, for replies and the log: UTF-8, else Latin-1,
  // Windows-1252 or non-lossy ASCII, the first that reads them.
  static std::string shownText(std::string_view bytes);

  std::string getFTPPathFor(const std::string &argument) const;
  std::string getOSPathFor(const std::string &argument) const;
  // True (after answering "550 <argument>: Bad path argument.") when the argument resolves to a
  // place outside Saved Files, or to a path longer than kMaxPathLength.
  bool illegalPath(const std::string &argument);

  std::string doPASVCommand();
  // Fills dataToWrite and lengthDataToWrite with the listing, then calls `ready`: before it
  // returns for a single item or a folder made in one step, else once the folder's listing (made
  // once for every session that lists it at the same time) is complete.
  void getDirectoryLISTReply(const std::string &argument, bool nlst, bool hidden,
                             std::function<void()> ready);
  std::string getDirectoryLISTItem(const std::string &name, const std::string &inPath, bool nlst,
                                   bool hidden) const;
  // The same line for a session created at `today`; `modified` receives the entry's modification
  // time when the line tells it.
  static std::string listingLine(const std::string &name, const std::string &inPath, bool nlst,
                                 bool hidden, platform::WallTime today,
                                 platform::WallTime *modified = nullptr);
  static std::string dirAttribString(unsigned bits);
  void log(const std::string &message);
  void filesChanged();
  void parseControlData();

  void handleReadEvent(platform::net::StreamEvent event);
  void handleWriteEvent(platform::net::StreamEvent event);
  void handleDataReadEvent(platform::net::StreamEvent event);
  void handleDataWriteEvent(platform::net::StreamEvent event);
  void doHandleReadEvent();
  void doHandleWriteEvent();
  void doHandleDataReadEvent();
  void doHandleDataWriteEvent();

  // --- Facts for tests and for the fuzz target.
  // Control bytes as if read from the client (the object need not have a connection); the
  // replies collect in pendingReplies() when there is no control stream.
  void receiveControlBytes(const uint8_t *data, size_t size);
  std::string takePendingReplies();
  bool isDisconnected() const { return disconnected_; }
  bool isLoggedIn() const { return loggedIn; }
  const std::string &currentFolder() const { return currentDirectory; }
  TCPServer *passiveListener() const { return pasvListener.get(); }
  // Client handlers alive now (each lives until its control connection ends).
  static size_t liveCount();
  // What a client the process has no descriptor for is told before it is closed: "421" with the
  // reason (errorCode: EMFILE or ENFILE), as one over the session limit is.
  static std::string turnAwayReply(int errorCode);
  // Sessions served at once; a client beyond them is told "421" and closed, unless the places
  // are held unevenly: then a session of the address that holds the most makes room for it
  // (ConnectionLimit.h).
  static constexpr size_t kMaxSessions = 256;
  // A session that has not logged in this long after it connected (or after it gave its login up
  // with USER or REIN) is told "421" and closed: a real client logs in at once, and one that never
  // does must not hold a place for the whole idle limit. A minute, as nginx waits for a request
  // head and vsftpd for a data connection: room for a person typing a password by hand.
  static constexpr platform::Duration kLoginLimit = platform::seconds(60);
  // Ends every client handler (program shutdown).
  static void disconnectAll();

  // The longest control line accepted; a client that sends more without a line end is cut off.
  static constexpr size_t kMaxControlLine = 64 * 1024;
  // A session that sends no command and moves no data for this long is told "421" and closed
  // (vsftpd's limits), so stalled clients cannot hold connections without end.
  static constexpr platform::Duration kIdleLimit = platform::seconds(300);
  // The longest local path (Saved Files' own path included) a command may name: what the system
  // takes in one call. The current folder stays within it.
  static constexpr size_t kMaxPathLength = 4095;
  // How long a transfer that was answered "150" waits for its passive data connection before it
  // is given up with "425" (vsftpd's accept timeout).
  static constexpr platform::Duration kDataConnectionWait = platform::seconds(60);
  // Tests only: runs once DELE or RMD has found the item it names, before it is removed (null in
  // the program).
  static inline void (*removalCheckedHook)(const std::string &localPath) = nullptr;

private:
  bool isInPrivateKeys(const std::string &localPath) const;
  std::string sharedRoot() const;
  bool insideRoot(const std::string &localPath) const;
  // The FTP path of a local path inside Saved Files, in its normal form ("/" for the root).
  std::string ftpPathOf(const std::string &localPath) const;
  void handleCommand(const std::string &command, const std::string &argument);
  // Whether the command's argument is a path (taken to the line's end, blanks and all).
  static bool takesPath(const std::string &command);

  // The command table: a name, whether it needs a login, what its argument is, and its handler
  // (which gets the command, for handlers shared by two commands, and the argument).
  enum class CommandArgument {
    Text,  // the handler reads it, as text
    Words, // the handler reads it in the client's bytes (a path among other words)
    Path,  // a path (in the client's bytes) that must resolve inside Saved Files; refused before
           // the handler runs
  };
  using CommandHandler = void (FTPServer::*)(const std::string &command,
                                             const std::string &argument);
  struct Command {
    const char *name;
    bool needsLogin;
    CommandArgument argument;
    CommandHandler handler;
  };
  static const std::vector<Command> &commandTable();
  void reply(const std::string &text);
  void notUnderstood(const std::string &command);
  void doUSER(const std::string &command, const std::string &argument);
  void doPASS(const std::string &command, const std::string &argument);
  void doHOST(const std::string &command, const std::string &argument);
  void doSYST(const std::string &command, const std::string &argument);
  void doFEAT(const std::string &command, const std::string &argument);
  void doQUIT(const std::string &command, const std::string &argument);
  void doPWD(const std::string &command, const std::string &argument);
  void doOPTS(const std::string &command, const std::string &argument);
  void doCDUP(const std::string &command, const std::string &argument);
  void doCWD(const std::string &command, const std::string &argument);
  void doTYPE(const std::string &command, const std::string &argument);
  void doPASV(const std::string &command, const std::string &argument);
  void doREIN(const std::string &command, const std::string &argument);
  void doABOR(const std::string &command, const std::string &argument);
  void doMKD(const std::string &command, const std::string &argument);
  void doRemove(const std::string &command, const std::string &argument); // RMD, DELE
  void doRNFR(const std::string &command, const std::string &argument);
  void doRNTO(const std::string &command, const std::string &argument);
  void doSIZE(const std::string &command, const std::string &argument);
  void doMFMT(const std::string &command, const std::string &argument);
  void doMDTM(const std::string &command, const std::string &argument);
  void doSTAT(const std::string &command, const std::string &argument);
  void doREST(const std::string &command, const std::string &argument);
  void doRETR(const std::string &command, const std::string &argument);
  void doStore(const std::string &command, const std::string &argument); // STOR, APPE
  void doList(const std::string &command, const std::string &argument);  // LIST, NLST
  void doNOOP(const std::string &command, const std::string &argument);
  void flushControlOutput();
  void openDataStreams();
  void startSending();
  void startReceiving();
  void pumpSend();
  void receiveFileBytes();
  void finishReceivedFile();
  void abortTransfer(const std::string &reply);
  void closeSendFile();
  bool writeSaveBuffer();
  // After a failed STOR or APPE, a file that the command created and that received nothing is
  // removed again.
  void closeSaveFile(bool completed = false);
  void scheduleDataWriteRetry();
  bool transferWaiting() const;
  void awaitDataConnection();
  void stopAwaitingDataConnection();
  void dropPassiveListener();
  void serverIsActive();
  void idleLimitPassed();
  // After a command that may have changed the login: the login bound runs while there is none.
  void loginMayHaveChanged(bool wasLoggedIn);
  // Closes this session to make room for a client of an address that holds fewer places.
  void giveUpPlace();
  static size_t sessionsHoldingPlaces();

  // Control connection.
  bool loggedIn = false;
  bool gotUsername = false;
  std::shared_ptr<platform::net::SocketInputStream> readStream;
  std::shared_ptr<platform::net::SocketOutputStream> writeStream;
  bool writeStreamReady = false;
  bool kickReadStream = false;
  Bytes dataRead;
  std::string currentDirectory = "/";
  std::string renameFrom;     // the argument of the last accepted RNFR
  std::string renameFromPath; // its local path, resolved when RNFR was accepted
  bool haveRenameFrom = false;
  int type = 0;
  int64_t RESTat = 0;

  // Data connection.
  std::shared_ptr<TCPServer> pasvListener;
  std::shared_ptr<platform::net::SocketInputStream> readStreamData;
  std::shared_ptr<platform::net::SocketOutputStream> writeStreamData;
  bool readStreamDataReady = false;
  bool writeStreamDataReady = false;
  bool dataReadEnded = false; // the client finished sending on the data connection already
  // Listing bytes waiting to be sent: one text, shared with every session that lists the same
  // folder at the same time.
  struct ListingBytes {
    sharing::SharedText text;
    size_t size() const { return text ? text->size() : 0; }
    const uint8_t *data() const {
      return text ? reinterpret_cast<const uint8_t *>(text->data()) : nullptr;
    }
    void clear() { text.reset(); }
  };
  ListingBytes dataToWrite;
  size_t dataToWriteOffset = 0;
  int64_t lengthDataToWrite = 0;
  std::unique_ptr<platform::net::FileInputStream> readStreamSendFile;
  Bytes dataToWriteSendFile;
  size_t dataToWriteSendFileOffset = 0;
  int64_t sendFileOffset_ = 0;   // where the file's next byte is
  bool sendFileByKernel_ = true; // until the socket says it cannot
  std::unique_ptr<platform::net::FileOutputStream> writeStreamSaveFile;
  std::string writeSaveFilePath;
  std::unique_ptr<uint8_t[]> saveBlock_; // bytes received, on their way to the file
  size_t saveBlockFill_ = 0;
  bool saveFileFailed = false;
  bool saveFileCreated_ = false; // the STOR or APPE made the file
  int listingError_ = 0;         // why the folder to list could not be read (no descriptor left)
  // Why the passive listener could not take the data connection, for the next transfer command.
  std::string dataConnectionRefusal_;
  platform::TimerRef dataConnectionWait_;

  std::vector<uint8_t> fromAddress;
  platform::WallTime today;
  std::string sharedRoot_; // Documents/Files

  // Replies not yet taken by the control stream.
  std::string controlOutput_;
  bool disconnected_ = false;
  bool readPaused_ = false;     // replies pile up unread: commands wait in the socket
  bool listingPending_ = false; // a LIST or NLST waits for its listing: later commands wait too
  bool dataWriteRetryPending_ = false;
  platform::TimerRef dataWriteRetry_;
  IdleWatch idle_;
  IdleWatch login_;
};
