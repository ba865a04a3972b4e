#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::puts("ferrowen: file transfer and file management (FTP, FTPS, SFTP).");
      return 0;
    }
  }
  return 0;
}
