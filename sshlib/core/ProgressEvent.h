// The application's side of progress reporting: callbacks that do nothing by default. A bool
// reference argument is an out-flag the callback may set (for UpdatePct, AbortCheck and
// Heartbeat it asks for an abort).
#pragma once

class DataBuffer;
class XString;

class ProgressEvent {
public:
  ProgressEvent() = default;
  virtual ~ProgressEvent() = default;

  virtual void UpdatePct(int pct, bool &abort) {
    (void)pct;
    abort = false;
  }
  virtual void AbortCheck(bool &abort) { abort = false; }
  virtual void Heartbeat(int value, bool &abort) {
    (void)value;
    abort = false;
  }
  virtual bool LastAbortStatus() { return false; }
  virtual void peProgressInfo(const char *, const char *) {}
  virtual void CallbackInt1(int, int) {}
  virtual void CallbackStr1(int, const char *) {}
  virtual void CallbackStr2(int, const char *, const char *) {}
  virtual void DnsComplete(int, const char *, const char *, bool) {}
  virtual void ConnectComplete(int, const char *, long, bool) {}
  virtual void AcceptComplete(int, const char *, long, bool) {}
  virtual void ReverseDnsComplete(int, const char *, const char *, bool) {}
  virtual void SendComplete(int, long, bool) {}
  virtual void ReceiveBytesComplete(int, DataBuffer &, bool) {}
  virtual void ReceiveStringComplete(int, XString &, bool) {}
  virtual void DataPort(int) {}
  virtual void BeginDownloadFile(const char *, bool &skip) { skip = false; }
  virtual void EndDownloadFile(const char *, unsigned int) {}
  virtual void VerifyDownloadDir(const char *, bool &skip) { skip = false; }
  virtual void BeginUploadFile(const char *, bool &skip) { skip = false; }
  virtual void EndUploadFile(const char *, unsigned int) {}
  virtual void VerifyUploadDir(const char *, bool &skip) { skip = false; }
  virtual void VerifyDeleteDir(const char *, bool &skip) { skip = false; }
  virtual void VerifyDeleteFile(const char *, bool &skip) { skip = false; }
  virtual void peSendRate(unsigned int, unsigned int) {}
  virtual void peReceiveRate(unsigned int, unsigned int) {}
  virtual void peHttpChunked() {}
  virtual void peHttpBeginReceive() {}
  virtual void peHttpEndReceive(bool) {}
  virtual void peHttpBeginSend() {}
  virtual void peHttpEndSend(bool) {}
  virtual void peHttpRedirect(const char *, const char *, bool &abort) { abort = false; }
  virtual void NextTarFile(const char *, long long, bool, bool &) {}
  virtual void peEmailReceived(const char *, const char *, const char *, const char *, const char *,
                               const char *, int) {}
};

// The event a monitor uses when the caller gave none: answers every abort question with m_abort.
class AsyncProgressEvent : public ProgressEvent {
public:
  AsyncProgressEvent() = default;
  ~AsyncProgressEvent() override = default;

  void UpdatePct(int pct, bool &abort) override {
    m_lastPct = pct;
    abort = m_abort;
  }
  void AbortCheck(bool &abort) override { abort = m_abort; }
  void Heartbeat(int, bool &abort) override { abort = m_abort; }

  bool m_abort = false;
  int m_lastPct = 0;
};
