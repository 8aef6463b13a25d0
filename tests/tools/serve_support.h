// vozaz serve on the forged session bundles, on a free port, for the tests
// that drive it as clients do.
#pragma once

#include <string>

#include "support/child.h"
#include "support/ws_client.h"

namespace lt {

class Serve {
 public:
  Serve(const std::string& dir, const std::string& args);
  int port() const { return port_; }
  // Sessions open, from /status; -1 when the server does not answer.
  int sessions() const;
  // Polls until `sessions` is want, up to timeoutS; the last count seen.
  int waitSessions(int want, double timeoutS) const;
  Child child;

 private:
  int port_ = 0;
};

// Reads up to the session's ready message; its session number, or -1.
int readyId(WsClient& ws);

}  // namespace lt
