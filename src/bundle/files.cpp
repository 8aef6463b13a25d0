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

}  // namespace

std::string readFile(const std::string& path) {
  FilePtr f = openRead(path);
  struct stat st;
  if (!f || ::fstat(::fileno(f.get()), &st) != 0) throw std::runtime_error("cannot open " + path);
  if (S_ISDIR(st.st_mode)) throw std::runtime_error("cannot open " + path);
  std::string bytes(static_cast<size_t>(st.st_size), '\0');
  if (!bytes.empty() && std::fread(bytes.data(), 1, bytes.size(), f.get()) != bytes.size())
    throw std::runtime_error("short read " + path);
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
