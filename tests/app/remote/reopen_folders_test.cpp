// The folders whose screens a reopen of last run's file shows, from the top of the way up to the
// file's folder: below where a connect starts when the folder lies there (an SFTP path from the
// login folder "." or from a path typed after the server), else from "/" for a full path (an FTP
// folder as the server's PWD named it); a bounded number of them, however deep the path.
#include "app/remote/Connect.h"

#include <gtest/gtest.h>

namespace {

struct FoldersCase {
  const char *folder, *start;
  std::vector<std::string> screens;
};

} // namespace

TEST(ReopenFolders, LeadFromWhereAConnectStartsOrFromTheTop) {
  const FoldersCase cases[] = {
      {"./docs", ".", {".", "./docs"}},
      {"./a/b", ".", {".", "./a", "./a/b"}},
      {".", ".", {"."}},
      {"/srv/x/docs", "/srv/x", {"/srv/x", "/srv/x/docs"}},
      // A folder beside the typed path, not below it (the names only share a beginning).
      {"/srvx/docs", "/srv", {"/", "/srvx", "/srvx/docs"}},
      {"/docs", "", {"/", "/docs"}},
      {"/home/joe/docs", "", {"/", "/home", "/home/joe", "/home/joe/docs"}},
      // Doubled and trailing slashes make no empty folders; the top is the folder as kept.
      {"/home//joe/", "", {"/", "/home", "/home//joe/"}},
      {"/", "", {"/"}},
      {"docs", "", {"docs"}},
      {"", "", {""}},
  };
  for (const auto &c : cases)
    EXPECT_EQ(reopenFolders(c.folder, c.start), c.screens) << c.folder << " from " << c.start;
}

TEST(ReopenFolders, ADeepPathKeepsTheFoldersNearestTheFile) {
  std::string folder;
  for (int i = 1; i <= 40; ++i)
    folder += "/d" + std::to_string(i);
  const auto screens = reopenFolders(folder, "");
  ASSERT_EQ(screens.size(), kMaxReopenLevels);
  EXPECT_EQ(screens.back(), folder);
  EXPECT_EQ(screens[screens.size() - 2], folder.substr(0, folder.rfind('/')));
}

// The folders above a reopened file's folder are listed by the bytes its server named each with
// (the folder's own bytes, cut after as many names); a folder kept without bytes, or a path that
// is none of its first parts, goes by its text.
TEST(ReopenFolders, FoldersAboveKeepTheirPartOfTheFoldersBytes) {
  const RemoteName named = RemoteName::named("/h\xC3\xA9/j\xC3\xB6//e/", "/h\xE9/j\xF6//e/");
  struct Case {
    RemoteName folder;
    std::string above;
    RemoteName expected;
  } cases[] = {
      {named, "/", RemoteName::named("/", "/")},
      {named, "/h\xC3\xA9", RemoteName::named("/h\xC3\xA9", "/h\xE9")},
      {named, "/h\xC3\xA9/j\xC3\xB6", RemoteName::named("/h\xC3\xA9/j\xC3\xB6", "/h\xE9/j\xF6")},
      {named, "/h\xC3\xA9/j\xC3\xB6//e/", named},
      {named, "/h\xC3\xA9/j", RemoteName("/h\xC3\xA9/j")}, // not at a name's end
      {named, "/other", RemoteName("/other")},
      {RemoteName("/h\xC3\xA9/x"), "/h\xC3\xA9", RemoteName("/h\xC3\xA9")},
  };
  for (const auto &c : cases)
    EXPECT_EQ(folderAbove(c.folder, c.above), c.expected) << c.above;
}
