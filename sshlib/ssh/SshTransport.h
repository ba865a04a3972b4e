// The client side of one SSH-2 connection: packets, identification, key exchange, host keys, the
// message dispatcher and the channel control messages, with the state they share.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/XString.h"
#include "sshlib/crypto/ClsCrypt.h"
#include "sshlib/crypto/EcKex.h"
#include "sshlib/crypto/RazudodDh.h"
#include "sshlib/crypto/SshCipher.h"
#include "sshlib/ssh/RazudodSocket.h"
#include "sshlib/ssh/SocketReadFailInfo.h"
#include "sshlib/ssh/SshIdent.h"

class ClsStringArray;
class ClsHttpProxyClient;
class ClsSocksClient;
class LogBase;
class Output;
class ProgressMonitor;
class SshChannel;
class ClsSshKey;
class rsa_key;
class dsa_key;

class SshTransport {
public:
  SshTransport();
  virtual ~SshTransport();
  SshTransport(const SshTransport &) = delete;
  SshTransport &operator=(const SshTransport &) = delete;

  // ---- Connection set-up.
  bool sshConnect(ClsSocksClient &socks, ClsHttpProxyClient *httpProxy, ProgressMonitor *pm,
                  LogBase &log, SocketReadFailInfo &failInfo, bool verbose);
  bool readServerVersion(ProgressMonitor *pm, LogBase &log);
  bool isWeOnlyDo() const;
  bool isBitvise() const;
  void setClientIp(const char *text);

  // ---- Binary packets.
  bool sendMessage(const char *msgName, DataBuffer &payload, ProgressMonitor *pm, LogBase &log,
                   bool verbose);
  bool readRawPacket(DataBuffer &payload, unsigned int idleTimeoutMs, ProgressMonitor *pm,
                     LogBase &log, bool verbose);
  void queuePayload(DataBuffer &payload, LogBase &log, bool verbose, int calledFrom);

  // ---- Dispatcher.
  bool generalizedRead(int waitCode, unsigned int idleTimeoutMs, unsigned int readTimeoutMs,
                       SshChannel *channel, bool &eofReceived, bool &closeReceived, DataBuffer &out,
                       unsigned int &outType, bool &disconnectReceived, ProgressMonitor *pm,
                       LogBase &log, SocketReadFailInfo &failInfo, bool &satisfied, bool verbose);
  // Channels that are open on this connection (by our number); a channel message for any other
  // number is a protocol error and is dropped. The channel-open code records its channels here;
  // whoever deletes a channel forgets it first.
  void channelOpened(SshChannel &ch);
  void channelForgotten(unsigned int clientChannelNum) { openChannels.erase(clientChannelNum); }

  // ---- Message names and session log.
  static void msgTypeName(int number, StringBuffer &out);
  void toSessionLog(const char *prefix, int value, const char *suffix);
  void toSessionLog(const char *prefix, const char *text, const char *suffix);
  bool checkDataAvailable(LogBase &log);
  void setNoDelay(bool on);
  void forcefulClose(LogBase &log);
  void setTimeouts(unsigned int idleTimeoutMs, unsigned int connectTimeoutMs);

  // ---- Algorithm numbers beyond the original ones (ciphers 1-8, MACs 1-2, key exchanges 1, 14,
  // 160, 256, host keys 1-2).
  enum : int {
    kCipherAes128Ctr = 9,
    kCipherAes192Ctr = 10,
    kCipherAes256Ctr = 11,
    kCipherAes128Gcm = 12,
    kCipherAes256Gcm = 13,
    kCipherChaCha20Poly1305 = 14,
  };
  enum : int { kMacSha256 = 3, kMacSha512 = 4, kMacSha256Etm = 5, kMacSha512Etm = 6 };
  enum : int {
    kKexCurve25519 = 25519,
    kKexEcdhP256 = 2561,
    kKexEcdhP384 = 3841,
    kKexEcdhP521 = 5211,
    kKexGroup14Sha256 = 14256,
    kKexGroup16Sha512 = 16512,
    kKexGroup18Sha512 = 18512,
  };
  enum : int {
    kHostRsaSha256 = 3,
    kHostRsaSha512 = 4,
    kHostEd25519 = 5,
    kHostEcdsaP256 = 6,
    kHostEcdsaP384 = 7,
    kHostEcdsaP521 = 8,
  };
  static bool isAeadCipher(int cipher);
  static bool isEtmMac(int mac);
  static bool isEcKex(int kex);
  static bool isGexKex(int kex);
  // The exchange hash's digest: 1 (SHA-1), 256, 384 or 512.
  static int kexHashBits(int kex);

