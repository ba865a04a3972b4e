// User authentication: the service request, password, public key and keyboard-interactive.
// Passwords and answers never reach a log line or the session log.
#include <strings.h>

#include <string>
#include <vector>

#include "sshlib/core/ClsStringArray.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/crypto/ClsSshKey.h"
#include "sshlib/crypto/Dsa.h"
#include "sshlib/crypto/Hashes.h"
#include "sshlib/crypto/PkKeys.h"
#include "sshlib/crypto/Rsa2.h"
#include "sshlib/ssh/PeerText.h"
#include "sshlib/ssh/SshTransport.h"

namespace {

std::string joined(ClsStringArray &v) {
  XString s;
  v.ToDelimitedString(",", s);
  return s.getUtf8();
}

bool listed(ClsStringArray &v, const char *name) {
  XString n;
  n.setFromUtf8(name);
  return v.Contains(n);
}

bool containsNoCase(const std::string &hay, const char *needle) {
  StringBuffer sb(hay.c_str());
  return sb.containsSubstringNoCase(needle);
}

void userAuthHead(XString &login, const char *method, DataBuffer &msg) {
  msg.appendChar(50);
  SshTransport::pack_string(login.getUtf8(), msg);
  SshTransport::pack_string("ssh-connection", msg);
  SshTransport::pack_string(method, msg);
}

// The old/new password form: "|old|new|" gives both parts; anything else is one password.
bool splitOldNew(const std::string &pw, std::string &oldPw, std::string &newPw) {
  if (pw.size() < 5 || pw.front() != '|' || pw.back() != '|') return false;
  int bars = 0;
  for (char c : pw)
    bars += c == '|';
  if (bars != 3) return false;
  std::string inner = pw.substr(1, pw.size() - 2);
  std::vector<std::string> parts(1);
  bool quoted = false;
  for (char c : inner) {
    if (c == '"') quoted = !quoted;
    if (c == '|' && !quoted)
      parts.emplace_back();
    else
      parts.back() += c;
  }
  if (parts.size() != 2) return false;
  oldPw = parts[0];
  newPw = parts[1];
  return true;
}

} // namespace

bool SshTransport::sendServiceRequest(const char *serviceName, ProgressMonitor *pm, LogBase &log,
                                      bool verbose) {
  DataBuffer msg;
  msg.appendChar(5);
  pack_string(serviceName, msg);
  if (!sendMessage("SERVICE_REQUEST", msg, pm, log, verbose)) {
    log.LogError("Error requesting service");
    log.LogData("ServiceName", serviceName);
    return false;
  }
  log.LogData("SentServiceReq", serviceName);
  return true;
}

bool SshTransport::readServiceAccept(DataBuffer &out, ProgressMonitor *pm, LogBase &log,
                                     SocketReadFailInfo &failInfo, bool verbose) {
  bool eof, close, disc, satisfied;
  unsigned int type = 0;
  return generalizedRead(1, 0, 0, nullptr, eof, close, out, type, disc, pm, log, failInfo,
                         satisfied, verbose) &&
         satisfied;
}

bool SshTransport::parseUserAuthFailMsg(const DataBuffer &msg, ClsStringArray &methods,
                                        bool &partialSuccess, LogBase &log) {
  unsigned int idx = 0;
  unsigned char t = 0;
  if (!parseByte(msg, idx, t) || t != 51) {
    log.LogError("Error parsing userauth failure (1)");
    return false;
  }
  if (!parseNameList2(msg, idx, methods)) {
    log.LogError("Error parsing userauth failure (2)");
    return false;
  }
  if (!parseBool(msg, idx, partialSuccess)) {
    log.LogError("Error parsing userauth failure (3)");
    return false;
  }
  return true;
}

