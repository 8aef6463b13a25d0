#include "bundle/files.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace le {
namespace {

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

FilePtr openRead(const std::string& path) { return FilePtr(std::fopen(path.c_str(), "rb"), std::fclose); }

std::string readChunks(std::FILE* f) {
  std::string text;
  char chunk[8192];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, got);
  return text;
}

template <class Bytes>
ReadStatus readInto(const std::string& path, Bytes& out) {
  out.clear();
  FilePtr f = openRead(path);
  struct stat st;
  if (!f || ::fstat(::fileno(f.get()), &st) != 0 || S_ISDIR(st.st_mode)) return ReadStatus::kCannotOpen;
  out.resize(static_cast<size_t>(st.st_size));
  if (!out.empty() && std::fread(out.data(), 1, out.size(), f.get()) != out.size()) return ReadStatus::kShort;
  return ReadStatus::kOk;
}

}  // namespace

ReadStatus readWhole(const std::string& path, std::string& out) { return readInto(path, out); }
ReadStatus readWhole(const std::string& path, std::vector<uint8_t>& out) { return readInto(path, out); }

std::string readFile(const std::string& path) {
  std::string bytes;
  switch (readWhole(path, bytes)) {
    case ReadStatus::kCannotOpen: throw std::runtime_error("cannot open " + path);
    case ReadStatus::kShort: throw std::runtime_error("short read " + path);
    case ReadStatus::kOk: break;
  }
  return bytes;
}

std::string readText(const std::string& path) {
  FilePtr f = openRead(path);
  if (!f) throw std::runtime_error("cannot open " + path);
  return readChunks(f.get());
}

std::string readTextOrEmpty(const std::string& path) {
  FilePtr f = openRead(path);
  return f ? readChunks(f.get()) : std::string();
}

}  // namespace le