  // ---- Negotiation.
  void build_kexInit(DataBuffer &out);
  bool sendKexInit(ProgressMonitor *pm, LogBase &log, bool verbose);
  bool parseKexInit(DataBuffer &payload, LogBase &log);
  static bool isSupportedByServer(const char *name, ExtPtrArray &serverList);
  bool choose_kex_algorithm(ExtPtrArray &list, LogBase &log);
  bool choose_hostkey_algorithm(ExtPtrArray &list, LogBase &log);
  bool choose_crypt_algorithm(int &out, ExtPtrArray &list, LogBase &log);
  bool choose_mac_algorithm(int &out, ExtPtrArray &list, LogBase &log);
  bool choose_compression(int &out, ExtPtrArray &list, LogBase &log);
  void getKeySizes(int &ivLenOut, int &ivLenIn, int &encKeyLenOut, int &encKeyLenIn,
                   int &macKeyLenOut, int &macKeyLenIn);

  // ---- Diffie-Hellman, keys, host keys.
  void calcKeyExchangeNumBits(unsigned int &numBits, unsigned int &pbits);
  bool computeExchangeHash(unsigned int replyMsgType, unsigned int pbits, LogBase &log,
                           bool verbose);
  bool calculateKeys(LogBase &log);
  bool calculateKey(int length, unsigned char letter, DataBuffer &out, LogBase &log);
  static bool calculateKey2(bool useSha1, int length, DataBuffer &mpintK, DataBuffer &H,
                            unsigned char letter, DataBuffer &sessionId, DataBuffer &out,
                            LogBase &log);
  // Key letter's material of `length` bytes under the exchange's digest.
  static bool deriveKey(int hashBits, int length, DataBuffer &mpintK, DataBuffer &H,
                        unsigned char letter, DataBuffer &sessionId, DataBuffer &out, LogBase &log);
  bool installNewKeys(LogBase &log);
  // The two halves of installNewKeys: ours switch right after we send NEWKEYS, the server's when
  // its NEWKEYS arrives.
  bool installOutgoingKeys(LogBase &log);
  bool installIncomingKeys(LogBase &log);
  // The readers of host-key and signature blobs: one SSH string (rsa_getmp; dss_getmp also
  // refuses a negative mpint) or 20 bytes (get160) as a new unsigned number, which the caller
  // frees with RazudodBignum::freebn; null when the field is missing or cut short.
  static unsigned int *rsa_getmp(const unsigned char **p, unsigned int *left);
  static unsigned int *dss_getmp(const unsigned char **p, unsigned int *left);
  static unsigned int *get160(const unsigned char **p, unsigned int *left);
  static bool parseRsaKey(DataBuffer &blob, rsa_key &key, LogBase &log);
  static bool parseDssKey(DataBuffer &blob, dsa_key &key, LogBase &log, bool verbose);
  static bool rsaVerifySig(rsa_key &key, const unsigned char *sig, unsigned int sigLen,
                           const unsigned char *data, unsigned int dataLen, LogBase &log);
  static bool dssVerifySig(dsa_key &key, const unsigned char *sig, unsigned int sigLen,
                           const unsigned char *data, unsigned int dataLen, LogBase &log,
                           bool verbose);

  // ---- Key blobs and XML key text: the SSH wire form of RSA and DSA keys (the public-key blob and
  // the private part that follows it in key files) to and from the key records' XML. Key type 0 is
  // RSA, 1 DSA. The blob writers append; the XML readers replace their output.
  static bool xmlToPublicKeyBlob(StringBuffer &xml, DataBuffer &blob, LogBase &log);
  static bool xmlToPrivateKeyBlob(StringBuffer &xml, DataBuffer &blob, LogBase &log);
  static bool publicKeyBlobToXml(DataBuffer &blob, StringBuffer &xml, int &keyType,
                                 unsigned int &exponent, LogBase &log);
  // A DSA private part gives the fragment "<DsaPrivate><X>...</X></DsaPrivate>", which the caller
  // joins with the public key's XML.
  static bool privateKeyBlobToXml(int keyType, DataBuffer &blob, unsigned int exponent,
                                  StringBuffer &xml, LogBase &log);

