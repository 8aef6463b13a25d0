#include "support/child.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "bundle/files.h"

namespace lt {

Child::Child(const std::string& cmd, std::string log) : log_(std::move(log)) {
  const std::string line = "exec " + cmd + " > " + log_ + " 2>&1";
  std::remove(log_.c_str());  // a previous run's log must not answer waitForLog
  pid_ = ::fork();
  if (pid_ == 0) {
    // Its own process group, so that stop() also ends what it started (a
    // browser's helpers); and killed with us, should this process die first.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid_ > 0) ::setpgid(pid_, pid_);  // also here: stop() may come before the child runs
}

Child::~Child() { stop(); }

bool Child::exited() const {
  int status = 0;
  if (status_ < 0 && pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_)
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  return status_ >= 0;
}

int Child::stop() {
  if (pid_ <= 0) return -1;
  if (!exited()) ::kill(pid_, SIGTERM);
  for (int i = 0; i < 2000 && !exited(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!exited()) {
    ::kill(pid_, SIGKILL);
    for (int i = 0; i < 500 && !exited(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(-pid_, SIGKILL);  // anything of its group left behind
  pid_ = -1;
  return status_ == 128 ? -1 : status_;
}

std::string Child::waitForLog(const std::regex& re, double timeoutS) const {
  const auto by = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutS);
  std::smatch m;
  for (;;) {
    std::string text;
    le::readWhole(log_, text);
    if (std::regex_search(text, m, re)) return m.size() > 1 ? m[1].str() : m[0].str();
    if (std::chrono::steady_clock::now() > by || exited()) return "";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::string Child::log() const {
  std::string text;
  le::readWhole(log_, text);
  return text;
}

int Child::threads() const {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/task", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

}  // namespace lt
