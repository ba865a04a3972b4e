#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UserDefaults.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using platform::DefaultsValue;
using platform::FileManager;
using platform::Log;
using platform::LogCapture;
using platform::Paths;
using platform::UserDefaults;

namespace {

// When started as the "second process" of the restart test, this program only checks what the
// first process stored, stores an answer of its own and exits before the tests run.
struct ChildMode {
  ChildMode() {
    const char *expect = std::getenv("FERROWEN_DEFAULTS_CHILD_EXPECT");
    if (!expect) return;
    UserDefaults &d = UserDefaults::standard();
    int code = 0;
    if (d.stringForKey("ServerAddress") != std::optional<std::string>(expect)) code = 2;
    auto bytes = d.dataForKey("icon-example.org");
    if (!bytes || *bytes != DefaultsValue::Bytes({0, 1, 2, 0xff})) code = 3;
    d.setObject("from the child", "ChildAnswer");
    if (!d.synchronize()) code = 4;
    std::_Exit(code);
  }
} childMode;

int runChild(const std::string &home, const std::string &expect) {
  testsupport::Process child({"/proc/self/exe"}, "",
                             {{"FERROWEN_HOME", home}, {"FERROWEN_DEFAULTS_CHILD_EXPECT", expect}});
  if (!child.started()) return -1;
  const std::optional<int> status = child.wait(std::chrono::seconds(30));
  return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

class UserDefaultsTest : public ::testing::Test {
protected:
  void SetUp() override {
    Paths::setHome(home.path());
    UserDefaults::resetStandard();
  }
  void TearDown() override {
    UserDefaults::resetStandard();
    Paths::setHome("");
  }
  std::string prefs() const { return home.path() + "/Preferences.json"; }

  testsupport::TempDir home;
};

TEST_F(UserDefaultsTest, RegisteredDefaultsUnderlieUserValues) {
  UserDefaults &d = UserDefaults::standard();
  EXPECT_EQ(d.file(), prefs());
  EXPECT_FALSE(d.stringForKey("UsePASV"));
  EXPECT_FALSE(d.objectForKey("UsePASV"));

  d.registerDefaults({{"UsePASV", "1"}, {"ActiveServerMinutes", "10"}, {"ServerAddress", ""}});
  EXPECT_EQ(d.stringForKey("UsePASV"), "1");
  EXPECT_EQ(d.stringForKey("ServerAddress"), "");
  EXPECT_EQ(d.integerForKey("ActiveServerMinutes"), 10);

  d.setObject("0", "UsePASV");
  EXPECT_EQ(d.stringForKey("UsePASV"), "0");
  // A later registration does not hide the user's value.
  d.registerDefaults({{"UsePASV", "1"}});
  EXPECT_EQ(d.stringForKey("UsePASV"), "0");
  d.removeObjectForKey("UsePASV");
  EXPECT_EQ(d.stringForKey("UsePASV"), "1");

  // Registered defaults are not user values: they never reach the file.
  ASSERT_TRUE(d.synchronize());
  UserDefaults fresh(prefs());
  EXPECT_FALSE(fresh.objectForKey("ActiveServerMinutes"));
}

TEST_F(UserDefaultsTest, IntegerValueReadsLeadingNumber) {
  UserDefaults &d = UserDefaults::standard();
  const std::pair<const char *, int> cases[] = {
      {" 42x", 42}, {"-7", -7}, {"x", 0},
      {"", 0},      {"+5", 5},  {"\t\n 9", 9},
      {"- 3", 0},   {"007", 7}, {"99999999999", 2147483647}};
  for (const auto &[text, expected] : cases) {
    d.setObject(text, "n");
    EXPECT_EQ(d.integerForKey("n"), expected) << '"' << text << '"';
  }
  EXPECT_EQ(d.integerForKey("missing"), 0);
  // A value that is not a string has no integer value.
  d.setObject(DefaultsValue::Bytes{'4', '2'}, "n");
  EXPECT_EQ(d.integerForKey("n"), 0);
  EXPECT_FALSE(d.stringForKey("n"));
}

TEST_F(UserDefaultsTest, EveryKindOfValueSurvivesTheFile) {
  DefaultsValue::Array history = {
      DefaultsValue::Dictionary{{"URL", "http://example.org/"}, {"Name", "Example"}},
      DefaultsValue::Dictionary{{"URL", "search words"}, {"Name", "search words"}}};
  // Dictionaries whose keys look like the file's own markers must come back unchanged.
  DefaultsValue::Dictionary tricky = {
      {"$data", "AAAA"}, {"$bytes", "AAAA"}, {"$$x", "y"}, {"", "empty key"}, {"ünï", "çødé ✓"}};
  // Text that is not UTF-8 (a folder name in Latin-1, a stray byte) comes back byte for byte.
  const std::string latin1("caf\xE9 /d\xFCr", 10);
  const std::string nul("a\0b\xFF", 4);
  DefaultsValue::Bytes icon = {0x89, 'P', 'N', 'G', 0, 0xff, 0x10};
  {
    UserDefaults &d = UserDefaults::standard();
    d.setObject(history, "WebHistory");
    d.setObject(DefaultsValue::Dictionary{{"http://example.org/", "1"}}, "InHistory");
    d.setObject(tricky, "Tricky");
    d.setObject(icon, "icon-example.org");
    d.setObject(DefaultsValue::Bytes{}, "EmptyBytes");
    d.setObject("line1\nline2 \"quoted\" \\", "Text");
    d.setObject(latin1, "EditingInFolder");
    d.setObject(DefaultsValue::Array{latin1, "plain"}, "Folders");
    d.setObject(DefaultsValue::Dictionary{{"name", nul}}, "Odd");
    ASSERT_TRUE(d.synchronize());
  }
  UserDefaults fresh(prefs());
  EXPECT_EQ(fresh.stringForKey("EditingInFolder"), latin1);
  EXPECT_EQ(fresh.arrayForKey("Folders"), (DefaultsValue::Array{latin1, "plain"}));
  EXPECT_EQ(fresh.dictionaryForKey("Odd"), (DefaultsValue::Dictionary{{"name", nul}}));
  EXPECT_EQ(fresh.arrayForKey("WebHistory"), history);
  EXPECT_EQ(fresh.dictionaryForKey("InHistory"),
            (DefaultsValue::Dictionary{{"http://example.org/", "1"}}));
  EXPECT_EQ(fresh.dictionaryForKey("Tricky"), tricky);
  EXPECT_EQ(fresh.dataForKey("icon-example.org"), icon);
  EXPECT_EQ(fresh.dataForKey("EmptyBytes"), DefaultsValue::Bytes{});
  EXPECT_EQ(fresh.stringForKey("Text"), "line1\nline2 \"quoted\" \\");
  // Asking for the wrong kind gives nothing rather than a converted value.
  EXPECT_FALSE(fresh.stringForKey("WebHistory"));
  EXPECT_FALSE(fresh.arrayForKey("Text"));
  EXPECT_FALSE(fresh.dictionaryForKey("icon-example.org"));
}

TEST_F(UserDefaultsTest, ValueSurvivesRestartOfTheProcess) {
  UserDefaults &d = UserDefaults::standard();
  d.setObject("ftp.example.org:2121/pub", "ServerAddress");
  d.setObject(DefaultsValue::Bytes{0, 1, 2, 0xff}, "icon-example.org");
  ASSERT_TRUE(d.synchronize());

  // A second process reads the file, checks the values and stores one of its own.
  EXPECT_EQ(runChild(home.path(), "ftp.example.org:2121/pub"), 0);

  UserDefaults::resetStandard();
  UserDefaults &again = UserDefaults::standard();
  EXPECT_NE(&again, &d);
  EXPECT_EQ(again.stringForKey("ChildAnswer"), "from the child");
  EXPECT_EQ(again.stringForKey("ServerAddress"), "ftp.example.org:2121/pub");
}

TEST_F(UserDefaultsTest, UnsynchronisedChangesAreNotOnDisk) {
  UserDefaults &d = UserDefaults::standard();
  d.setObject("kept", "A");
  ASSERT_TRUE(d.synchronize());
  d.setObject("lost", "B");
  d.removeObjectForKey("A");
  UserDefaults fresh(prefs());
  EXPECT_EQ(fresh.stringForKey("A"), "kept");
  EXPECT_FALSE(fresh.stringForKey("B"));
  ASSERT_TRUE(d.synchronize());
  UserDefaults after(prefs());
  EXPECT_FALSE(after.stringForKey("A"));
  EXPECT_EQ(after.stringForKey("B"), "lost");
}

TEST_F(UserDefaultsTest, FileIsPrivateAndWrittenWithoutLeftovers) {
  UserDefaults &d = UserDefaults::standard();
  d.setObject("secret", "UserPass");
  ASSERT_TRUE(d.synchronize());
  d.setObject("other", "UserPass");
  ASSERT_TRUE(d.synchronize());
  auto attrs = FileManager::attributesOfItem(prefs());
  ASSERT_TRUE(attrs);
  EXPECT_EQ(attrs->permissions, 0600u);
  auto names = FileManager::contentsOfDirectory(home.path());
  ASSERT_TRUE(names);
  for (const auto &n : *names)
    EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;
}

TEST_F(UserDefaultsTest, DamagedFileIsKeptAsideAndLogged) {
  ASSERT_TRUE(FileManager::writeAtomically(prefs(), std::string_view("{\"UsePASV\": \"0\", oops")));
  LogCapture log(Log::Sink::System);
  UserDefaults &d = UserDefaults::standard();
  EXPECT_FALSE(d.objectForKey("UsePASV"));
  EXPECT_TRUE(log.contains("damaged"));
  EXPECT_EQ(FileManager::stringContentsAtPath(prefs() + ".damaged"), "{\"UsePASV\": \"0\", oops");

  d.setObject("1", "UsePASV");
  ASSERT_TRUE(d.synchronize());
  EXPECT_EQ(UserDefaults(prefs()).stringForKey("UsePASV"), "1");
  EXPECT_TRUE(FileManager::fileExists(prefs() + ".damaged"));

  // A file that is valid JSON but not an object is damaged too; foreign value kinds read as text.
  ASSERT_TRUE(FileManager::writeAtomically(prefs(), std::string_view("[1,2]")));
  UserDefaults notObject(prefs());
  EXPECT_FALSE(notObject.objectForKey("UsePASV"));
  ASSERT_TRUE(FileManager::writeAtomically(
      prefs(), std::string_view("{\"n\": 12, \"b\": true, \"z\": null, \"s\": \"x\"}")));
  UserDefaults foreign(prefs());
  EXPECT_EQ(foreign.stringForKey("n"), "12");
  EXPECT_EQ(foreign.stringForKey("b"), "1");
  EXPECT_FALSE(foreign.objectForKey("z"));
  EXPECT_EQ(foreign.stringForKey("s"), "x");
}

TEST_F(UserDefaultsTest, DeeplyNestedFileDoesNotExhaustTheStack) {
  std::string deep =
      "{\"ok\": \"yes\", \"deep\": " + std::string(200000, '[') + std::string(200000, ']') + "}";
  ASSERT_TRUE(FileManager::writeAtomically(prefs(), deep));
  UserDefaults d(prefs());
  EXPECT_EQ(d.stringForKey("ok"), "yes");
  EXPECT_TRUE(d.arrayForKey("deep"));
}

TEST_F(UserDefaultsTest, UnwritableLocationFailsWithLogLine) {
  // The data root's place is taken by a plain file: nothing can be written below it.
  std::string blocker = home.file("blocker");
  ASSERT_TRUE(FileManager::writeAtomically(blocker, std::string_view("not a folder")));
  UserDefaults d(blocker + "/Preferences.json");
  d.setObject("v", "k");
  LogCapture log(Log::Sink::System);
  EXPECT_FALSE(d.synchronize());
  EXPECT_TRUE(log.contains("Cannot save the settings"));
}

TEST_F(UserDefaultsTest, ConcurrentWritersAndReaders) {
  UserDefaults &d = UserDefaults::standard();
  d.registerDefaults({{"Shared", "0"}});
  constexpr int kThreads = 6, kRounds = 60;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&d, t] {
      for (int i = 0; i < kRounds; ++i) {
        std::string key = "SSL-no-host" + std::to_string(t);
        d.setObject(std::to_string(i), key);
        d.setObject(std::to_string(t), "Shared");
        EXPECT_EQ(d.integerForKey(key), i);
        (void)d.stringForKey("Shared");
        if (i % 5 == 0) d.removeObjectForKey("gone-" + std::to_string(t));
        if (i % 3 == 0) {
          EXPECT_TRUE(d.synchronize());
        }
      }
      d.setObject(std::to_string(kRounds), "SSL-no-host" + std::to_string(t));
      EXPECT_TRUE(d.synchronize());
    });
  }
  for (auto &th : threads)
    th.join();
  // Whatever the interleaving, the last synchronize of each thread came after its last write.
  UserDefaults fresh(prefs());
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(fresh.integerForKey("SSL-no-host" + std::to_string(t)), kRounds);
  EXPECT_TRUE(fresh.stringForKey("Shared"));
}

} // namespace
