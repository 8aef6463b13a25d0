// The warm-up thread (motion back-end and chunk renderer) and the dispatch
// thread (every call on the motion back-end after warm-up).
#include <algorithm>
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
  const bool streaming = le::audio::hasStreamingEncoder(opts_.motionDir);
  try {
    motion = le::audio::openMotionBackend(opts_.motionDir, streaming, opts_.threads > 0 ? opts_.threads : ctx_.threads,
                                          opts_.motionEp);
  } catch (const std::exception& e) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      fatal_ = true;
      fatalMsg_ = std::string(streaming ? "le_a2x_create: " : "le_motion_create: ") + e.what();
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
    noteRenderFail("warm-up", *e.what() ? e.what() : "unknown failure", false);
  } catch (...) {
    chunk.reset();
    noteRenderFail("warm-up", "unknown failure", false);
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    chunk_ = std::move(chunk);
    motion_ = std::move(motion);
    ready_ = true;
  }
  mainCv_.notify_all();
}

void le_utt::dispatchLoop() {
  le::threads::Registration census("utt dispatch", "le_utt", 1, "feeds audio to the motion back-end, pulls rows");
  DispatchRecord job;
  job.idx.resize(kRowCapacity);
  job.xs.resize(kRowCapacity * le::kKpFloats);
  job.xd.resize(kRowCapacity * le::kKpFloats);
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(dmu_);
      while (!rec_.posted && !rec_.stop) dcv_.wait_for(lock, std::chrono::milliseconds(kWaitMs));
      if (rec_.stop) return;
      job.motion = rec_.motion;
      job.samples = std::move(rec_.samples);
      rec_.samples.clear();
      job.reset = rec_.reset;
      job.start = rec_.start;
      job.direction = rec_.direction;
      job.finish = rec_.finish;
      job.eager = rec_.eager;
      job.max = rec_.max;
      rec_.posted = false;
    }
    job.pulled = 0;
    job.avail = 0;
    job.total = -1;
    job.failed = false;
    std::string failure;
    try {
      le::audio::MotionBackend& m = *job.motion;
      if (job.reset) m.reset(job.start, job.direction, 1);
      if (job.eager != 0) m.setEager(job.eager);
      if (!job.samples.empty()) m.push(job.samples.data(), static_cast<int>(job.samples.size()));
      if (job.finish) m.finish();
      int avail = m.avail();
      if (job.max > 0 && avail > 0) {
        job.pulled = m.pull(job.idx.data(), job.xs.data(), job.xd.data(), std::min(avail, job.max));
        avail -= job.pulled;
      }
      job.avail = std::max(avail, 0);
      job.total = m.total();
    } catch (const std::exception& e) {
      job.failed = true;
      failure = e.what();
    } catch (...) {
      job.failed = true;
      failure = "unknown failure";
    }
    // The back-end is only good for a reset after a failure: the utterance
    // ends with the rows it gave.
    if (job.failed) noteRenderFail("motion", failure, false);
    {
      std::lock_guard<std::mutex> lock(dmu_);
      rec_.pulled = job.pulled;
      rec_.avail = job.avail;
      rec_.total = job.total;
      rec_.failed = job.failed;
      const size_t rows = static_cast<size_t>(std::clamp(job.pulled, 0, kRowCapacity));
      std::copy_n(job.idx.begin(), rows, rec_.idx.begin());
      std::copy_n(job.xs.begin(), rows * le::kKpFloats, rec_.xs.begin());
      std::copy_n(job.xd.begin(), rows * le::kKpFloats, rec_.xd.begin());
      rec_.done = true;
    }
    dcv_.notify_all();
    mainCv_.notify_all();
  }
}