namespace {

// Waits for a user-authentication reply (wait code 7 or 8); false on a read failure.
bool readAuthReply(SshTransport &t, int waitCode, DataBuffer &out, unsigned int &type,
                   ProgressMonitor *pm, LogBase &log, SocketReadFailInfo &fi, bool verbose) {
  bool eof, close, disc, satisfied;
  return t.generalizedRead(waitCode, 0, 0, nullptr, eof, close, out, type, disc, pm, log, fi,
                           satisfied, verbose) &&
         satisfied;
}

// Sends one authentication request and waits for its reply; the texts say what failed.
bool authRequest(SshTransport &t, const char *name, DataBuffer &msg, const char *sendError,
                 const char *sentInfo, int waitCode, const char *readError, DataBuffer &reply,
                 unsigned int &type, ProgressMonitor *pm, LogBase &log, SocketReadFailInfo &fi,
                 bool verbose) {
  bool sent = t.sendMessage(name, msg, pm, log, verbose);
  msg.secureClear();
  if (!sent) {
    log.LogError(sendError);
    return false;
  }
  if (sentInfo) log.LogInfo(sentInfo);
  if (!readAuthReply(t, waitCode, reply, type, pm, log, fi, verbose)) {
    log.LogError(readError);
    return false;
  }
  return true;
}

// The failure report with its number: error line, partial-success item, list and session log.
bool failureReport(SshTransport &t, const DataBuffer &msg, int n, bool withError, LogBase &log) {
  ClsStringArray methods;
  bool partial = false;
  if (!SshTransport::parseUserAuthFailMsg(msg, methods, partial, log)) return false;
  std::string num = std::to_string(n);
  if (withError) {
    log.LogError(("Authentication failed or partial success. (" + num + ")").c_str());
    log.LogDataLong(("PartialSuccess" + num).c_str(), partial ? 1 : 0);
  }
  logPeerText(log, "AuthList", joined(methods).c_str());
  t.toSessionLog("TRAN* Partial success: ", partial ? 1 : 0, "\n");
  t.toSessionLog("TRAN* Auth list: ", joined(methods).c_str(), "\n");
  return true;
}

bool serviceStep(SshTransport &t, ProgressMonitor *pm, LogBase &log, SocketReadFailInfo &fi,
                 bool verbose) {
  fi.clear();
  if (!t.sendServiceRequest("ssh-userauth", pm, log, verbose)) return false;
  DataBuffer reply;
  if (!t.readServiceAccept(reply, pm, log, fi, verbose)) {
    log.LogError("Error reading service accept.");
    return false;
  }
  if (SshTransport::msgType(reply) != 6) {
    log.LogError("Expected service accept message");
    log.LogDataLong("received", (int)SshTransport::msgType(reply));
    return false;
  }
  log.LogInfo("ssh-userauth service accepted.");
  return true;
}

bool passwordMethod(SshTransport &t, XString &login, const char *password, ProgressMonitor *pm,
                    LogBase &log, SocketReadFailInfo &fi, bool verbose) {
  DataBuffer msg;
  userAuthHead(login, "password", msg);
  SshTransport::pack_bool(false, msg);
  SshTransport::pack_string(password, msg);
  DataBuffer reply;
  unsigned int type = 0;
  if (!authRequest(t, "USERAUTH_REQUEST (password)", msg, "Error sending login/password",
                   "Sent login/password", 7, "Error reading USERAUTH response. (2)", reply, type,
                   pm, log, fi, verbose))
    return false;
  if (type == 52) {
    log.LogInfo("Password authentication successful.");
    return true;
  }
  if (type == 51)
    failureReport(t, reply, 1, true, log);
  else
    log.LogError("Password authentication failed.");
  return false;
}

} // namespace

