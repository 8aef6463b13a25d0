#include "bundle/imx.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "base/env.h"
#include "base/log.h"
#include "bundle/paths.h"

namespace le {
namespace {

constexpr size_t kCopyChunk = 8u << 20;
constexpr uint64_t kManifestPreRead = 4u << 20;  // manifest.json members read whole

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

std::mutex& unwrapMutex() {
  static std::mutex m;
  return m;
}

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const unsigned char* p) { return le16(p) | static_cast<uint32_t>(le16(p + 2)) << 16; }
uint64_t le64(const unsigned char* p) { return le32(p) | static_cast<uint64_t>(le32(p + 4)) << 32; }

bool readExact(std::FILE* f, void* dst, size_t n) { return std::fread(dst, 1, n, f) == n; }

bool seekTo(std::FILE* f, uint64_t off) {
  return off <= static_cast<uint64_t>(INT64_MAX) && ::fseeko(f, static_cast<off_t>(off), SEEK_SET) == 0;
}

struct Layout {
  std::string dir;     // D
  std::string marker;  // D + ".imx_unwrapped"
};

Layout unwrapLayout(const std::string& container) {
  std::string name = baseName(container);
  if (endsWith(name, ".imx")) name.resize(name.size() - 4);
  if (!endsWith(name, ".lebundle")) name += ".lebundle";
  std::string root =
      rstripSlash(env::nonEmpty("LE_IMX_UNWRAP_ROOT") ? env::text("LE_IMX_UNWRAP_ROOT") : dirName(container));
  if (root != "/") root += "/";
  Layout l;
  l.dir = root + name;
  l.marker = l.dir + kImxMarkerSuffix;
  return l;
}

std::string markerText(const std::string& container, const struct stat& st) {
  const unsigned long long mtime_ns = static_cast<unsigned long long>(st.st_mtim.tv_sec) * 1000000000ull +
                                      static_cast<unsigned long long>(st.st_mtim.tv_nsec);
  return "imx-unwrapped.v2 " + baseName(container) + " " + std::to_string(static_cast<long long>(st.st_size)) + " " +
         std::to_string(mtime_ns) + " " + std::to_string(static_cast<unsigned long long>(st.st_ino));
}

std::string trimmed(const std::string& s) {
  const char* blanks = " \t\r\n";
  const size_t b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

bool markerMatches(const Layout& l, const std::string& expected) {
  if (!isDirectory(l.dir)) return false;
  FilePtr f(std::fopen(l.marker.c_str(), "rb"), std::fclose);
  if (!f) return false;
  // The expected text bounds what is worth reading.
  std::string text(expected.size() + 64, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), f.get()));
  return trimmed(text) == expected;
}

bool unsafeName(const std::string& name) {
  return name.empty() || name[0] == '/' || name[0] == '\\' || name.find("..") != std::string::npos ||
         name.find('\0') != std::string::npos;
}

struct Entry {
  std::string name;
  uint64_t offset = 0;
  uint64_t size = 0;
};

std::vector<Entry> readToc(std::FILE* f, const std::string& c) {
  unsigned char head[8];
  if (!readExact(f, head, sizeof head) || le32(head) != kImxMagic)
    throw std::runtime_error(c + ": not an IMX\\0 container");
  if (le16(head + 4) != kImxVersion)
    throw std::runtime_error(c + ": unsupported IMX container version " + std::to_string(le16(head + 4)));
  const unsigned count = le16(head + 6);
  std::vector<Entry> toc(count);
  for (unsigned i = 0; i < count; ++i) {
    unsigned char len[2];
    if (!readExact(f, len, 2)) throw std::runtime_error(c + ": truncated TOC at member " + std::to_string(i));
    toc[i].name.resize(le16(len));
    if (!readExact(f, toc[i].name.data(), toc[i].name.size()))
      throw std::runtime_error(c + ": truncated member name at " + std::to_string(i));
    unsigned char pos[16];
    if (!readExact(f, pos, sizeof pos))
      throw std::runtime_error(c + ": truncated TOC offsets at member " + toc[i].name);
    toc[i].offset = le64(pos);
    toc[i].size = le64(pos + 8);
  }
  return toc;
}

// A manifest written only to make a container self-describing is not part
// of the bundle. Any failure to look just means the member is kept.
bool isSyntheticManifest(std::FILE* f, const Entry& e) {
  if (e.name != "manifest.json" || e.size < 1 || e.size > kManifestPreRead) return false;
  std::string text(e.size, '\0');
  if (!seekTo(f, e.offset) || !readExact(f, text.data(), text.size())) return false;
  return text.find("_imx_synthetic_manifest") != std::string::npos;
}

