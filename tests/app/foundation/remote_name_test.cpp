// Names on an FTP server as the program carries them: a name the server gave goes back in its own
// bytes, typed text in the command encoding, and two names that read alike stay two files all the
// way to their keys (checked row, partial file, working copy).
#include "app/foundation/PartialFile.h"
#include "app/foundation/RemoteName.h"
#include "app/foundation/RemoteOrigin.h"

#include <gtest/gtest.h>

namespace {

// "café" as a Linux machine stores it (UTF-8) and as an older one does (ISO Latin-1).
const std::string kUtf8Cafe = "caf\xC3\xA9";
const std::string kLatin1Cafe = "caf\xE9";

TEST(RemoteName, WhatGoesToTheServer) {
  struct Case {
    const char *what;
    RemoteName name;
    bool utf8;
    std::string wire;
  } cases[] = {
      // Typed text: the first of ASCII, Latin-1 and Windows-1252 that carries it, else UTF-8.
      {"typed ASCII", RemoteName("a.txt"), false, "a.txt"},
      {"typed, Latin-1 has it", RemoteName(kUtf8Cafe), false, kLatin1Cafe},
      {"typed, only 1252 has it", RemoteName("\xE2\x82\xAC.txt"), false, "\x80.txt"},
      {"typed, none has it", RemoteName("\xE6\x96\x87"), false, "\xE6\x96\x87"},
      {"typed, to a server that reads UTF-8", RemoteName(kUtf8Cafe), true, kUtf8Cafe},
      // Named by the server: its own bytes, whatever the server reads.
      {"named in UTF-8", RemoteName::named(kUtf8Cafe, kUtf8Cafe), false, kUtf8Cafe},
      {"named in Latin-1", RemoteName::named(kUtf8Cafe, kLatin1Cafe), false, kLatin1Cafe},
      {"named in Latin-1, UTF-8 server", RemoteName::named(kUtf8Cafe, kLatin1Cafe), true,
       kLatin1Cafe},
      {"invalid UTF-8 kept", RemoteName::named("a\xC3\x83", "a\xC3"), false, "a\xC3"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.name.wire(c.utf8), c.wire) << c.what;
}

TEST(RemoteName, PathsAndTemporaryNamesKeepEveryPartsBytes) {
  const RemoteName latin1 = RemoteName::named(kUtf8Cafe, kLatin1Cafe);
  const RemoteName utf8Folder = RemoteName::named("/d" + kUtf8Cafe, "/d" + kUtf8Cafe);
  struct Case {
    const char *what;
    RemoteName got;
    std::string text;
    std::optional<std::string> bytes;
  } cases[] = {
      {"typed in typed", RemoteName("/pub").child("a.txt"), "/pub/a.txt", std::nullopt},
      {"named in named", utf8Folder.child(latin1), "/d" + kUtf8Cafe + "/" + kUtf8Cafe,
       "/d" + kUtf8Cafe + "/" + kLatin1Cafe},
      // A typed part beside a named one is spelled as the command encoding spells it.
      {"named in typed", RemoteName("/pub/").child(latin1), "/pub/" + kUtf8Cafe,
       "/pub/" + kLatin1Cafe},
      {"typed in named", utf8Folder.child(RemoteName(kUtf8Cafe)),
       "/d" + kUtf8Cafe + "/" + kUtf8Cafe, "/d" + kUtf8Cafe + "/" + kLatin1Cafe},
      {"in the current folder", RemoteName().child(latin1), kUtf8Cafe, kLatin1Cafe},
      {"upload name",
       RemoteName::named(kUtf8Cafe + ".txt", kLatin1Cafe + ".txt").withInfix(".upload"),
       kUtf8Cafe + ".upload.txt", kLatin1Cafe + ".upload.txt"},
      {"upload name without a dot", latin1.withInfix(".old"), kUtf8Cafe + ".old",
       kLatin1Cafe + ".old"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.got.text(), c.text) << c.what;
    EXPECT_EQ(c.got.bytes(), c.bytes) << c.what;
  }
}

TEST(RemoteName, NamesThatReadAlikeAreTwo) {
  const RemoteName utf8 = RemoteName::named(kUtf8Cafe, kUtf8Cafe);
  const RemoteName latin1 = RemoteName::named(kUtf8Cafe, kLatin1Cafe);
  const RemoteName typed(kUtf8Cafe);
  EXPECT_NE(utf8, latin1);
  EXPECT_NE(utf8.key(), latin1.key());
  EXPECT_NE(typed.key(), utf8.key());
  EXPECT_FALSE(utf8.sameAs(latin1));
  // Text kept without bytes (a screen, an older record) names the file its text names.
  EXPECT_TRUE(typed.sameAs(latin1));
  EXPECT_TRUE(latin1.sameAs(typed));
  EXPECT_FALSE(RemoteName("cafe").sameAs(latin1));
}

TEST(RemoteName, BytesSurviveTheirHexadecimalForm) {
  for (const std::string &bytes : {std::string(), kLatin1Cafe, std::string("\x00\xFF\x10", 3)})
    EXPECT_EQ(bytesOfHex(hexOfBytes(bytes)), bytes);
  EXPECT_EQ(hexOfBytes(kLatin1Cafe), "636166e9");
  EXPECT_EQ(bytesOfHex("636166E9"), kLatin1Cafe);
  for (const char *bad : {"6", "6g", "zz", "63 6"})
    EXPECT_EQ(bytesOfHex(bad), std::nullopt) << bad;
}

// Two files whose paths read alike have two origins: their own partial file and working copy. A
// file named in the bytes of its text keeps the key it always had, so what an earlier run left
// (a partial file, an edit record) is found again.
TEST(RemoteOrigin, PathsThatReadAlikeAreTwoFiles) {
  auto origin = [](const RemoteName &folder, const RemoteName &name) {
    return RemoteOrigin::ofNames("ftp", "host", 21, "joe", folder, name);
  };
  const RemoteOrigin typed = RemoteOrigin::of("ftp", "host", 21, "joe", "/pub", kUtf8Cafe);
  const RemoteOrigin utf8 = origin("/pub", RemoteName::named(kUtf8Cafe, kUtf8Cafe));
  const RemoteOrigin latin1 = origin("/pub", RemoteName::named(kUtf8Cafe, kLatin1Cafe));
  const RemoteOrigin inLatin1Folder =
      origin(RemoteName::named("/d" + kUtf8Cafe, "/d" + kLatin1Cafe), RemoteName::named("a", "a"));
  EXPECT_EQ(utf8.key(), typed.key());
  EXPECT_TRUE(utf8.sameFileAs(typed));
  EXPECT_EQ(latin1.path, utf8.path);
  EXPECT_NE(latin1.key(), utf8.key());
  EXPECT_FALSE(latin1.sameFileAs(utf8));
  EXPECT_NE(temporaryPartialFilePath(latin1), temporaryPartialFilePath(utf8));
  EXPECT_EQ(inLatin1Folder.pathBytes, "/d" + kLatin1Cafe + "/a");
  EXPECT_NE(inLatin1Folder.key(),
            RemoteOrigin::of("ftp", "host", 21, "joe", "/d" + kUtf8Cafe, "a").key());
}

} // namespace