  // ---- Channel control messages.
  bool sendReqWindowAdjust(SshChannel &ch, ProgressMonitor *pm, LogBase &log, bool verbose);
  bool sendChannelFailure(SshChannel &ch, ProgressMonitor *pm, LogBase &log, bool verbose);
  bool channelSendClose(SshChannel &ch, ProgressMonitor *pm, LogBase &log, bool verbose);
  bool sendIgnoreMsg(DataBuffer &data, ProgressMonitor *pm, LogBase &log, bool verbose);

  // ---- Wire encoding.
  static void pack_uint32(unsigned int v, DataBuffer &out);
  static void pack_int64(long long v, DataBuffer &out);
  static void pack_bool(bool b, DataBuffer &out);
  static void pack_binString(const unsigned char *p, unsigned int n, DataBuffer &out);
  static void pack_db(const DataBuffer &data, DataBuffer &out);
  static void pack_sb(const StringBuffer &s, DataBuffer &out);
  static void pack_string(const char *s, DataBuffer &out);
  static void pack_bignum(const unsigned int *bn, DataBuffer &out);
  // False, with nothing written, when the charset cannot carry every character of the name.
  static bool pack_filename(XString &name, StringBuffer &charset, DataBuffer &out);
  static bool parseByte(const DataBuffer &msg, unsigned int &idx, unsigned char &v);
  static bool parseBool(const DataBuffer &msg, unsigned int &idx, bool &v);
  static bool parseUint32(const DataBuffer &msg, unsigned int &idx, unsigned int &v);
  static bool parseInt64(const DataBuffer &msg, unsigned int &idx, long long &v);
  static bool parseBytes(const DataBuffer &msg, unsigned int &idx, int n, DataBuffer &out);
  static bool parseBinaryString(const DataBuffer &msg, unsigned int &idx, DataBuffer &out,
                                LogBase &log);
  static bool parseBinaryStringToOutput(const DataBuffer &msg, unsigned int &idx, Output &out,
                                        unsigned int &numWritten, ProgressMonitor *pm,
                                        LogBase &log);
  static bool parseString(const DataBuffer &msg, unsigned int &idx, StringBuffer &out);
  static bool parseUtf8(const DataBuffer &msg, unsigned int &idx, XString &out);
  static bool parseMpInt(const DataBuffer &msg, unsigned int &idx, mp_int &out, LogBase &log);
  static unsigned int *parseBignum(const DataBuffer &msg, unsigned int &idx, LogBase &log);
  static bool parseNameList2(const DataBuffer &msg, unsigned int &idx, ClsStringArray &out);
  static bool parseNameList3(const DataBuffer &msg, unsigned int &idx, ExtPtrArray &out,
                             StringBuffer &raw);
  static unsigned int msgType(const DataBuffer &msg);
  static unsigned int parseChannelNum(const DataBuffer &msg);
  static bool parseChannelOpenSuccess(const DataBuffer &msg, SshChannel &ch, LogBase &log);
  static bool parseChannelOpenFailure(const DataBuffer &msg, unsigned int &reasonCode,
                                      StringBuffer &description, LogBase &log);
  static bool parseDisconnect(const DataBuffer &msg, unsigned int &reasonCode,
                              StringBuffer &description, LogBase &log);
  static bool parseGlobalRequest(const DataBuffer &msg, XString &name, bool &wantReply,
                                 LogBase &log);
  static bool parseBannerMsg(const DataBuffer &msg, XString &message, XString &language,
                             LogBase &log);
  static bool parseChannelRequest2(const DataBuffer &msg, unsigned int &channelNum,
                                   StringBuffer &requestType);
  static bool parseExitStatus2(const DataBuffer &msg, unsigned int &channelNum,
                               StringBuffer &requestType, unsigned int &exitStatus);
  static bool parseData(const DataBuffer &msg, unsigned int &channelNum, DataBuffer &data,
                        LogBase &log);
  static bool parseExtendedData(const DataBuffer &msg, unsigned int &channelNum,
                                unsigned int &dataTypeCode, DataBuffer &data, LogBase &log);

