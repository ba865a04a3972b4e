#pragma once

// A hash table from byte sequences (1 to 4 bytes) to byte sequences (1 to 4 bytes): the code-page
// tables of the conversion engine. Each bucket is one block of records
// (key length, key, value length, value) ended by a zero byte, in insertion order.
class HashConvert {
public:
  HashConvert();
  virtual ~HashConvert();

  HashConvert(const HashConvert &) = delete;
  HashConvert &operator=(const HashConvert &) = delete;

  void Initialize(int bucketCount);
  void Clear();
  // Appends a record (no check for an equal key). Keys and values longer than 4 bytes, or empty
  // keys, are refused; nothing happens while there are no buckets.
  void HashInsert(const unsigned char *key, int keyLen, const unsigned char *value, int valueLen);
  // valueLen = 0 when not found. At most 4 bytes are copied into value.
  void HashLookup(const unsigned char *key, int keyLen, unsigned char *value, int &valueLen) const;
  void HashRemove(const unsigned char *key, int keyLen);
  // Inserts every record, key and value exchanged, into other (buckets in index order).
  void BuildReverse(HashConvert &other) const;
  int getSlotSize(int bucket) const;

  void put_IsLowerAscii(bool b) { m_lowerAscii = b; }
  bool get_IsLowerAscii() const { return m_lowerAscii; }
  int getBucketCount() const { return m_bucketCount; }

private:
  unsigned int bucketOf(const unsigned char *key, int keyLen) const;

  bool m_lowerAscii = false;
  int m_bucketCount = 0;
  unsigned char **m_buckets = nullptr;
};
