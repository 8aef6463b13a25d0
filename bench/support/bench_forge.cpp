#include "support/bench_forge.h"

#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>

namespace lb {

std::string forgedBundle(const std::string& command, const std::string& name, const std::string& args) {
  const std::string dir = std::string(LE_BENCH_SCRATCH) + "/" + name;
  struct stat st;
  if (::stat((dir + "/manifest.json").c_str(), &st) == 0) return dir;
  const std::string cmd =
      std::string(LE_BENCH_PYTHON) + " " + LE_BENCH_FORGE + " " + command + " " + dir + " " + args + " > /dev/null";
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("forge failed: " + cmd);
  return dir;
}

}  // namespace lb
