// An untrusted container: header and table of contents are read, names are
// checked and members materialised under a private unwrap root. Whatever the
// bytes, the unwrap either completes inside that root or throws.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "bundle/imx.h"
#include "bundle/paths.h"

namespace {

const std::string& workDir() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/le_imx_fuzz_XXXXXX";
    const char* d = ::mkdtemp(tmpl);
    if (!d) std::abort();
    ::setenv("LE_IMX_UNWRAP_ROOT", (std::string(d) + "/out").c_str(), 1);
    return std::string(d);
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = workDir();
  const std::string container = dir + "/in.imx";
  if (std::FILE* f = std::fopen(container.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  le::isImxV2File(container);
  try {
    le::unwrapOnce(container);
  } catch (const std::exception&) {
  }
  le::rmTree(dir + "/out");
  le::mkdirs(dir + "/out");
  return 0;
}
