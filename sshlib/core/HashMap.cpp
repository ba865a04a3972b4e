#include "sshlib/core/HashMap.h"

#include <cstddef>

#include "sshlib/core/Md5.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ZipCRC.h"

// ---------------------------------------------------------------------------------------------

NamedObject::NamedObject(const char *name, RazudodObject *obj)
    : m_name(new StringBuffer(name ? name : "")), m_object(obj) {
  m_name->minimizeMemoryUsage();
}

NamedObject::~NamedObject() {
  delete m_object;
  m_object = nullptr;
  delete m_name;
  m_name = nullptr;
}

const char *NamedObject::getName() const {
  return m_name ? m_name->getString() : "";
}

void NamedObject::replaceObject(RazudodObject *obj) {
  if (obj == m_object) return;
  delete m_object;
  m_object = obj;
}

// ---------------------------------------------------------------------------------------------

HashMap::HashMap(int numBuckets) : m_numBuckets(numBuckets > 0 ? numBuckets : 100) {
  m_buckets = new CK_List[static_cast<size_t>(m_numBuckets)];
}

HashMap::~HashMap() {
  delete[] m_buckets;
  m_buckets = nullptr;
}

unsigned int HashMap::hashFunc(const StringBuffer &key) const {
  unsigned char digest[16];
  Md5 md5;
  md5.digestString(key, digest);
  unsigned int crc = ZipCRC::getCRC(digest, 16, nullptr);
  return crc % static_cast<unsigned int>(m_numBuckets);
}

CK_ListItem *HashMap::findItem(const StringBuffer &key, unsigned int &bucket) const {
  bucket = hashFunc(key);
  for (CK_ListItem *item = m_buckets[bucket].getHeadListItem(); item; item = item->getNext()) {
    NamedObject *entry = static_cast<NamedObject *>(item->getListObject_DoNotDelete());
    if (entry && key.equals(entry->getName())) return item;
  }
  return nullptr;
}

NamedObject *HashMap::internalLookup(const StringBuffer &key, unsigned int &bucket) const {
  CK_ListItem *item = findItem(key, bucket);
  return item ? static_cast<NamedObject *>(item->getListObject_DoNotDelete()) : nullptr;
}

void HashMap::hashInsert(const StringBuffer &key, RazudodObject *obj) {
  unsigned int bucket = 0;
  if (NamedObject *entry = internalLookup(key, bucket)) {
    entry->replaceObject(obj);
    return;
  }
  m_buckets[bucket].addHeadObject(new NamedObject(key.getString(), obj));
}

RazudodObject *HashMap::hashLookup(const StringBuffer &key) const {
  unsigned int bucket = 0;
  NamedObject *entry = internalLookup(key, bucket);
  return entry ? entry->getObject() : nullptr;
}

RazudodObject *HashMap::hashLookup2(const char *key) const {
  if (!key) return nullptr;
  StringBuffer k(key);
  return hashLookup(k);
}

bool HashMap::hashLookupString(const char *key, StringBuffer &out) const {
  out.clear();
  if (!key) return false;
  // The map may hold objects of any kind; only a string can be handed out as text.
  StringBuffer *sb = dynamic_cast<StringBuffer *>(hashLookup2(key));
  if (!sb) return false;
  out.append(*sb);
  return true;
}

void HashMap::hashDelete(const StringBuffer &key) {
  unsigned int bucket = 0;
  if (CK_ListItem *item = findItem(key, bucket)) m_buckets[bucket].removeListItem(item);
}

void HashMap::hashDelete2(const char *key) {
  if (!key) return;
  StringBuffer k(key);
  hashDelete(k);
}
