// vozaz serve: see an avatar talk in a browser. One page, compiled into the
// binary, takes the microphone or an audio file and streams 20 ms packets
// over a WebSocket; each connection gets its own utterance session, whose
// frames come back as JPEG on a 25 fps clock.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "args.h"
#include "commands.h"
#include "serve_log.h"
#include "serve_net.h"

namespace vozaz {
namespace {

// Loads the avatar and its motion models once before listening, so a bad
// bundle, motion directory or encoder is refused here and not in a browser;
// the context stays on the shelf for the first session.
void check(const serve::Options& opts, serve::ContextShelf& shelf) {
  le_ctx_ptr ctx = shelf.take();
  le_utt_opts o{};
  o.motion_dir = opts.motion.c_str();
  o.threads = opts.threads;
  o.steady_model = steadyModelFor(opts.bundle);
  Utt utt = openReady(ctx.get(), o);
  std::fprintf(stderr, "vozaz serve: %s, %dx%d, motion models from %s\n", opts.bundle.c_str(), le_width(ctx.get()),
               le_height(ctx.get()), opts.motion.c_str());
  utt.reset();
  shelf.put(std::move(ctx));
}

}  // namespace

int serveCommand(const Args& a) {
  if (a.positional().size() != 2) return a.usage();
  serve::Options opts;
  opts.bundle = a.positional()[0];
  opts.motion = a.positional()[1];
  opts.threads = a.integer("--threads", 0);
  serve::Listen listen;
  listen.host = a.str("--host", listen.host);
  listen.port = a.integer("--port", listen.port);
  listen.maxSessions = a.integer("--max-sessions", listen.maxSessions);
  if (listen.port < 0 || listen.port > 65535)
    throw std::runtime_error("--port takes 0 to 65535 (0: any free port), not " + std::to_string(listen.port));
  if (listen.maxSessions < 1)
    throw std::runtime_error("--max-sessions takes 1 or more, not " + std::to_string(listen.maxSessions));
  if (a.has("--w2v")) useSpeechEncoder(a.str("--w2v"));
  if (!std::getenv("W2V_ONNX"))
    throw std::runtime_error("--w2v must name the speech encoder (an .onnx file), or W2V_ONNX must be set");

  serve::ContextShelf shelf(opts.bundle, opts.threads);
  check(opts, shelf);
  const auto start = std::chrono::steady_clock::now();
  const serve::Totals totals = serve::runServer(listen, opts, shelf, [&](const std::string& url) {
    serve::logLine("vozaz serve: listening on %s (open it in a browser; Ctrl-C stops)%s", url.c_str(),
                   listen.host == "127.0.0.1" ? "" : "; reachable beyond this machine");
  });
  serve::logLine("vozaz serve: stopped after %.0f s: %d sessions served, %d refused",
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), totals.served,
                 totals.refused);
  return 0;
}

}  // namespace vozaz
