// vozaz: command-line companion of vozaz_core.
#include <cstdio>
#include <cstring>
#include <exception>

#include "commands.h"

namespace {

void usage() {
  std::fputs(
      "usage: vozaz <command> ...\n"
      "  pack <bundle-dir> <out.imx>   write an IMX v2 container of a bundle directory\n"
      "  info <bundle>                 resolve a bundle (directory or container), print its manifest and members\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    usage();
    return 2;
  }
  try {
    if (!std::strcmp(argv[1], "pack")) return vozaz::packCommand(argc - 2, argv + 2);
    if (!std::strcmp(argv[1], "info")) return vozaz::infoCommand(argc - 2, argv + 2);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vozaz %s: %s\n", argv[1], e.what());
    return 1;
  }
  usage();
  return 2;
}
