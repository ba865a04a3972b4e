#include "sshlib/core/CK_List.h"

CK_ListItem::~CK_ListItem() {
  delete m_object;
  m_object = nullptr;
}

void CK_ListItem::_setListObject(RazudodObject *obj) {
  if (obj == m_object) return;
  delete m_object;
  m_object = obj;
}

CK_List::~CK_List() {
  clearList();
}

void CK_List::addHeadObject(RazudodObject *obj) {
  if (!obj) return;
  CK_ListItem *item = new CK_ListItem();
  item->_setListObject(obj);
  addHeadListItem(item);
}

void CK_List::addHeadListItem(CK_ListItem *item) {
  if (!item) return;
  item->m_prev = nullptr;
  item->m_next = m_head;
  if (m_head)
    m_head->m_prev = item;
  else
    m_tail = item;
  m_head = item;
  ++m_count;
}

void CK_List::removeListItem(CK_ListItem *item) {
  if (!item || !m_head) return;
  if (m_head == item && m_tail == item) {
    m_head = m_tail = nullptr;
  } else if (m_head == item) {
    m_head = item->m_next;
    if (m_head) m_head->m_prev = nullptr;
  } else if (m_tail == item) {
    m_tail = item->m_prev;
    if (m_tail) m_tail->m_next = nullptr;
  } else {
    if (item->m_prev) item->m_prev->m_next = item->m_next;
    if (item->m_next) item->m_next->m_prev = item->m_prev;
  }
  if (m_count) --m_count;
  delete item;
}

void CK_List::clearList() {
  CK_ListItem *p = m_head;
  while (p) {
    CK_ListItem *next = p->m_next;
    delete p;
    p = next;
  }
  m_head = m_tail = nullptr;
  m_count = 0;
}
