// The mode a listing's permissions column names, and the modes kept per server and folder.
#include "app/foundation/DirItemInfo.h"
#include "app/ftp/FTPListedModes.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(ListedModes, ThePermissionsColumnNamesTheMode) {
  const struct {
    const char *column;
    std::optional<std::string> mode;
  } cases[] = {
      {"-rw-------", "600"},        {"-rwxr-x---", "750"},      {"-rw-r--r--", "644"},
      {"-rwsr-xr-x", "4755"},       {"-rwxr-Sr--", "2744"},     {"-rwxr-xr-t", "1755"},
      {"-rw-r--r-T", "1644"},       {"-rw-r--r--+", "644"}, // an ACL mark after the bits
      {"drwxr-xr-x", std::nullopt},                         // a folder's is not given back
      {"lrwxrwxrwx", std::nullopt}, {"-rw-r--r", std::nullopt}, {"-rwqr--r--", std::nullopt},
      {"", std::nullopt},           {"0644", std::nullopt}, // a server that lists no such column
  };
  for (const auto &c : cases)
    EXPECT_EQ(ftpmodes::modeOfAttributes(c.column), c.mode) << c.column;
}

TEST(ListedModes, EachFileOfEachFolderOfEachServerByItsBytes) {
  auto entry = [](const char *text, const char *bytes, const char *attrib, bool folder = false) {
    auto e = std::make_shared<DirItemInfo>();
    e->setName(text);
    e->setNameBytes(bytes);
    e->attrib = attrib;
    e->isDirectory = folder;
    return e;
  };
  const RemoteName folder = RemoteName::named("/d", "/d");
  ftpmodes::rememberListing("a\n21\nu", folder,
                            {entry("caf\xC3\xA9", "caf\xC3\xA9", "-rw-------"),
                             entry("caf\xC3\xA9", "caf\xE9", "-rwxr-xr-x"),
                             entry("sub", "sub", "drwx------", true)});
  EXPECT_EQ(ftpmodes::listedMode("a\n21\nu", folder, RemoteName::named("caf\xC3\xA9", "caf\xE9")),
            "755");
  EXPECT_EQ(
      ftpmodes::listedMode("a\n21\nu", folder, RemoteName::named("caf\xC3\xA9", "caf\xC3\xA9")),
      "600");
  EXPECT_EQ(ftpmodes::listedMode("a\n21\nu", folder, RemoteName("sub")), std::nullopt);
  EXPECT_EQ(ftpmodes::listedMode("b\n21\nu", folder, RemoteName::named("caf\xC3\xA9", "caf\xE9")),
            std::nullopt);
  EXPECT_EQ(ftpmodes::listedMode("a\n21\nu", RemoteName::named("/e", "/e"),
                                 RemoteName::named("caf\xC3\xA9", "caf\xE9")),
            std::nullopt);
  // Listed again: what the folder holds now.
  ftpmodes::rememberListing("a\n21\nu", folder, {entry("caf\xC3\xA9", "caf\xE9", "-rw-r-----")});
  EXPECT_EQ(ftpmodes::listedMode("a\n21\nu", folder, RemoteName::named("caf\xC3\xA9", "caf\xE9")),
            "640");
  EXPECT_EQ(
      ftpmodes::listedMode("a\n21\nu", folder, RemoteName::named("caf\xC3\xA9", "caf\xC3\xA9")),
      std::nullopt);
}

} // namespace
