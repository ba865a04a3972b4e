// Archives made by Info-ZIP and GNU tar unpacked into a folder that already holds files: what
// differs is counted and replaced only when asked to, nothing goes through a link, and nothing of
// the unpack is left behind.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include "app/files/ArchiveServices.h"
#include "app/files/MinizipArchive.h"
#include "app/files/TarUnpacker.h"
#include "tests/support/TarTrees.h"

namespace fs = std::filesystem;

namespace {

// The archive's tree, made by the real tools from these files.
const std::map<std::string, std::string> kArchived{
    {"note.txt", "archive note"}, {"same.txt", "same"}, {"sub/deep.txt", "archive deep"}};

// Writes a file, making its folders.
bool put(const std::string &path, const std::string &text) {
  fs::create_directories(fs::path(path).parent_path());
  return testsupport::writeFile(path, text);
}

struct Kind {
  const char *name, *make; // the command runs in the source folder
};
const Kind kKinds[] = {{"zip", "zip -qr ../a.zip ."},
                       {"tar.gz", "tar -czf ../a.tar.gz ."},
                       {"tar.bz2", "tar -cjf ../a.tar.bz2 ."},
                       {"tar.Z", "tar -cf - . | compress -c > ../a.tar.Z"}};

void PrintTo(const Kind &kind, std::ostream *os) {
  *os << kind.name;
}

class StagedUnpackTest : public ::testing::TestWithParam<Kind> {
protected:
  void SetUp() override {
    installTarUnpacker();
    for (const auto &[name, text] : kArchived)
      ASSERT_TRUE(put(t.file("src/" + name), text));
    ASSERT_TRUE(tartrees::sh("cd '" + t.file("src") + "' && " + GetParam().make));
    archive = t.file(std::string("a.") + GetParam().name);
    fs::create_directories(target);
  }
  void TearDown() override { TARWrapper::install(nullptr); }
  std::unique_ptr<StagedUnpack> unpack() {
    const bool zip = std::string(GetParam().name) == "zip";
    return StagedUnpack::unpack(target, [&](const std::string &into) {
      if (!zip) return TARWrapper::unTARFileTo(archive, into);
      MinizipArchive z;
      return z.UnzipOpenFile(archive) && z.UnzipFileTo(into, true) && z.UnzipCloseFile();
    });
  }
  std::string read(const std::string &name) { return testsupport::readFile(target + "/" + name); }
  std::vector<std::string> names(const std::string &folder) {
    std::vector<std::string> out;
    for (auto &e : fs::directory_iterator(folder))
      out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }
  testsupport::TempDir t;
  std::string target = t.file("target"), archive;
};

} // namespace

