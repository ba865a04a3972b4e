#include "sshlib/core/ckQueue.h"

_ckQueue::~_ckQueue() {
  while (m_head)
    discard();
}

void _ckQueue::push(void *p) {
  QueuedObject *node = new QueuedObject();
  node->m_object = p;
  if (m_tail)
    m_tail->m_next = node;
  else
    m_head = node;
  m_tail = node;
}

void *_ckQueue::pop() {
  if (!m_head) return nullptr;
  void *p = m_head->m_object;
  discard();
  return p;
}

void _ckQueue::discard() {
  QueuedObject *node = m_head;
  if (!node) return;
  m_head = node->m_next;
  if (!m_head) m_tail = nullptr;
  delete node;
}
