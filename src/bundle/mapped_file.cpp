#include "bundle/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <utility>

namespace le {

Mapping::~Mapping() { release(); }

Mapping::Mapping(Mapping&& o) noexcept
    : base_(std::exchange(o.base_, nullptr)), length_(std::exchange(o.length_, 0)) {}

Mapping& Mapping::operator=(Mapping&& o) noexcept {
  if (this != &o) {
    release();
    base_ = std::exchange(o.base_, nullptr);
    length_ = std::exchange(o.length_, 0);
  }
  return *this;
}

void Mapping::release() {
  if (base_ && length_) ::munmap(const_cast<void*>(base_), length_);
  base_ = nullptr;
  length_ = 0;
}

namespace {

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

template <typename T>
std::vector<T> readRaw(const std::string& path, size_t n) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) throw std::runtime_error("cannot open " + path);
  std::vector<T> out(n);
  const size_t got = n ? std::fread(out.data(), sizeof(T), n, f.get()) : 0;
  char extra;
  if (got != n || std::fread(&extra, 1, 1, f.get()) != 0) throw std::runtime_error("size mismatch " + path);
  return out;
}

}  // namespace

Mapping mapFile(const std::string& path, size_t expected) {
  FdCloser fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (fd.fd < 0) throw std::runtime_error("cannot open " + path);
  struct stat st;
  if (::fstat(fd.fd, &st) != 0 || static_cast<size_t>(st.st_size) != expected)
    throw std::runtime_error("size mismatch " + path);
  if (expected == 0) return {};
  void* p = ::mmap(nullptr, expected, PROT_READ, MAP_PRIVATE, fd.fd, 0);
  if (p == MAP_FAILED) throw std::runtime_error("mmap failed " + path);
  return Mapping(p, expected);
}

std::vector<float> readRawF32(const std::string& path, size_t n) { return readRaw<float>(path, n); }
std::vector<int32_t> readRawI32(const std::string& path, size_t n) { return readRaw<int32_t>(path, n); }

}  // namespace le
