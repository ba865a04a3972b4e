// Growable arrays: the growth steps, index clamping and ownership of elements.
#include "sshlib/core/ExtIntArray.h"
#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ckMemory.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

struct Tracked : RazudodObject {
  explicit Tracked(int *counter) : m_counter(counter) {}
  ~Tracked() override { ++*m_counter; }
  int *m_counter;
};

TEST(ExtPtrArray, ZeroConstructorArgumentsMeanFive) {
  ExtPtrArray a(0, 0);
  EXPECT_EQ(a.getCapacity(), 5);
  EXPECT_EQ(a.getGrowStep(), 5);
  ExtPtrArray b(-3, 7);
  EXPECT_EQ(b.getCapacity(), 5);
  EXPECT_EQ(b.getGrowStep(), 7);
}

TEST(ExtPtrArray, InsertSetRemove) {
  RazudodInt a(1), b(2), c(3), d(4);
  ExtPtrArray arr;
  arr.append(&a);
  arr.insertAt(-3, &b); // front
  arr.insertAt(99, &c); // end
  ASSERT_EQ(arr.getSize(), 3);
  EXPECT_EQ(arr.elementAt(0), &b);
  EXPECT_EQ(arr.elementAt(1), &a);
  EXPECT_EQ(arr.elementAt(2), &c);
  EXPECT_EQ(arr.elementAt(3), nullptr);
  EXPECT_EQ(arr.elementAt(-1), nullptr);
  EXPECT_EQ(arr.lastElement(), &c);

  EXPECT_EQ(arr.removeAt(2), &c);
  EXPECT_EQ(arr.getSize(), 2);
  EXPECT_EQ(arr.removeAt(5), nullptr);
  EXPECT_EQ(arr.removeAt(0), &b);
  EXPECT_EQ(arr.elementAt(0), &a);
  EXPECT_EQ(arr.pop(), &a);
  EXPECT_EQ(arr.pop(), nullptr);
  EXPECT_EQ(arr.lastElement(), nullptr);

  ExtPtrArray s;
  EXPECT_FALSE(s.setAt(-1, &d));
  EXPECT_EQ(s.getSize(), 0);
  ASSERT_TRUE(s.setAt(4, &d));
  EXPECT_EQ(s.getSize(), 5);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(s.elementAt(i), nullptr) << i;
  EXPECT_EQ(s.elementAt(4), &d);
  s.setAt(1, &a);
  EXPECT_EQ(s.elementAt(1), &a);
  EXPECT_EQ(s.getSize(), 5);
}

TEST(ExtPtrArray, OwnershipOfElements) {
  int destroyed = 0;
  {
    ExtPtrArray notOwning;
    notOwning.append(new Tracked(&destroyed));
    Tracked *t = static_cast<Tracked *>(notOwning.elementAt(0));
    notOwning.removeAll();
    EXPECT_EQ(notOwning.getSize(), 0);
    EXPECT_EQ(destroyed, 0);
    notOwning.append(t);
    // Destroyed below by the owning array only.
    ExtPtrArray owning;
    owning.m_bOwnsObjects = true;
    owning.append(notOwning.pop());
    owning.append(nullptr);
    owning.append(new Tracked(&destroyed));
  }
  EXPECT_EQ(destroyed, 2);

  ExtPtrArray arr;
  arr.append(new Tracked(&destroyed));
  arr.append(nullptr);
  arr.append(new Tracked(&destroyed));
  int cap = arr.getCapacity();
  arr.removeAllObjects();
  EXPECT_EQ(destroyed, 4);
  EXPECT_EQ(arr.getSize(), 0);
  EXPECT_EQ(arr.getCapacity(), cap);
}

TEST(ExtPtrArray, FailedGrowthStoresNothing) {
  RazudodInt x(0);
  ExtPtrArray arr;
  for (int i = 0; i < 5; ++i)
    arr.append(&x);
  ckFailNextAllocations(1);
  EXPECT_FALSE(arr.append(&x));
  ckFailNextAllocations(1);
  EXPECT_FALSE(arr.insertAt(0, nullptr));
  ckFailNextAllocations(1);
  EXPECT_FALSE(arr.setAt(8, &x));
  ckFailNextAllocations(0);
  EXPECT_EQ(arr.getSize(), 5);
  EXPECT_EQ(arr.elementAt(0), &x);
}

struct RecordingLog : LogBase {
  bool LogData(const char *tag, const char *value) override {
    lines.emplace_back(tag, value);
    return true;
  }
  std::vector<std::pair<std::string, std::string>> lines;
};

TEST(ExtPtrArray, LogStringsSkipsNullElements) {
  StringBuffer a("one"), b("two");
  ExtPtrArray arr;
  arr.append(&a);
  arr.append(nullptr);
  arr.append(&b);
  EXPECT_EQ(arr.sbAt(2), &b);
  RecordingLog log;
  arr.logStrings(log, "item");
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[0], std::make_pair(std::string("item"), std::string("one")));
  EXPECT_EQ(log.lines[1].second, "two");
}

TEST(ExtIntArray, GrowthAndAccess) {
  ExtIntArray a(6, 15);
  EXPECT_EQ(a.getCapacity(), 6);
  for (int i = 0; i < 7; ++i)
    ASSERT_TRUE(a.append(i * 10));
  EXPECT_EQ(a.getCapacity(), 21);
  EXPECT_EQ(a.elementAt(6), 60);
  EXPECT_EQ(a.elementAt(7), 0);
  EXPECT_EQ(a.elementAt(-1), 0);
  for (int i = 7; i < 22; ++i)
    a.append(i * 10);
  EXPECT_EQ(a.getCapacity(), 42);
  for (int i = 22; i < 43; ++i)
    a.append(i * 10);
  EXPECT_EQ(a.getCapacity(), 84);

  a.deleteAt(0);
  EXPECT_EQ(a.elementAt(0), 10);
  EXPECT_EQ(a.getSize(), 42);
  a.deleteAt(42);
  a.deleteAt(-1);
  EXPECT_EQ(a.getSize(), 42);
  a.deleteAt(41);
  EXPECT_EQ(a.getSize(), 41);
  EXPECT_EQ(a.elementAt(40), 410);

  ckFailNextAllocations(1);
  ExtIntArray full(1, 1);
  ckFailNextAllocations(0);
  EXPECT_EQ(full.getCapacity(), 0);
  EXPECT_TRUE(full.append(5)) << "grows from nothing";
  EXPECT_EQ(full.elementAt(0), 5);
  ckFailNextAllocations(1);
  EXPECT_FALSE(full.append(6));
  ckFailNextAllocations(0);
  EXPECT_EQ(full.getSize(), 1);

  ExtIntArray small(0, 0);
  EXPECT_EQ(small.getCapacity(), 2);
  for (int i = 0; i < 10; ++i)
    ASSERT_TRUE(small.append(i)) << "a step below 1 must still grow";
  EXPECT_EQ(small.elementAt(9), 9);
}

} // namespace