  // ---- Server extensions (EXT_INFO).
  bool parseExtInfo(const DataBuffer &msg, LogBase &log);
  // The signature algorithms the server accepts for public-key login ("server-sig-algs"); empty
  // when it did not say.
  const std::vector<std::string> &serverSigAlgs() const { return serverSigAlgs_; }
  bool serverAcceptsSigAlg(const char *name) const;

  // ---- Fields.
  StringBuffer sessionLog;
  bool keepSessionLog = false;
  StringBuffer sshLog;
  bool keepSshLog = false;
  // Each session log keeps its beginning and its latest lines: past this size the lines between
  // give way to one that counts them (a server decides how many lines there are).
  static constexpr unsigned int kMaxSessionLog = 1024 * 1024;
  struct SessionLogCut {
    unsigned int headEnd = 0; // the kept beginning ends here, where the counting line starts
    unsigned int markEnd = 0; // and the counting line ends here (0: no cut yet)
    unsigned long long leftOut = 0;
  };
  SessionLogCut sessionLogCut, sshLogCut;
  void boundSessionLog(StringBuffer &buf, SessionLogCut &cut);
  bool preferRsaHostKey = false;
  // The type of the host key the caller remembers for this server ("ssh-rsa", "ssh-ed25519",
  // "ecdsa-sha2-nistp256", ...): asked for first, so the same key is shown again.
  std::string preferredHostKeyType;
  ExtPtrArray queuedMessages;
  RazudodSocket socket;
  bool readTimedOut = false;
  bool readAborted = false;
  bool readSocketError = false;
  bool readConnectionClosed = false;
  unsigned int port = 22;
  StringBuffer hostname;
  unsigned int heartbeatMs = 0;
  unsigned int outSeqNum = 0;
  // Packets received since the connection started (for the incoming MAC), modulo 2^32.
  unsigned int inSeqNum = 0;
  bool serverHasHmacBug = false;
  XString userAuthBanner;
  DataBuffer kexCookie;
  StringBuffer serverIdent;
  StringBuffer clientIdent;
  DataBuffer clientKexInit;
  DataBuffer serverKexInit;
  DataBuffer serverHostKeyBlob;
  // The host key of the first exchange: a re-key must present the same one.
  DataBuffer firstHostKeyBlob;
  DataBuffer serverSignature;
  unsigned int *serverDhPublic = nullptr;
  StringBuffer hostKeyFingerprint;
  unsigned int inBlockSize = 8;
  DataBuffer exchangeHash;
  DataBuffer sessionId;
  int activeMacIn = 0;
  int activeMacOut = 0;
  int kexAlgorithm = 1;
  int hostKeyAlgorithm = 1;
  int activeCipherIn = 0;
  int activeCipherOut = 0;
  int pendingCipherIn = 0;
  int pendingCipherOut = 0;
  int pendingMacIn = 0;
  int pendingMacOut = 0;
  ClsCrypt outCrypt;
  ClsCrypt inCrypt;
  DataBuffer ivClientToServer, ivServerToClient, encKeyClientToServer, encKeyServerToClient,
      macKeyClientToServer, macKeyServerToClient;
  RazudodDh dh;
  // The elliptic-curve exchanges: our key, the server's value and the shared K as an mpint
  // string.
  EcKex ecKex;
  DataBuffer serverEcPublic;
  DataBuffer kexSharedK;
  // The OpenSSL side of the newer ciphers and of every MAC, one a direction.
  SshPacketCipher outCipher, inCipher;
  SshMac outMac, inMac;
  // Packet buffers kept from packet to packet: the wire form of each direction, the message the
  // dispatcher reads, and channel data going out and coming in.
  DataBuffer outPacket, inPacket, dispatchBuf, channelSendBuf, channelReadBuf;
  // Both sides run OpenSSH's strict key exchange; the first exchange has finished.
  bool strictKex = false;
  bool initialKexDone = false;
  bool outCipherRestart = false;
  bool inCipherRestart = false;
  unsigned int disconnectCode = 0;
  StringBuffer disconnectReason;
  std::map<unsigned int, SshChannel *> openChannels;
  // A key exchange the server started: it may span several dispatcher calls.
  bool rekeyRunning = false;
  unsigned int rekeyNumBits = 0;
  unsigned int rekeyPbits = 0;
  // The group-exchange request last sent. OpenSSH answers only the request with a range (RFC 4419
  // message 34); other servers get the one-number request (30). The exchange hash holds what was
  // asked for: min, n and max, or n alone.
  bool gexRangeRequest = false;
  unsigned int gexMin = 0, gexN = 0, gexMax = 0;
  unsigned int rekeyReplyNum = 31;
  // The message the running exchange waits for next: the group (31) of a group exchange, the
  // reply (31 or 33), then the server's NEWKEYS (21). Any other is out of its place.
  unsigned int rekeyAwaiting = 0;
  // Answers the dispatcher owes the server (request and channel failures, a closing channel's
  // CLOSE) between our KEXINIT and our NEWKEYS, when only transport and key-exchange messages may
  // go out: sent, in order, right after our NEWKEYS. Name and payload.
  std::vector<std::pair<std::string, std::string>> heldReplies;
  // More than this many, and the server is not waiting for them (a real server asks for one or
  // two in an exchange, a keep-alive at most).
  static constexpr size_t kMaxHeldReplies = 256;
  // Our NEWKEYS of the running exchange is out: we may send again, under the new keys.
  bool rekeyNewKeysSent = false;

