// Read-only bundle arrays: private memory mappings and exact-size raw reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace le {

// A read-only private mapping, unmapped on destruction; empty when absent.
class Mapping {
 public:
  Mapping() = default;
  Mapping(const void* base, size_t length) : base_(base), length_(length) {}
  ~Mapping();
  Mapping(Mapping&& o) noexcept;
  Mapping& operator=(Mapping&& o) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  const uint8_t* data() const { return static_cast<const uint8_t*>(base_); }
  size_t size() const { return length_; }
  explicit operator bool() const { return base_ != nullptr; }

 private:
  void release();
  const void* base_ = nullptr;
  size_t length_ = 0;
};

// Maps path whole; throws "cannot open", "size mismatch" or "mmap failed"
// followed by the path.
Mapping mapFile(const std::string& path, size_t expected);

// Exactly n raw little-endian elements of 4 bytes; throws "cannot open <path>"
// or "size mismatch <path>".
std::vector<float> readRawF32(const std::string& path, size_t n);
std::vector<int32_t> readRawI32(const std::string& path, size_t n);

}  // namespace le