bool SshTransport::parseUserAuthInfoRequest(const DataBuffer &msg, unsigned int &numPrompts,
                                            StringBuffer &firstPrompt, LogBase &log,
                                            bool &passwordChange) {
  firstPrompt.clear();
  numPrompts = 0;
  passwordChange = false;
  unsigned int idx = 0;
  unsigned char t = 0;
  if (!parseByte(msg, idx, t) || t != 60) {
    log.LogError("Error parsing userauth info request (1)");
    return false;
  }
  StringBuffer name, instruction, language;
  if (!parseString(msg, idx, name)) {
    log.LogError("Error parsing userauth info request (2)");
    return false;
  }
  log.EnterContext("UserAuthInfoRequest", true);
  logPeerText(log, "name", name);
  bool ok = false;
  unsigned int n = 0;
  if (!parseString(msg, idx, instruction)) {
    log.LogError("Error parsing userauth info request (3)");
  } else if (logPeerText(log, "instruction", instruction), !parseString(msg, idx, language)) {
    log.LogError("Error parsing userauth info request (4)");
  } else if (logPeerText(log, "language", language), !parseUint32(msg, idx, n)) {
    log.LogError("Error parsing userauth info request (5)");
  } else {
    log.LogDataLong("numPrompts", (int)n);
    ok = true;
    for (unsigned int i = 0; i < n && ok; ++i) {
      StringBuffer prompt;
      bool echo = false;
      if (!parseString(msg, idx, prompt)) {
        log.LogError("Error parsing userauth info request (6)");
        ok = false;
        break;
      }
      logPeerText(log, "prompt", prompt);
      if (i == 0) firstPrompt.setString(prompt);
      if (prompt.containsSubstringNoCase("Password change requested")) passwordChange = true;
      if (!parseBool(msg, idx, echo)) {
        log.LogError("Error parsing userauth info request (7)");
        ok = false;
        break;
      }
      log.LogDataLong("echo", echo ? 1 : 0);
    }
    numPrompts = n;
  }
  log.LeaveContext();
  return ok;
}

bool SshTransport::sshKeyboardInteractive(const std::vector<std::string> &answers,
                                          ProgressMonitor *pm, LogBase &log,
                                          SocketReadFailInfo &failInfo, unsigned int &numPrompts,
                                          StringBuffer &firstPrompt, bool &finished,
                                          bool &passwordChange, bool verbose) {
  numPrompts = 0;
  finished = true;
  firstPrompt.clear();
  DataBuffer msg;
  msg.appendChar(61);
  pack_uint32((unsigned int)answers.size(), msg);
  for (auto &a : answers)
    pack_string(a.c_str(), msg);
  bool sent = sendMessage("USERAUTH_INFO_RESPONSE", msg, pm, log, verbose);
  msg.secureClear();
  if (!sent) {
    log.LogError("Error sending keyboard-interactive response");
    return false;
  }
  log.LogInfo("Sent keyboard-interactive response.");
  DataBuffer reply;
  unsigned int type = 0;
  if (!readAuthReply(*this, 7, reply, type, pm, log, failInfo, verbose)) {
    log.LogError("Error reading keyboard-interactive userauth response.");
    return false;
  }
  if (type == 52) {
    log.LogInfo("keyboard-interactive authentication successful");
    return true;
  }
  if (type == 60) {
    finished = false;
    return parseUserAuthInfoRequest(reply, numPrompts, firstPrompt, log, passwordChange);
  }
  log.LogError("keyboard-interactive authentication failure");
  failureReport(*this, reply, 0, false, log);
  return false;
}

namespace {

bool keyboardInteractive(SshTransport &t, XString &login, const std::string &password,
                         ProgressMonitor *pm, LogBase &log, SocketReadFailInfo &fi, bool verbose,
                         bool &passwordChange) {
  DataBuffer msg;
  userAuthHead(login, "keyboard-interactive", msg);
  SshTransport::pack_string("", msg);
  SshTransport::pack_string("", msg);
  DataBuffer reply;
  unsigned int type = 0;
  if (!authRequest(t, "USERAUTH_REQUEST (keyboard-interactive)", msg,
                   "Error sending keyboard-interactive", "Sent keyboard-interactive request", 7,
                   "Error reading USERAUTH response. (3)", reply, type, pm, log, fi, verbose))
    return false;
  if (type == 52) {
    log.LogInfo("No password required for this user.");
    return true;
  }
  if (type == 51) {
    failureReport(t, reply, 2, true, log);
    return false;
  }
  std::string oldPw, newPw;
  bool form = splitOldNew(password, oldPw, newPw);
  unsigned int numPrompts = 0;
  StringBuffer prompt;
  bool change = false;
  if (!SshTransport::parseUserAuthInfoRequest(reply, numPrompts, prompt, log, change)) {
    log.LogError("keyboard-interactive authentication failed (A)");
    return false;
  }
  passwordChange = change;
  bool ok = true, finished = false;
  std::vector<std::string> answers;
  // A server that keeps asking would hold the login for ever.
  for (int round = 0; ok && !finished; ++round) {
    if (round == SshTransport::kMaxKbdInteractiveRounds) {
      log.LogError("Too many keyboard-interactive questions.");
      ok = false;
      break;
    }
    answers.clear();
    if (numPrompts == 1) {
      if (!form) {
        log.LogInfo("Sending password...");
        answers.push_back(password);
      } else if (prompt.containsSubstringNoCase("new password") &&
                 !prompt.containsSubstringNoCase("old password")) {
        log.LogInfo("Sending NEW password...");
        answers.push_back(newPw);
      } else {
        log.LogInfo("Sending OLD password...");
        answers.push_back(oldPw);
      }
    }
    change = false;
    ok = t.sshKeyboardInteractive(answers, pm, log, fi, numPrompts, prompt, finished, change,
                                  verbose);
    if (change) passwordChange = true;
  }
  for (auto &a : answers)
    a.assign(a.size(), '\0');
  if (ok && finished) {
    log.LogInfo("keyboard-interactive authentication successful.");
    return true;
  }
  log.LogError("keyboard-interactive authentication failed (A)");
  return false;
}

} // namespace