  // Largest packet_length accepted from the server.
  static constexpr unsigned int kMaxPacketLength = 256 * 1024;
  // What may wait in queuedMessages for a later read: data within the windows we granted, and
  // besides that this many messages, of which the ones that are not data hold at most this many
  // bytes. A server that sends more does not wait for its answers.
  static constexpr int kMaxQueuedMessages = 4096;
  static constexpr unsigned int kMaxQueuedControlBytes = 1024 * 1024;
  unsigned int queuedControlBytes = 0;
  // Removes (and deletes) a queued message.
  void dropQueued(int index);
  void dropAllQueued();
  // Lines the server may send before its identification, and the longest line.
  static constexpr int kMaxPreIdentLines = 100;
  static constexpr unsigned int kMaxIdentLineLen = 257;

  // ---- Internal steps shared by the first exchange and a server-started one.
  // Parses a DH reply, computes K and H, verifies the host key and, on a re-key, checks that it
  // is the key of the first exchange.
  bool handleDhReply(DataBuffer &msg, unsigned int replyMsgType, unsigned int pbits, bool rekey,
                     LogBase &log, bool verbose);
  bool verifyHostKey(bool rekey, LogBase &log, bool verbose);
  bool verifyNewHostKey(LogBase &log, bool verbose);
  bool sendGexRequest(unsigned int pbits, ProgressMonitor *pm, LogBase &log, bool verbose);
  // Takes p and g of a group-exchange GROUP message into the DH state.
  bool takeGexGroup(DataBuffer &msg, LogBase &log);
  // Draws x of 2 x numBits bits and sends e in a message of the given number.
  bool sendDhE(unsigned char number, unsigned int numBits, ProgressMonitor *pm, LogBase &log,
               bool verbose);
  // Our INIT of a key exchange without group negotiation (fixed groups, the curves).
  bool sendFixedKexInit(unsigned int numBits, ProgressMonitor *pm, LogBase &log, bool verbose);
  // Sends NEWKEYS and puts our outgoing keys into force.
  bool sendNewKeys(ProgressMonitor *pm, LogBase &log, bool verbose);
  bool sendUnimplemented(unsigned int seq, ProgressMonitor *pm, LogBase &log, bool verbose);
  // Reads packets, skipping IGNORE (and DEBUG when skipDebug).
  // One step of a server-started key exchange (KEXINIT, group, reply, NEWKEYS); false ends the
  // connection.
  bool rekeyStep(DataBuffer &msg, ProgressMonitor *pm, LogBase &log, bool verbose);
  bool readSkippingIgnore(DataBuffer &msg, bool skipDebug, LogBase &log, bool verbose);
  // False (and the connection closed) for a message strict key exchange forbids now.
  bool strictKexAllows(const DataBuffer &msg, LogBase &log);
  // Sequence number of the last packet read.
  unsigned int lastInSeqNum = 0;

