// The warm-up thread: the motion back-end, the steady chunk renderer and
// one warm-up render of each renderer, before the session is ready.
#include <cstring>
#include <exception>

#include "base/log.h"
#include "base/threads.h"
#include "bundle/drive.h"
#include "render/renderer.h"
#include "session/utt.h"

using namespace le::session;

void le_utt::warm() {
  le::threads::Registration census("utt warm-up", "le_utt", 1, "loads the motion back-end and the chunk renderer");
  std::unique_ptr<le::audio::MotionBackend> motion;
  bool streaming = true;
  try {
    streaming = le::audio::hasStreamingEncoder(opts_.motionDir);
    motion = le::audio::openMotionBackend(opts_.motionDir, streaming, opts_.threads > 0 ? opts_.threads : ctx_.threads,
                                          opts_.motionEp);
  } catch (const std::exception& e) {
    {
      le::MutexLock lock(mu_);
      warmed_.fatal = true;
      warmed_.fatalMsg = std::string(streaming ? "le_a2x_create: " : "le_motion_create: ") + e.what();
    }
    mainCv_.notify_all();
    return;
  } catch (...) {
    {
      le::MutexLock lock(mu_);
      warmed_.fatal = true;
      warmed_.fatalMsg = "le_utt: the motion back-end failed to load";
    }
    mainCv_.notify_all();
    return;
  }
  std::unique_ptr<le::Renderer> chunk;
  try {
    motion->setEager(opts_.hybrid ? 3 : opts_.eager);
    if (opts_.steadyModel != "-") {
      chunk = std::make_unique<le::Renderer>(ctx_.manifest, ctx_.identity, opts_.steadyModel, ctx_.rendererThreads,
                                             ctx_.ep);
      if (!std::strcmp(ctx_.renderer.ep(), "coreml-native") && std::strcmp(chunk->ep(), "coreml-native")) {
        le::log::warn(
            "[le_utt] steady chunk renderer '%s' DROPPED (rendering b1-only): this frame graph runs on ep=%s while "
            "the chunk graph fell back to ep=%s. A chunk that gives up the bundle's own CoreML director costs MORE "
            "per frame than the per-frame path it was meant to amortize, and letting timing choose between two "
            "runtimes makes the delivered pixels depend on scheduling.\n",
            opts_.steadyModel.c_str(), ctx_.renderer.ep(), chunk->ep());
        chunk.reset();
      }
    }
    if (ctx_.drive.n > 0) {
      const int si = ctx_.drive.si[0];
      ctx_.renderer.render(&si, ctx_.drive.xs.data(), ctx_.drive.xd.data(), 1);
      if (chunk) chunk->render(&si, ctx_.drive.xs.data(), ctx_.drive.xd.data(), 1);
    }
  } catch (const std::exception& e) {
    // A session without a chunk renderer still serves, one frame per render.
    chunk.reset();
    noteFailure("warm-up", *e.what() ? e.what() : "unknown failure", false);
  } catch (...) {
    chunk.reset();
    noteFailure("warm-up", "unknown failure", false);
  }
  {
    le::MutexLock lock(mu_);
    warmed_.chunk = std::move(chunk);
    warmed_.motion = std::move(motion);
    warmed_.ready = true;
  }
  mainCv_.notify_all();
}
