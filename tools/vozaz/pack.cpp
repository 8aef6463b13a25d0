// vozaz pack: a bundle directory becomes one IMX v2 container. Members are
// stored in sorted name order with every payload 64-byte aligned, written to
// "<out>.part" and renamed into place, so a failed pack leaves no container.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/imx.h"
#include "commands.h"

namespace fs = std::filesystem;

namespace vozaz {
namespace {

constexpr uint64_t kAlign = 64;

struct Member {
  std::string name;
  fs::path path;
  uint64_t offset = 0;
  uint64_t size = 0;
};

void put(std::string& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

std::vector<Member> collect(const fs::path& root) {
  std::vector<Member> members;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    Member m;
    m.name = fs::relative(e.path(), root).generic_string();
    m.path = e.path();
    m.size = e.file_size();
    if (m.name.size() > UINT16_MAX) throw std::runtime_error("member name too long: " + m.name);
    members.push_back(std::move(m));
  }
  std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) { return a.name < b.name; });
  if (members.size() > UINT16_MAX)
    throw std::runtime_error("a container holds at most 65535 members, the bundle has " +
                             std::to_string(members.size()));
  return members;
}

std::string header(std::vector<Member>& members) {
  uint64_t toc = 8;
  for (const Member& m : members) toc += 2 + m.name.size() + 16;
  uint64_t at = (toc + kAlign - 1) / kAlign * kAlign;
  for (Member& m : members) {
    m.offset = at;
    at = (at + m.size + kAlign - 1) / kAlign * kAlign;
  }
  std::string h;
  put(h, le::kImxMagic, 4);
  put(h, le::kImxVersion, 2);
  put(h, members.size(), 2);
  for (const Member& m : members) {
    put(h, m.name.size(), 2);
    h += m.name;
    put(h, m.offset, 8);
    put(h, m.size, 8);
  }
  return h;
}

void writeContainer(const fs::path& dir, const std::string& out) {
  std::vector<Member> members = collect(dir);
  const std::string head = header(members);
  const std::string part = out + ".part";
  {
    std::ofstream o(part, std::ios::binary | std::ios::trunc);
    if (!o) throw std::runtime_error("cannot write " + part);
    o.write(head.data(), static_cast<std::streamsize>(head.size()));
    std::vector<char> buf(8u << 20);
    for (const Member& m : members) {
      o.seekp(static_cast<std::streamoff>(m.offset));
      std::ifstream in(m.path, std::ios::binary);
      uint64_t left = m.size;
      while (left > 0 && in) {
        in.read(buf.data(), static_cast<std::streamsize>(std::min<uint64_t>(left, buf.size())));
        o.write(buf.data(), in.gcount());
        left -= static_cast<uint64_t>(in.gcount());
      }
      if (left != 0) throw std::runtime_error("short read " + m.path.string());
    }
    o.flush();
    if (!o) throw std::runtime_error("short write " + part);
  }
  // The file ends where the last payload ends, even when that payload is empty.
  uint64_t end = head.size();
  for (const Member& m : members) end = std::max(end, m.offset + m.size);
  fs::resize_file(part, end);
  fs::rename(part, out);
  std::printf("packed %zu members of %s into %s\n", members.size(), dir.c_str(), out.c_str());
}

}  // namespace

int packCommand(const Args& a) {
  if (a.positional().size() != 2) return a.usage();
  const std::string in = a.positional()[0], out = a.positional()[1];
  if (!fs::is_directory(in)) throw std::runtime_error(std::string("not a directory: ") + in);
  if (!fs::is_regular_file(fs::path(in) / "manifest.json"))
    throw std::runtime_error(std::string(in) + " has no manifest.json, so it is not a bundle; nothing was written");
  try {
    writeContainer(in, out);
  } catch (...) {
    std::error_code ignored;
    fs::remove(std::string(out) + ".part", ignored);
    throw;
  }
  return 0;
}

}  // namespace vozaz
