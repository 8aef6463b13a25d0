// vozaz serve's network side: one thread runs Boost.Asio's event loop, where
// Boost.Beast serves the page and /status over HTTP and carries each
// session's WebSocket on /ws. It never blocks on a session: audio goes into
// the session's inbox, frames come out of its outbox.
#pragma once

#include <functional>
#include <string>

#include "serve_session.h"

namespace vozaz::serve {

struct Listen {
  std::string host = "127.0.0.1";
  int port = 8080;  // 0: any free port
  int maxSessions = 2;
};

struct Totals {
  int served = 0, refused = 0;
};

// Serves until SIGINT or SIGTERM; `listening` is called once with the
// page's address. Throws when the address cannot be bound.
Totals runServer(const Listen& listen, const Options& opts, ContextShelf& shelf,
                 const std::function<void(const std::string& url)>& listening);

}  // namespace vozaz::serve
