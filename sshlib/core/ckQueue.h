#pragma once

// Node of a _ckQueue: carries a pointer the queue never owns.
class QueuedObject {
public:
  QueuedObject() = default;
  virtual ~QueuedObject() = default;

  void *m_object = nullptr;
  QueuedObject *m_next = nullptr;
};

// FIFO of untyped pointers. Owns its nodes, never the pointers they carry.
class _ckQueue {
public:
  _ckQueue() = default;
  virtual ~_ckQueue();

  _ckQueue(const _ckQueue &) = delete;
  _ckQueue &operator=(const _ckQueue &) = delete;

  void push(void *p);
  // The head's pointer (removed); null when empty.
  void *pop();
  void discard();
  bool hasObjects() const { return m_head != nullptr; }

private:
  QueuedObject *m_head = nullptr; // next to leave
  QueuedObject *m_tail = nullptr; // last added
};