// Removes a half-written ".part" file unless it was placed.
struct PartFile {
  std::string path;
  bool placed = false;
  ~PartFile() {
    if (!placed) ::unlink(path.c_str());
  }
};

void materialise(std::FILE* in, const std::string& c, const std::string& dir, const Entry& e, std::vector<char>& buf) {
  const std::string dest = dir + "/" + e.name;
  const std::string parent = dirName(dest);
  if (!mkdirs(parent)) throw std::runtime_error("cannot create " + parent);
  if (!seekTo(in, e.offset)) throw std::runtime_error(c + ": cannot seek to member " + e.name);
  PartFile part{dest + ".part"};
  FilePtr out(std::fopen(part.path.c_str(), "wb"), std::fclose);
  if (!out) throw std::runtime_error("cannot write " + part.path);
  for (uint64_t left = e.size; left > 0;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, buf.size()));
    const size_t got = std::fread(buf.data(), 1, want, in);
    if (got == 0) throw std::runtime_error(c + ": truncated payload for member " + e.name);
    if (std::fwrite(buf.data(), 1, got, out.get()) != got)
      throw std::runtime_error("short write materialising " + dest);
    left -= got;
  }
  if (std::fflush(out.get()) != 0) throw std::runtime_error("flush failed materialising " + dest);
  if (std::fclose(out.release()) != 0) throw std::runtime_error("flush failed materialising " + dest);
  if (::rename(part.path.c_str(), dest.c_str()) != 0) throw std::runtime_error("cannot place member " + dest);
  part.placed = true;
}

void writeMarker(const std::string& path, const std::string& text) {
  FilePtr f(std::fopen(path.c_str(), "wb"), std::fclose);
  if (!f) throw std::runtime_error("cannot write unwrap marker " + path);
  if (std::fwrite(text.data(), 1, text.size(), f.get()) != text.size() || std::fclose(f.release()) != 0)
    throw std::runtime_error("short write on unwrap marker " + path);
}

}  // namespace

bool isImxV2File(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  FilePtr f(std::fopen(path.c_str(), "rb"), std::fclose);
  unsigned char head[8];
  return f && readExact(f.get(), head, sizeof head) && le32(head) == kImxMagic && le16(head + 4) == kImxVersion;
}

std::string unwrapOnce(const std::string& c) {
  std::lock_guard<std::mutex> lock(unwrapMutex());
  const Layout l = unwrapLayout(c);
  struct stat st;
  if (::lstat(c.c_str(), &st) != 0) throw std::runtime_error("cannot stat container " + c);
  const std::string expected = markerText(c, st);
  if (markerMatches(l, expected)) return l.dir;

  // Another process may be unwrapping the same container: an advisory lock
  // on the container itself serialises the rebuilds, and whoever comes
  // second finds the finished marker instead of deleting the first's work.
  FilePtr in(std::fopen(c.c_str(), "rb"), std::fclose);
  if (in && ::flock(::fileno(in.get()), LOCK_EX) == 0 && markerMatches(l, expected)) return l.dir;

  ::unlink(l.marker.c_str());
  rmTree(l.dir);
  if (!mkdirs(l.dir)) throw std::runtime_error("cannot create unwrap dir " + l.dir);
  if (!in) throw std::runtime_error("cannot open container " + c);

  // One copy buffer for every payload: 8 MiB, or the whole container when smaller.
  std::vector<char> buf(static_cast<size_t>(std::min<uint64_t>(kCopyChunk, std::max<off_t>(st.st_size, 1))));
  for (const Entry& e : readToc(in.get(), c)) {
    if (unsafeName(e.name)) throw std::runtime_error(c + ": refusing unsafe member name '" + e.name + "'");
    if (isSyntheticManifest(in.get(), e)) continue;
    materialise(in.get(), c, l.dir, e, buf);
  }
  writeMarker(l.marker, expected);  // last, and before the lock goes with `in`
  in.reset();
  log::report("[le] unwrapped %s -> %s\n", c.c_str(), l.dir.c_str());
  return l.dir;
}

std::string resolveBundlePath(const std::string& path) {
  if (path.empty()) return "";
  if (isDirectory(path)) {
    if (!pathExists(rstripSlash(path) + kImxMarkerSuffix)) return path;
  } else if (endsWith(path, ".imx") && isImxV2File(path)) {
    return unwrapOnce(path);
  }
  const std::string sibling = rstripSlash(path) + ".imx";
  if (isImxV2File(sibling)) return unwrapOnce(sibling);
  if (isImxV2File(path)) return unwrapOnce(path);
  return path;
}

}  // namespace le
