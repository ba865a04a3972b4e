// The whole program with a named pipe in Saved Files: over FTP, RETR and STOR of the pipe are
// refused at once while no other process opens its other end, and meanwhile the page, the web
// sharing server and a new FTP login all answer (the program's main thread was never held).
#include "tests/support/TestSupport.h"
#include "tests/support/TimeScale.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>

using namespace std::chrono_literals;

TEST(ProgramNamedPipe, RetrAndStorOfAPipeAreRefusedAndThePageAndServersAnswerMeanwhile) {
  testsupport::TempDir home("ferrowen-named-pipe");
  ASSERT_TRUE(home.ok());
  const std::string files = home.file("Documents/Files");
  ASSERT_EQ(::mkdir(home.file("Documents").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(files.c_str(), 0700), 0);
  ASSERT_TRUE(testsupport::writeFile(files + "/shared.txt", "shared bytes"));
  ASSERT_EQ(::mkfifo((files + "/pipe").c_str(), 0644), 0);
  ASSERT_TRUE(
      testsupport::writeFile(home.file("Preferences.json"),
                             R"({"WebServer":"1","FTPServer":"1","ActiveServerMinutes":"0"})"));
  const int web = testsupport::freeTcpPort(), ftp = testsupport::freeTcpPort(),
            page = testsupport::freeTcpPort();
  testsupport::Process program({FERROWEN_BINARY_DIR "/ferrowen"}, home.path(),
                               {{"FERROWEN_HOME", home.path()},
                                {"FERROWEN_RESOURCES", FERROWEN_SOURCE_DIR "/resources"},
                                {"FERROWEN_RENDERER_PORT", std::to_string(page)},
                                {"FERROWEN_PORT_OVERRIDES",
                                 "2121=" + std::to_string(ftp) + ",8080=" + std::to_string(web)}});
  ASSERT_TRUE(program.started());
  for (int port : {web, ftp, page})
    ASSERT_TRUE(testsupport::waitForTcpPort(port)) << program.errors();
  std::string address;
  for (auto until = std::chrono::steady_clock::now() + testsupport::scaled(30s);
       address.empty() && std::chrono::steady_clock::now() < until;
       std::this_thread::sleep_for(10ms)) {
    const std::string out = program.output();
    if (const size_t at = out.find("?t=");
        at != std::string::npos && out.find('\n', at) != out.npos)
      address = out.substr(out.rfind('/', at), out.find('\n', at) - out.rfind('/', at));
  }
  ASSERT_FALSE(address.empty()) << program.output() << program.errors();

  const std::string script = home.file("client.py");
  ASSERT_TRUE(testsupport::writeFile(script, R"PY(
import ftplib, http.client, io, os, sys
ftp, web, page, address, pipe = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
wait = 10 * float(os.environ.get('FERROWEN_TEST_TIME_SCALE', '1'))
def status(port, target):
    c = http.client.HTTPConnection('127.0.0.1', port, timeout=wait)
    c.request('GET', target)
    return c.getresponse().status
f = ftplib.FTP()
f.connect('127.0.0.1', ftp, timeout=wait)
f.login()
for command in ('RETR pipe', 'STOR pipe'):
    try:
        if command.startswith('RETR'):
            f.retrbinary(command, lambda b: None)
        else:
            f.storbinary(command, io.BytesIO(b'x'))
        print(command, 'served')
    except ftplib.error_perm as e:
        print(command, e)
    except OSError as e:
        # Held: the other end opened at last, so the program (and this test) can go on.
        os.close(os.open(pipe, os.O_RDWR))
        print(command, 'held', e)
        break
    g = ftplib.FTP()
    g.connect('127.0.0.1', ftp, timeout=wait)
    print('page', status(page, address), 'web', status(web, '/shared.txt'), 'login', g.login())
    g.quit()
)PY"));
  int code = -1;
  const std::string out = testsupport::runCommand(
      "/usr/bin/python3 " + script + " " + std::to_string(ftp) + " " + std::to_string(web) + " " +
          std::to_string(page) + " '" + address + "' '" + files + "/pipe' 2>&1",
      &code);
  EXPECT_EQ(out, "RETR pipe 550 Not a regular file.\n"
                 "page 200 web 200 login 230 Login successful.\n"
                 "STOR pipe 550 Not a regular file.\n"
                 "page 200 web 200 login 230 Login successful.\n");
  struct stat st;
  ASSERT_EQ(::lstat((files + "/pipe").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe stays as it was";
  const int status = program.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << program.errors();
}
