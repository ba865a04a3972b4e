#pragma once

#include "sshlib/core/RazudodObject.h"

// One item of a CK_List; owns the object it holds.
class CK_ListItem {
public:
  CK_ListItem() = default;
  virtual ~CK_ListItem();

  CK_ListItem(const CK_ListItem &) = delete;
  CK_ListItem &operator=(const CK_ListItem &) = delete;

  // Destroys the object held before when it differs from obj, then holds obj.
  void _setListObject(RazudodObject *obj);
  RazudodObject *getListObject_DoNotDelete() const { return m_object; }
  CK_ListItem *getNext() const { return m_next; }
  CK_ListItem *getPrev() const { return m_prev; }

private:
  friend class CK_List;
  RazudodObject *m_object = nullptr;
  CK_ListItem *m_next = nullptr; // towards the tail
  CK_ListItem *m_prev = nullptr; // towards the head
};

// Doubly linked owning list; new items go to the head.
class CK_List {
public:
  CK_List() = default;
  virtual ~CK_List();

  CK_List(const CK_List &) = delete;
  CK_List &operator=(const CK_List &) = delete;

  void addHeadObject(RazudodObject *obj);
  void addHeadListItem(CK_ListItem *item);
  CK_ListItem *getHeadListItem() const { return m_head; }
  CK_ListItem *getTailListItem() const { return m_tail; }
  unsigned int getCount() const { return m_count; }
  // Unlinks the item and destroys it with its object.
  void removeListItem(CK_ListItem *item);
  void clearList();

private:
  unsigned int m_count = 0;
  CK_ListItem *m_head = nullptr; // most recently added
  CK_ListItem *m_tail = nullptr; // first added
};
