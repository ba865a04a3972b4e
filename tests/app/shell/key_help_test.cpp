// The help pages about SFTP keys held against the program they describe: every key format a page
// names, for every kind of key it names it with, is written by the tool that makes it and read by
// the key loader, with and without a pass phrase; the file endings a page names are the ones a
// login looks for and the ones a file handed to the program is put among the keys by; no page
// asks for a conversion the loader does not need.
#include "AppFixture.h"

#include "app/sftp/SFTPService.h"
#include "sshlib/ssh/CkSFtp.h"

#include <regex>
#include <set>
#include <sstream>

using namespace platform;

namespace {

const char kPassPhrase[] = "correct horse 7";

std::string page(const std::string &name) {
  return testsupport::readFile(std::string(FERROWEN_SOURCE_DIR) + "/resources/" + name);
}

// The values of an attribute wherever the page carries it, in page order.
std::vector<std::string> attributeValues(const std::string &html, const std::string &attribute) {
  std::vector<std::string> out;
  const std::regex re(attribute + "=\"([^\"]*)\"");
  for (std::sregex_iterator it(html.begin(), html.end(), re), end; it != end; ++it)
    out.push_back((*it)[1]);
  return out;
}

// The texts of the elements marked as a key file's ending.
std::set<std::string> namedEndings(const std::string &html) {
  std::set<std::string> out;
  const std::regex re("<code data-key-ext>([^<]*)</code>");
  for (std::sregex_iterator it(html.begin(), html.end(), re), end; it != end; ++it)
    out.insert((*it)[1]);
  return out;
}

// The format a page names and, for each kind of key, the command that writes such a file.
// {out} is the file, {pass} a file holding the pass phrase (empty for none), {phrase} the phrase.
struct Writer {
  std::string format, kind, command;
};

const std::vector<Writer> &writers() {
  static const std::vector<Writer> w = {
      {"openssh", "rsa", "ssh-keygen -q -t rsa -b 1024 -N '{phrase}' -f {out}"},
      {"openssh", "dsa", "ssh-keygen -q -t dsa -N '{phrase}' -f {out}"},
      {"openssh", "ecdsa", "ssh-keygen -q -t ecdsa -b 256 -N '{phrase}' -f {out}"},
      {"openssh", "ecdsa", "ssh-keygen -q -t ecdsa -b 384 -N '{phrase}' -f {out}"},
      {"openssh", "ecdsa", "ssh-keygen -q -t ecdsa -b 521 -N '{phrase}' -f {out}"},
      {"openssh", "ed25519", "ssh-keygen -q -t ed25519 -N '{phrase}' -f {out}"},
      {"pem", "rsa", "ssh-keygen -q -m PEM -t rsa -b 1024 -N '{phrase}' -f {out}"},
      {"pem", "dsa", "ssh-keygen -q -m PEM -t dsa -N '{phrase}' -f {out}"},
      {"pem", "ecdsa", "ssh-keygen -q -m PEM -t ecdsa -b 384 -N '{phrase}' -f {out}"},
      {"pkcs8", "rsa",
       "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 {cipher} -out {out}"},
      {"pkcs8", "ecdsa",
       "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 {cipher} -out {out}"},
      {"pkcs8", "ed25519", "openssl genpkey -algorithm ED25519 {cipher} -out {out}"},
      {"pkcs8", "dsa",
       "openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:1024 -out {out}.p && "
       "openssl genpkey -paramfile {out}.p {cipher} -out {out}"},
      {"ppk", "rsa",
       "puttygen -q -t rsa -b 1024 -O private -o {out} --new-passphrase {pass} "
       "--ppk-param version=2"},
      {"ppk", "dsa",
       "puttygen -q -t dsa -b 1024 -O private -o {out} --new-passphrase {pass} "
       "--ppk-param version=2"},
  };
  return w;
}

std::string filled(std::string command, const std::map<std::string, std::string> &values) {
  for (const auto &[tag, value] : values)
    for (size_t at; (at = command.find(tag)) != std::string::npos;)
      command.replace(at, tag.size(), value);
  return command;
}

const char *const kPages[] = {"error-sftp-keys.html", "error-sftp-login.html"};

} // namespace

