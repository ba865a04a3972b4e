// Where an edited remote file came from: the host and port a server text names, whether a
// connection is the one the file came from, and what an edit state (of this version or an earlier
// one) says about it.
#include "app/foundation/EditOrigin.h"

#include <gtest/gtest.h>

#include <map>

namespace {

TEST(EditOrigin, HostAndPortOfAServerText) {
  struct Case {
    const char *text, *protocol, *host;
    int port;
  } cases[] = {
      {"ftp.example.com", "ftp", "ftp.example.com", 21},
      {"ftp.example.com", "sftp", "ftp.example.com", 22},
      {"127.0.0.1:2121", "ftp", "127.0.0.1", 2121},
      {"host:2222/docs/", "sftp", "host", 2222},
      {"sftp://Host.Example:2200/home/joe", "sftp", "Host.Example", 2200},
      {"host/folder:with:colons", "ftps", "host", 21},
      // Not a port: the protocol's own.
      {"host:abc", "ftp", "host", 21},
      {"host:0", "sftp", "host", 22},
      {"host:65536", "ftp", "host", 21},
      {"host:", "sftp", "host", 22},
      // More than one colon is an address of another form, kept whole.
      {"::1", "sftp", "::1", 22},
  };
  for (const auto &c : cases) {
    const EditOrigin o = editOriginOf(c.text, "joe", c.protocol);
    EXPECT_EQ(o.host, c.host) << c.text;
    EXPECT_EQ(o.port, c.port) << c.text;
    EXPECT_EQ(o.user, "joe");
    EXPECT_EQ(o.protocol, c.protocol);
  }
}

TEST(EditOrigin, OnlyTheSameServerPortUserAndKindIsTheSameConnection) {
  const EditOrigin kept{"Files.Example", 2121, "joe", "ftp", {}};
  struct Case {
    EditOrigin now;
    bool same;
    const char *why;
  } cases[] = {
      {{"files.example", 2121, "joe", "ftp", {}}, true, "host names ignore case"},
      {{"files.example", 2121, "joe", "ftps", {}}, true, "FTP with TLS reaches the same server"},
      {{"files.example", 2121, "joe", "sftp", {}}, false, "SFTP is another service"},
      {{"other.example", 2121, "joe", "ftp", {}}, false, "another server"},
      {{"files.example", 21, "joe", "ftp", {}}, false, "another port"},
      {{"files.example", 2121, "Joe", "ftp", {}}, false, "another user"},
      {{"files.example", 2121, "", "ftp", {}}, false, "anonymous"},
      {{"files.example", 2121, "joe", "www", {}}, false, "not a file protocol"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(kept.sameConnectionAs(c.now), c.same) << c.why;
    EXPECT_EQ(c.now.sameConnectionAs(kept), c.same) << c.why;
  }
  EXPECT_FALSE((EditOrigin{"", 21, "joe", "ftp", {}}.sameConnectionAs({"", 21, "joe", "ftp", {}})));
  EXPECT_FALSE((EditOrigin{"h", 0, "joe", "ftp", {}}.sameConnectionAs({"h", 0, "joe", "ftp", {}})));
}

TEST(EditOrigin, WhatAnEditStateSays) {
  using Keys = std::map<std::string, std::string>;
  const Keys full{{"EditingServerAddress", "host:2121/docs"},
                  {"EditingUserName", "joe"},
                  {"EditingServerPort", "2121"},
                  {"EditingProtocol", "ftps"},
                  {"EditingInFolder", "/docs/"},
                  {"EditingFileName", "a.txt"}};
  auto read = [](const Keys &keys) {
    return storedEditOrigin([&](const char *key) {
      auto it = keys.find(key);
      return it == keys.end() ? std::string() : it->second;
    });
  };
  auto origin = read(full);
  ASSERT_TRUE(origin);
  EXPECT_EQ(origin->host, "host");
  EXPECT_EQ(origin->port, 2121);
  EXPECT_EQ(origin->user, "joe");
  EXPECT_EQ(origin->protocol, "ftps");
  EXPECT_EQ(origin->path, "/docs/a.txt");
  // The port kept is the connection's, whatever the text says.
  Keys other = full;
  other["EditingServerAddress"] = "host";
  EXPECT_EQ(read(other)->port, 2121);
  // A record of an earlier version, or a damaged one, says nothing.
  for (const char *gone : {"EditingServerAddress", "EditingServerPort", "EditingProtocol"}) {
    Keys partial = full;
    partial.erase(gone);
    EXPECT_FALSE(read(partial)) << gone;
  }
  for (auto [key, value] : {std::pair{"EditingServerPort", "0"},
                            {"EditingServerPort", "21x"},
                            {"EditingProtocol", "http"},
                            {"EditingProtocol", "FTP"}}) {
    Keys bad = full;
    bad[key] = value;
    EXPECT_FALSE(read(bad)) << key << "=" << value;
  }
}

} // namespace
