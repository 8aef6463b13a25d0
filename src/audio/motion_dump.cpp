#include "audio/motion_dump.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include "base/log.h"

namespace le::motion {

Dump::Dump(std::string dir) : dir_(std::move(dir)) {
  if (on()) ::mkdir(dir_.c_str(), 0755);  // an existing directory is fine
}

void Dump::write(const char* name, const float* data, size_t n) {
  if (on()) put(name, "wb", data, n);
}

void Dump::append(const char* name, const float* data, size_t n) {
  if (!on()) return;
  const bool fresh = started_.insert(name).second;
  put(name, fresh ? "wb" : "ab", data, n);
}

void Dump::put(const char* name, const char* mode, const float* data, size_t n) {
  const std::string path = dir_ + name;
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), mode), std::fclose);
  if (f && std::fwrite(data, sizeof(float), n, f.get()) == n) return;
  if (!warned_) log::warn("[le_motion] dump: cannot write %s; later failures are not reported\n", path.c_str());
  warned_ = true;
}

}  // namespace le::motion