bool SshTransport::sshAuthenticatePw(XString &login, XString &password, ProgressMonitor *pm,
                                     LogBase &log, SocketReadFailInfo &failInfo, bool verbose,
                                     bool &passwordChange) {
  passwordChange = false;
  if (!serviceStep(*this, pm, log, failInfo, verbose)) return false;
  DataBuffer msg;
  userAuthHead(login, "none", msg);
  DataBuffer reply;
  unsigned int type = 0;
  if (!authRequest(*this, "USERAUTH_REQUEST (none)", msg, "Error requesting authentication methods",
                   nullptr, 7, "Error reading USERAUTH response. (1)", reply, type, pm, log,
                   failInfo, verbose))
    return false;
  if (type == 52) {
    log.LogInfo("No authentication is necessary...");
    return true;
  }
  if (type != 51) {
    log.LogError("Failed while requesting auth methods.");
    return false;
  }
  ClsStringArray methods;
  bool partial = false;
  if (parseUserAuthFailMsg(reply, methods, partial, log))
    logPeerText(log, "AuthMethods", joined(methods).c_str());
  if (listed(methods, "password"))
    return passwordMethod(*this, login, password.getUtf8(), pm, log, failInfo, verbose);
  if (listed(methods, "keyboard-interactive"))
    return keyboardInteractive(*this, login, password.getUtf8(), pm, log, failInfo, verbose,
                               passwordChange);
  log.LogError("No valid authentication methods found.");
  return false;
}

