// A program a test starts in the background and stops: `sh -c "exec <cmd>"`
// with its output in a log file. The destructor stops it (SIGTERM, SIGKILL
// after 20 s) and reaps it. Shared with the benchmarks, so no GoogleTest here.
#pragma once

#include <sys/types.h>

#include <regex>
#include <string>

namespace lt {

class Child {
 public:
  Child(const std::string& cmd, std::string log);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Group 1 of the first match of re in the log, polled until timeoutS
  // passes or the program exits ("" then).
  std::string waitForLog(const std::regex& re, double timeoutS) const;
  // SIGTERM, then the exit status once it has exited (-1 on a signal).
  int stop();
  // Threads of the process now, from /proc.
  int threads() const;
  bool exited() const;
  // Everything it has written so far, for a failure message.
  std::string log() const;

 private:
  pid_t pid_ = -1;
  mutable int status_ = -1;  // once reaped
  const std::string log_;
};

}  // namespace lt