TEST(KeyHelpPages, EveryFormatAPageNamesIsReadWithAndWithoutAPassPhrase) {
  testsupport::TempDir dir("ferrowen-keyhelp");
  const std::string passFile = dir.file("pass"), noPass = dir.file("nopass");
  testsupport::writeFile(passFile, kPassPhrase);
  testsupport::writeFile(noPass, "");
  std::set<std::string> tried;
  for (const char *name : kPages) {
    SCOPED_TRACE(name);
    const std::string html = page(name);
    const auto formats = attributeValues(html, "data-key-format");
    const auto kinds = attributeValues(html, "data-key-kinds");
    ASSERT_EQ(formats.size(), kinds.size()) << "each format names its kinds of key";
    if (std::string(name) == "error-sftp-keys.html") {
      EXPECT_EQ(std::set<std::string>(formats.begin(), formats.end()),
                (std::set<std::string>{"openssh", "pem", "pkcs8", "ppk"}));
    }
    for (size_t i = 0; i < formats.size(); ++i) {
      std::istringstream words(kinds[i]);
      for (std::string kind; words >> kind;) {
        SCOPED_TRACE(formats[i] + " " + kind);
        bool written = false;
        for (const Writer &w : writers()) {
          if (w.format != formats[i] || w.kind != kind) continue;
          written = true;
          if (!tried.insert(w.command).second) continue; // the other page named it too
          for (bool withPhrase : {true, false}) {
            SCOPED_TRACE(withPhrase ? "with a pass phrase" : "without one");
            const std::string out =
                dir.file("key" + std::to_string(tried.size()) + (withPhrase ? "p" : "n"));
            int rc = -1;
            const std::string said = testsupport::runCommand(
                filled(w.command,
                       {{"{out}", out},
                        {"{pass}", withPhrase ? passFile : noPass},
                        {"{phrase}", withPhrase ? kPassPhrase : ""},
                        {"{cipher}", withPhrase ? "-aes-256-cbc -pass file:" + passFile : ""}}) +
                    " 2>&1",
                &rc);
            ASSERT_EQ(rc, 0) << w.command << ": " << said;
            CkSshKey key;
            key.put_Password(withPhrase ? kPassPhrase : "");
            EXPECT_TRUE(key.LoadKeyFile(out.c_str())) << w.command << "\n" << key.lastErrorText();
            EXPECT_TRUE(key.get_IsPrivateKey()) << w.command;
            if (withPhrase) {
              CkSshKey wrong;
              wrong.put_Password("not the phrase");
              EXPECT_FALSE(wrong.LoadKeyFile(out.c_str()) && wrong.get_IsPrivateKey())
                  << w.command << ": read with a wrong pass phrase";
            }
          }
        }
        EXPECT_TRUE(written) << "the page names a kind of key in a format no tool here writes";
      }
    }
  }
  EXPECT_FALSE(tried.empty());
}

TEST(KeyHelpPages, TheyAskForNoConversionTheLoaderDoesNotNeed) {
  for (const char *name : kPages) {
    SCOPED_TRACE(name);
    const std::string html = page(name);
    EXPECT_EQ(html.find("-m PEM"), std::string::npos);
    EXPECT_EQ(html.find("are not read"), std::string::npos);
    // No step the program does not have: a key is found by its name, never picked.
    EXPECT_EQ(html.find("pick the key"), std::string::npos);
  }
}

// The endings a page names: a login looks for exactly these, and a file handed to the program
// with one of them is put among the keys (and any other file is not).
TEST_F(AppTest, TheKeyFileEndingsThePagesNameAreTheOnesTheProgramUses) {
  const auto used = SFTPService::keyFileExtensions();
  const std::set<std::string> looked(used.begin(), used.end());
  for (const char *name : kPages) {
    SCOPED_TRACE(name);
    EXPECT_EQ(namedEndings(page(name)), looked);
  }
  boot();
  const std::string keys = Paths::documents() + "/Files/PrivateKeys";
  const std::string elsewhere = home_ + "/handed";
  FileManager::createDirectory(elsewhere, true);
  for (const std::string &ending : looked) {
    SCOPED_TRACE(ending);
    const std::string file = "joe@host.example" + ending;
    testsupport::writeFile(elsewhere + "/" + file, "key");
    EXPECT_TRUE(delegate->importURL("file://" + elsewhere + "/" + file));
    EXPECT_EQ(testsupport::readFile(keys + "/" + file), "key");
  }
  testsupport::writeFile(elsewhere + "/joe@host.example.pub", "public");
  EXPECT_TRUE(delegate->importURL("file://" + elsewhere + "/joe@host.example.pub"));
  EXPECT_FALSE(FileManager::fileExists(keys + "/joe@host.example.pub"));
}