TEST_P(StagedUnpackTest, ChangedFilesAreCountedAndReplacedOnlyWhenAsked) {
  struct Case {
    const char *what;
    std::map<std::string, std::string> before; // what the folder holds
    std::vector<std::string> differing;
    bool replace;
  } cases[] = {
      {"an empty folder", {}, {}, false},
      {"the same files", kArchived, {}, false},
      {"two changed, kept",
       {{"note.txt", "mine"}, {"sub/deep.txt", "mine too"}, {"own.txt", "own"}},
       {"note.txt", "sub/deep.txt"},
       false},
      {"two changed, replaced",
       {{"note.txt", "mine"}, {"sub/deep.txt", "mine too"}, {"own.txt", "own"}},
       {"note.txt", "sub/deep.txt"},
       true},
      // Same length, other bytes; and a longer file that starts like the archive's.
      {"lookalikes",
       {{"note.txt", "ARCHIVE NOTE"}, {"same.txt", "same plus"}},
       {"note.txt", "same.txt"},
       false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(target);
    for (const auto &[name, text] : c.before)
      ASSERT_TRUE(put(target + "/" + name, text));
    auto staged = unpack();
    ASSERT_TRUE(staged);
    EXPECT_TRUE(staged->unpackedWhole());
    EXPECT_EQ(staged->differing(), c.differing);
    for (const auto &[name, text] : c.before)
      EXPECT_EQ(read(name), text) << "nothing is put in place before the answer: " << name;
    EXPECT_TRUE(staged->putInPlace(c.replace));
    staged.reset();
    for (const auto &[name, text] : kArchived) {
      const bool differed =
          std::find(c.differing.begin(), c.differing.end(), name) != c.differing.end();
      EXPECT_EQ(read(name), differed && !c.replace ? c.before.at(name) : text) << name;
    }
    std::vector<std::string> expected{"note.txt", "same.txt", "sub"};
    if (c.before.count("own.txt")) {
      EXPECT_EQ(read("own.txt"), "own");
      expected.insert(expected.begin() + 1, "own.txt");
    }
    EXPECT_EQ(names(target), expected) << "no staging folder is left";
  }
}

// What the person changes between the count and the answer is theirs: a "replace" covers only
// the files they were told of.
TEST_P(StagedUnpackTest, AFileChangedAfterTheQuestionIsKept) {
  ASSERT_TRUE(testsupport::writeFile(target + "/note.txt", "mine"));
  ASSERT_TRUE(testsupport::writeFile(target + "/same.txt", "same"));
  auto staged = unpack();
  ASSERT_TRUE(staged);
  EXPECT_EQ(staged->differing(), std::vector<std::string>{"note.txt"});
  ASSERT_TRUE(testsupport::writeFile(target + "/same.txt", "edited meanwhile"));
  EXPECT_TRUE(staged->putInPlace(true));
  EXPECT_EQ(read("note.txt"), "archive note");
  EXPECT_EQ(read("same.txt"), "edited meanwhile");
  EXPECT_FALSE(staged->putInPlace(true)) << "once only";
}

// Links in the folder are never written through: a link where the archive has a file counts as
// a difference (and, replaced, is itself replaced); a link or a file where the archive has a
// folder, and a folder where it has a file, stop that part of the unpack.
TEST_P(StagedUnpackTest, LinksAndClashesInTheFolder) {
  const std::string outside = t.file("outside");
  fs::create_directories(outside);
  ASSERT_TRUE(testsupport::writeFile(outside + "/deep.txt", "outside deep"));
  ASSERT_TRUE(testsupport::writeFile(outside + "/note.txt", "outside note"));
  struct Case {
    const char *what;
    std::function<void()> prepare;
    std::vector<std::string> differing;
    bool replace, placed;
    std::function<void()> check;
  } cases[] = {
      {"a link to a file, kept",
       [&] { fs::create_symlink(outside + "/note.txt", target + "/note.txt"); },
       {"note.txt"},
       false,
       true,
       [&] { EXPECT_TRUE(fs::is_symlink(target + "/note.txt")); }},
      {"a link to a file, replaced",
       [&] { fs::create_symlink(outside + "/note.txt", target + "/note.txt"); },
       {"note.txt"},
       true,
       true,
       [&] {
         EXPECT_FALSE(fs::is_symlink(target + "/note.txt"));
         EXPECT_EQ(read("note.txt"), "archive note");
       }},
      {"a link to a folder",
       [&] { fs::create_directory_symlink(outside, target + "/sub"); },
       {},
       true,
       false,
       [&] { EXPECT_TRUE(fs::is_symlink(target + "/sub")); }},
      {"a file where a folder goes",
       [&] { testsupport::writeFile(target + "/sub", "a file"); },
       {},
       true,
       false,
       [&] { EXPECT_EQ(read("sub"), "a file"); }},
      {"a folder where a file goes",
       [&] { fs::create_directories(target + "/note.txt/inside"); },
       {},
       true,
       false,
       [&] { EXPECT_TRUE(fs::is_directory(target + "/note.txt/inside")); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(target);
    fs::create_directories(target);
    c.prepare();
    auto staged = unpack();
    ASSERT_TRUE(staged);
    EXPECT_EQ(staged->differing(), c.differing);
    EXPECT_EQ(staged->putInPlace(c.replace), c.placed);
    staged.reset();
    c.check();
    EXPECT_EQ(read("same.txt"), "same") << "the rest comes out";
    EXPECT_EQ(testsupport::readFile(outside + "/deep.txt"), "outside deep");
    EXPECT_EQ(testsupport::readFile(outside + "/note.txt"), "outside note");
    EXPECT_EQ(names(outside), (std::vector<std::string>{"deep.txt", "note.txt"}));
    EXPECT_EQ(names(target), (std::vector<std::string>{"note.txt", "same.txt", "sub"}))
        << "no staging folder is left";
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, StagedUnpackTest, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind> &info) {
                           std::string n = info.param.name;
                           std::replace(n.begin(), n.end(), '.', '_');
                           return n;
                         });