bool SshTransport::sshAuthenticatePk(XString &login, const char *password, ClsSshKey &key,
                                     ProgressMonitor *pm, LogBase &log,
                                     SocketReadFailInfo &failInfo, bool verbose) {
  if (!serviceStep(*this, pm, log, failInfo, verbose)) return false;
  bool dsa = key.get_IsDsaKey();
  // Ed25519 and ECDSA keys name their own algorithm and make their own signature blob.
  const bool ownSig = key.signsForSsh();
  // An RSA key signs with SHA-2 where the server says it takes that (server-sig-algs), else with
  // SHA-1 as before.
  const bool sha512 = !ownSig && !dsa && serverAcceptsSigAlg("rsa-sha2-512");
  const bool sha256 = !ownSig && !dsa && !sha512 && serverAcceptsSigAlg("rsa-sha2-256");
  const char *rsaHash = sha512 ? "sha512" : sha256 ? "sha256" : "sha1";
  const char *alg = ownSig   ? key.sshAlgorithm()
                    : dsa    ? "ssh-dss"
                    : sha512 ? "rsa-sha2-512"
                    : sha256 ? "rsa-sha2-256"
                             : "ssh-rsa";
  DataBuffer query, blob;
  userAuthHead(login, "publickey", query);
  pack_bool(false, query);
  log.LogInfo(ownSig ? (key.get_IsEd25519Key() ? "Using an Ed25519 key." : "Using an ECDSA key.")
              : dsa  ? "Using a DSA key."
                     : "Using an RSA key.");
  pack_string(alg, query);
  if (!key.getPublicKeyBlob(blob, log)) {
    log.LogError("Failed to get public key blob.");
    return false;
  }
  log.LogDataLong("publicKeyBlobSize", (int)blob.getSize());
  pack_db(blob, query);
  log.LogDataLong("msgPayloadSize", (int)query.getSize());
  DataBuffer reply;
  unsigned int type = 0;
  if (!authRequest(*this, "USERAUTH_REQUEST (publickey)", query, "Error sending public-key check",
                   "Sent public-key request.", 8, "Error reading USERAUTH_PK_OK response.", reply,
                   type, pm, log, failInfo, verbose))
    return false;
  if (type == 51) {
    ClsStringArray methods;
    bool partial = false;
    if (!parseUserAuthFailMsg(reply, methods, partial, log)) return false;
    logPeerText(log, "AuthList", joined(methods).c_str());
    toSessionLog("TRAN* Partial success: ", partial ? 1 : 0, "\n");
    toSessionLog("TRAN* Auth list: ", joined(methods).c_str(), "\n");
    if (!containsNoCase(joined(methods), "publickey")) {
      log.LogError("Authentication failed or partial success. (3)");
      log.LogDataLong("PartialSuccess3", partial ? 1 : 0);
      return false;
    }
  } else if (type == 60) {
    log.LogInfo("OK to proceed with publickey authentication.");
  } else {
    log.LogError("Unable to proceed with publickey authentication.");
    return false;
  }

  // The signed request: the query with TRUE, signed over the session identifier.
  DataBuffer head, signedData, hash, sig, sigBlob;
  userAuthHead(login, "publickey", head);
  pack_bool(true, head);
  pack_string(alg, head);
  pack_db(blob, head);
  pack_db(sessionId, signedData);
  signedData.append(head);
  if (dsa)
    Sha1::sha1_db(signedData, hash);
  else if (!ownSig)
    _ckHash::doHash(signedData.getData2(), signedData.getSize(), _ckHash::hashId(rsaHash), hash);
  if (ownSig) {
    if (!key.signForSsh(signedData, sigBlob, log)) {
      log.LogError(key.get_IsEd25519Key() ? "Failed to create Ed25519 signature."
                                          : "Failed to create ECDSA signature.");
      return false;
    }
    log.LogDataLong("sigBlobLen", (int)sigBlob.getSize());
  } else if (dsa) {
    dsa_key k;
    key.toDsaKey(k, log);
    if (!Dsa::sign_hash_for_ssh(hash.getData2(), hash.getSize(), k, sig, log)) {
      log.LogError("Failed to create DSA signature.");
      return false;
    }
    log.LogDataLong("dssSigLen", (int)sig.getSize());
  } else {
    rsa_key k;
    key.toRsaKey(k, log);
    if (!Rsa2::padAndSignHash(hash.getData2(), hash.getSize(), 1, _ckHash::hashId(rsaHash), 0, k, 1,
                              false, sig, log)) {
      log.LogError("Failed to create RSA signature.");
      return false;
    }
    log.LogDataLong("rsaSigLen", (int)sig.getSize());
  }
  if (!ownSig) {
    pack_string(alg, sigBlob);
    pack_db(sig, sigBlob);
  }
  pack_db(sigBlob, head);
  reply.clear();
  if (!authRequest(
          *this, "USERAUTH_REQUEST (public_key)", head, "Error sending public-key with signature",
          "Sent public-key request with signature.", 8, "Error reading USERAUTH_PK_OK response.",
          reply, type, pm, log, failInfo, verbose))
    return false;
  if (type == 52) {
    log.LogInfo("Public-key authentication succeeded.");
    return true;
  }
  if (type != 51) {
    log.LogError("Publickey authentication failed.");
    StringBuffer name;
    msgTypeName((int)type, name);
    log.LogData("msgType", name.getString());
    return false;
  }
  ClsStringArray methods;
  bool partial = false;
  if (!parseUserAuthFailMsg(reply, methods, partial, log)) {
    log.LogError("Failed to parse user auth failure message.");
    return false;
  }
  failureReport(*this, reply, 4, true, log);
  if (password && containsNoCase(joined(methods), "password")) {
    log.LogInfo("Continuing to authenticate with the password...");
    return passwordMethod(*this, login, password, pm, log, failInfo, verbose);
  }
  log.LogError("Publickey authentication failed..");
  return false;
}