  // ---- User authentication (the "ssh-userauth" service).
  bool sendServiceRequest(const char *serviceName, ProgressMonitor *pm, LogBase &log, bool verbose);
  bool readServiceAccept(DataBuffer &out, ProgressMonitor *pm, LogBase &log,
                         SocketReadFailInfo &failInfo, bool verbose);
  // Methods that can continue (appended) and their comma-joined text.
  static bool parseUserAuthFailMsg(const DataBuffer &msg, ClsStringArray &methods,
                                   bool &partialSuccess, LogBase &log);
  bool sshAuthenticatePw(XString &login, XString &password, ProgressMonitor *pm, LogBase &log,
                         SocketReadFailInfo &failInfo, bool verbose, bool &passwordChange);
  bool sshAuthenticatePk(XString &login, const char *password, ClsSshKey &key, ProgressMonitor *pm,
                         LogBase &log, SocketReadFailInfo &failInfo, bool verbose);
  static bool parseUserAuthInfoRequest(const DataBuffer &msg, unsigned int &numPrompts,
                                       StringBuffer &firstPrompt, LogBase &log,
                                       bool &passwordChange);
  bool sshKeyboardInteractive(const std::vector<std::string> &answers, ProgressMonitor *pm,
                              LogBase &log, SocketReadFailInfo &failInfo, unsigned int &numPrompts,
                              StringBuffer &firstPrompt, bool &finished, bool &passwordChange,
                              bool verbose);
  // Questions a server may ask in one keyboard-interactive login.
  static constexpr int kMaxKbdInteractiveRounds = 32;

  // ---- Channels: open, subsystem, data and windows.
  bool openChannel(SshChannel &ch, int &replyMsgType, unsigned int &failReasonCode,
                   StringBuffer &failDescription, ProgressMonitor *pm, LogBase &log,
                   bool &disconnected, SocketReadFailInfo &failInfo, bool verbose);
  bool sendReqSubsystem(SshChannel &ch, XString &subsystemName, ProgressMonitor *pm, LogBase &log,
                        bool &disconnected, SocketReadFailInfo &failInfo, bool verbose);
  bool readChannelResponse(SshChannel &ch, DataBuffer &reply, ProgressMonitor *pm, LogBase &log,
                           bool &disconnected, SocketReadFailInfo &failInfo, bool verbose);
  bool channelSendData(SshChannel &ch, const unsigned char *data, unsigned int size,
                       unsigned int maxPacket, ProgressMonitor *pm, LogBase &log, bool verbose);
  bool readWindowAdjust(SshChannel &ch, bool &eof, bool &close, ProgressMonitor *pm, LogBase &log,
                        bool &disconnected, SocketReadFailInfo &failInfo, bool verbose);
  // Appends the data of the next CHANNEL_DATA (queued first, else read); extended data is
  // skipped. EOF and CLOSE come back through the flags.
  bool readChannelData(SshChannel &ch, DataBuffer &data, bool &eof, bool &close,
                       ProgressMonitor *pm, LogBase &log, bool &disconnected,
                       SocketReadFailInfo &failInfo, bool verbose);
  bool checkQueuedChannelData(SshChannel &ch, DataBuffer &data, bool &eof, bool &close,
                              ProgressMonitor *pm, LogBase &log, bool &disconnected, bool verbose);

private:
  std::vector<std::string> serverSigAlgs_;
  bool readModernPacket(DataBuffer &payload, ProgressMonitor *pm, LogBase &log);
  void closeBroken();
  void copyReadFlags(SocketReadFailInfo &f) const;
};

// Reads one SSH string from a raw cursor; *str stays null when it is missing or cut short.
void getstring(const unsigned char **p, unsigned int *remaining, const unsigned char **str,
               unsigned int *len);
