// Object root, lists, queue, byte-order and text search helpers.
#include "sshlib/core/ByteOrder.h"
#include "sshlib/core/CK_List.h"
#include "sshlib/core/RazudodObject.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/StringPair.h"
#include "sshlib/core/StringSearch.h"
#include "sshlib/core/ckQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

namespace {

// Counts destructions so ownership can be checked.
struct Tracked : RazudodObject {
  explicit Tracked(int *counter) : m_counter(counter) {}
  ~Tracked() override { ++*m_counter; }
  int *m_counter;
};

// Must stay the first test of this program: ids start at 100 for the first object of the process.
TEST(RazudodObject, IdsStartAt100AndFollowOnAcrossClasses) {
  RazudodObject a;
  StringBuffer b;
  RazudodInt c(7);
  EXPECT_EQ(a.getObjectId64(), 100u);
  EXPECT_EQ(b.getObjectId64(), 101u);
  EXPECT_EQ(c.getObjectId64(), 102u);
  EXPECT_EQ(c.m_value, 7);
  RazudodObject copy(a);
  EXPECT_EQ(copy.getObjectId64(), 103u) << "a copy is a new object with its own id";
}

TEST(RazudodObject, IdsAreUniqueWhenObjectsAreBuiltOnSeveralThreads) {
  constexpr int kThreads = 8, kPer = 2000;
  std::vector<std::vector<uint64_t>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&ids, t] {
      for (int i = 0; i < kPer; ++i) {
        RazudodObject o;
        ids[t].push_back(o.getObjectId64());
      }
    });
  for (auto &th : threads)
    th.join();
  std::set<uint64_t> all;
  for (auto &v : ids)
    all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), size_t(kThreads * kPer));
}

TEST(CK_List, LinksHeadAndTailAndOwnsObjects) {
  int destroyed = 0;
  {
    CK_List list;
    list.addHeadObject(nullptr);
    EXPECT_EQ(list.getCount(), 0u);
    list.addHeadObject(new Tracked(&destroyed)); // becomes tail
    list.addHeadObject(new Tracked(&destroyed));
    list.addHeadObject(new Tracked(&destroyed)); // head
    EXPECT_EQ(list.getCount(), 3u);
    CK_ListItem *head = list.getHeadListItem();
    CK_ListItem *middle = head->getNext();
    CK_ListItem *tail = middle->getNext();
    EXPECT_EQ(tail, list.getTailListItem());
    EXPECT_EQ(tail->getNext(), nullptr);

    list.removeListItem(middle); // inner item
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(head->getNext(), tail);
    EXPECT_EQ(tail->getPrev(), head);

    list.removeListItem(head);
    EXPECT_EQ(list.getHeadListItem(), tail);
    EXPECT_EQ(tail->getPrev(), nullptr);
    list.removeListItem(tail); // the only item
    EXPECT_EQ(list.getHeadListItem(), nullptr);
    EXPECT_EQ(list.getTailListItem(), nullptr);
    EXPECT_EQ(list.getCount(), 0u);
    EXPECT_EQ(destroyed, 3);

    list.clearList(); // empty stays empty
    EXPECT_EQ(list.getCount(), 0u);
    list.addHeadObject(new Tracked(&destroyed));
    list.addHeadObject(new Tracked(&destroyed));
  }
  EXPECT_EQ(destroyed, 5) << "the destructor clears the list";
}

TEST(CK_List, SettingAnotherObjectDestroysTheOldOneButNotTheSame) {
  int destroyed = 0;
  CK_ListItem item;
  Tracked *a = new Tracked(&destroyed);
  item._setListObject(a);
  item._setListObject(a);
  EXPECT_EQ(destroyed, 0);
  item._setListObject(new Tracked(&destroyed));
  EXPECT_EQ(destroyed, 1);
}

