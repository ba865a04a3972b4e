// A map of text keys to owned library objects, with a fixed number of buckets; and the named
// entry it is made of.
#pragma once

#include "sshlib/core/CK_List.h"
#include "sshlib/core/RazudodObject.h"

class StringBuffer;

// A name with an owned object.
class NamedObject : public RazudodObject {
public:
  NamedObject(const char *name, RazudodObject *obj);
  ~NamedObject() override;
  NamedObject(const NamedObject &) = delete;
  NamedObject &operator=(const NamedObject &) = delete;

  const char *getName() const;
  RazudodObject *getObject() const { return m_object; }
  // Destroys the held object unless it is the same pointer, then holds the new one.
  void replaceObject(RazudodObject *obj);

private:
  StringBuffer *m_name;
  RazudodObject *m_object;
};

class HashMap {
public:
  // A bucket count of 0 or less means 100.
  explicit HashMap(int numBuckets);
  virtual ~HashMap();
  HashMap(const HashMap &) = delete;
  HashMap &operator=(const HashMap &) = delete;

  int getNumBuckets() const { return m_numBuckets; }

  // Bucket of a key: the CRC-32 of the key's MD5 digest (Md5::digestString), modulo the bucket
  // count.
  unsigned int hashFunc(const StringBuffer &key) const;
  NamedObject *internalLookup(const StringBuffer &key, unsigned int &bucket) const;

  // Takes ownership of the object; an existing entry's object is replaced.
  void hashInsert(const StringBuffer &key, RazudodObject *obj);
  RazudodObject *hashLookup(const StringBuffer &key) const;
  RazudodObject *hashLookup2(const char *key) const;
  // Clears the output; true and the text appended when the key holds a StringBuffer.
  bool hashLookupString(const char *key, StringBuffer &out) const;
  void hashDelete(const StringBuffer &key);
  void hashDelete2(const char *key);

private:
  CK_ListItem *findItem(const StringBuffer &key, unsigned int &bucket) const;

  int m_numBuckets;
  CK_List *m_buckets;
};
