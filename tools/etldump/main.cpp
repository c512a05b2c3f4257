#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "tools/etldump/EtlDump.h"

int main(int argc, char** argv) {
#ifdef _WIN32
  // UTF-8 bytes and bare line feeds, as on every other platform.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
  return RunEtlDump(args, stdout, stderr);
}