TEST(ckQueue, FifoNeverOwnsCarriedPointers) {
  _ckQueue q;
  EXPECT_EQ(q.pop(), nullptr);
  EXPECT_FALSE(q.hasObjects());
  q.push(nullptr);
  EXPECT_TRUE(q.hasObjects()) << "a null pointer is still an entry";
  int a = 1, b = 2;
  q.push(&a);
  q.push(&b);
  EXPECT_EQ(q.pop(), nullptr);
  q.discard(); // drops &a
  EXPECT_EQ(q.pop(), &b);
  EXPECT_FALSE(q.hasObjects());
  q.discard(); // nothing to do
  q.push(&a);
  EXPECT_EQ(q.pop(), &a);
  q.push(&b); // left for the destructor, which must not free it
}

TEST(ByteOrder, ExactlyOneHolds) {
  EXPECT_NE(ckIsBigEndian(), ckIsLittleEndian());
}

TEST(StringSearch, StristrFoldsAsciiOnly) {
  const char *hay = "Hello World";
  EXPECT_EQ(stristr(hay, "WORLD"), hay + 6);
  EXPECT_EQ(stristr(hay, ""), nullptr);
  EXPECT_EQ(stristr("", "a"), nullptr);
  EXPECT_EQ(stristr(hay, nullptr), nullptr);
  EXPECT_EQ(stristr("ab", "abc"), nullptr);
  const char *aaab = "aaab";
  EXPECT_EQ(stristr(aaab, "AAB"), aaab + 1) << "a partial match does not hide a later one";
  EXPECT_STREQ(stristr("xaaab", "AAB"), "aab");
  // Bytes above 0x7F compare exactly: E9 and C9 are different.
  EXPECT_EQ(stristr("caf\xE9", "CAF\xC9"), nullptr);
  EXPECT_NE(stristr("caf\xE9", "CAF\xE9"), nullptr);
}

TEST(StringSearch, WildcardMatchRules) {
  EXPECT_TRUE(wildcardMatch("abc", "a*c", true));
  EXPECT_FALSE(wildcardMatch("abc", "A*C", true));
  EXPECT_TRUE(wildcardMatch("abc", "A*C", false));
  EXPECT_TRUE(wildcardMatch("", "**", true));
  EXPECT_TRUE(wildcardMatch("", "", true));
  EXPECT_FALSE(wildcardMatch("", "a*", true));
  EXPECT_FALSE(wildcardMatch("abc", "", true));
  EXPECT_FALSE(wildcardMatch("abc", "a?c", true));
  EXPECT_TRUE(wildcardMatch("a?c", "a?c", true));
  EXPECT_FALSE(wildcardMatch(nullptr, "*", true));
  EXPECT_FALSE(wildcardMatch("a", nullptr, true));
  EXPECT_TRUE(wildcardMatch("abc", "*", true));
  EXPECT_TRUE(wildcardMatch("abc", "abc*", true));
  EXPECT_FALSE(wildcardMatch("ab", "abc*", true)) << "text shorter than the fixed head";
  EXPECT_TRUE(wildcardMatch("file.tar.gz", "*.gz", true));
  EXPECT_FALSE(wildcardMatch("file.gz.tar", "*.gz", true)) << "the last segment must end the text";
  EXPECT_TRUE(wildcardMatch("abXcdYef", "ab*cd*ef", true));
  EXPECT_FALSE(wildcardMatch("abXcdYe", "ab*cd*ef", true));
  EXPECT_TRUE(wildcardMatch("aXbXb", "a*b", true)) << "the tail is matched at the end";
  EXPECT_FALSE(wildcardMatch("ab", "a*bb", true)) << "remaining text shorter than the tail";
}

TEST(StringPair, AbsentPartsReadAsEmpty) {
  StringPair empty;
  EXPECT_STREQ(empty.getKey(), "");
  EXPECT_STREQ(empty.getValue(), "");
  StringBuffer k("name"), v("value");
  StringPair p(&k, &v);
  EXPECT_STREQ(p.getKey(), "name");
  EXPECT_STREQ(p.getValue(), "value");
}

} // namespace
