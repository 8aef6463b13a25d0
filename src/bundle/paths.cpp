#include "bundle/paths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

namespace le {

std::string rstripSlash(const std::string& p) {
  size_t n = p.size();
  while (n > 1 && p[n - 1] == '/') --n;
  return p.substr(0, n);
}

std::string baseName(const std::string& p) {
  const std::string s = rstripSlash(p);
  const size_t slash = s.rfind('/');
  return slash == std::string::npos ? s : s.substr(slash + 1);
}

std::string dirName(const std::string& p) {
  const std::string s = rstripSlash(p);
  const size_t slash = s.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return s.substr(0, slash);
}

bool isDirectory(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool pathExists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

bool opensForReading(const std::string& p) {
  std::FILE* f = std::fopen(p.c_str(), "rb");
  if (!f) return false;
  std::fclose(f);
  return true;
}

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool mkdirs(const std::string& p) {
  if (p.empty() || p == "." || p == "..") return true;
  if (isDirectory(p)) return true;
  const std::string parent = dirName(p);
  if (parent != p && !mkdirs(parent)) return false;
  if (::mkdir(p.c_str(), 0755) == 0) return true;
  // Lost a race with another creator, or the path already existed.
  return isDirectory(p);
}

void rmTree(const std::string& p) {
  struct stat st;
  if (::lstat(p.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    ::unlink(p.c_str());
    return;
  }
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(p.c_str()), ::closedir);
  if (dir) {
    while (const dirent* e = ::readdir(dir.get())) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      rmTree(p + "/" + name);
    }
  }
  ::rmdir(p.c_str());
}

}  // namespace le
