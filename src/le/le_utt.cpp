// le_utt_*: the C family of the utterance session. Its last error is its
// own thread-local text, cleared by le_utt_create.
#include "le/le_utt.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "le/context.h"
#include "le/last_error.h"
#include "audio/motion_backend.h"
#include "session/utt.h"
#include "tessera/head_pt.h"
#include "tessera/teeth_pass.h"

static_assert(sizeof(le_utt_opts) == 56, "le_utt_opts is 56 bytes");

namespace {

std::string& uttError() {
  thread_local std::string text;
  return text;
}

template <class R, class Body>
R uttGuarded(const char* fn, R failed, Body&& body) noexcept {
  return le::guardInto(uttError(), fn, failed, std::forward<Body>(body));
}

}  // namespace

extern "C" {

LE_API le_utt* le_utt_create(le_ctx* ctx, const le_utt_opts* opts) {
  uttError().clear();
  if (!ctx || !opts) {
    uttError() = "le_utt_create: NULL ctx/opts";
    return nullptr;
  }
  return uttGuarded("le_utt_create", static_cast<le_utt*>(nullptr), [&] {
    le::session::RawOptions raw;
    raw.motionDir = opts->motion_dir;
    raw.threads = opts->threads;
    raw.motionEp = opts->motion_ep;
    raw.steadyModel = opts->steady_model;
    raw.eager = opts->eager;
    raw.endSilenceS = opts->end_silence_s;
    raw.endRampFrames = opts->end_ramp_frames;
    raw.interruptRampFrames = opts->interrupt_ramp_frames;
    const bool streaming = raw.motionDir && *raw.motionDir && le::audio::hasStreamingEncoder(raw.motionDir);
    le::session::Options o = le::session::resolveOptions(raw, streaming, ctx->manifest.NT);
    le::session::checkMotionFits(o.motionDir, streaming, ctx->manifest.NT, ctx->manifest.dir);
    le::Renderer& renderer = ctx->ensureRenderer();
    const le::session::Borrowed borrowed{ctx->manifest, ctx->identity, ctx->drive,          renderer,
                                         *ctx->paste,   *ctx->cursor,  ctx->intraOpThreads, ctx->rendererThreads,
                                         ctx->ep};
    auto utt = std::make_unique<le_utt>(borrowed, std::move(o));
    const char* note = renderer.directorNote();
    if (note && *note) utt->noteFailure("director load", note, false);
    return utt.release();
  });
}

LE_API le_utt* le_utt_open(le_ctx* ctx, const char* motion_dir) {
  le_utt_opts opts;
  std::memset(&opts, 0, sizeof opts);
  opts.motion_dir = motion_dir;
  return le_utt_create(ctx, &opts);
}

LE_API void le_utt_destroy(le_utt* utt) {
  uttGuarded("le_utt_destroy", 0, [&] {
    delete utt;
    return 0;
  });
}

LE_API const char* le_utt_last_error(void) { return uttError().c_str(); }

LE_API int le_utt_ready(le_utt* utt) {
  if (!utt) return -1;
  return uttGuarded("le_utt_ready", -1, [&] {
    std::string fatal;
    const int r = utt->ready(&fatal);
    if (r < 0) uttError() = fatal;
    return r;
  });
}

LE_API int le_utt_push_audio(le_utt* utt, const int16_t* samples, int count) {
  if (!utt || !samples || count < 0) {
    uttError() = "le_utt_push_audio: bad args";
    return 0;
  }
  return uttGuarded("le_utt_push_audio", 0, [&] {
    utt->pushAudio(samples, count);
    return 1;
  });
}

LE_API void le_utt_end_utterance(le_utt* utt) {
  if (utt) uttGuarded("le_utt_end_utterance", 0, [&] {
      utt->endUtterance();
      return 0;
    });
}

LE_API void le_utt_interrupt(le_utt* utt) {
  if (utt) uttGuarded("le_utt_interrupt", 0, [&] {
      utt->interrupt();
      return 0;
    });
}

LE_API int le_utt_frames_available(le_utt* utt) {
  return utt ? uttGuarded("le_utt_frames_available", 0, [&] { return utt->framesAvailable(); }) : 0;
}

LE_API int le_utt_pull_frame(le_utt* utt, uint8_t* dst, size_t capacity, le_utt_frame_info* info) {
  if (!utt || !dst) {
    uttError() = "le_utt_pull_frame: bad args";
    return 0;
  }
  return uttGuarded("le_utt_pull_frame", 0, [&] {
    le::session::FrameInfo got;
    const int r = utt->pullFrame(dst, capacity, &got);
    if (r < 0) {
      uttError() = "le_utt_pull_frame: buffer too small";
      return 0;
    }
    if (r > 0 && info) {
      info->seq = got.seq;
      info->kind = got.kind;
      info->si = got.si;
      info->utt_frame = got.uttFrame;
    }
    return r;
  });
}

LE_API void le_utt_get_stats(le_utt* utt, le_utt_stats* stats) {
  if (!utt || !stats) return;
  uttGuarded("le_utt_get_stats", 0, [&] {
    const le::session::Stats s = utt->stats();
    stats->frames_delivered = s.framesDelivered;
    stats->speech_frames_delivered = s.speechFramesDelivered;
    stats->onsets = s.onsets;
    stats->last_onset_ms = s.lastOnsetMs;
    stats->render_ms_ema = s.renderMsEma;
    stats->state = s.state;
    return 0;
  });
}

LE_API int le_utt_render_status(le_utt* utt, char* text, int capacity, uint64_t* failures) {
  if (!utt) return 0;
  return uttGuarded("le_utt_render_status", 0, [&] {
    std::string status;
    const int r = utt->renderStatus(&status, failures);
    le::copyToCaller(status, text, capacity);
    return r;
  });
}

LE_API int le_utt_tessera_stats(le_utt* utt, uint64_t* counter_a, uint64_t* counter_b, char* text, int capacity) {
  return uttGuarded("le_utt_tessera_stats", 0, [&] {
    le::session::TeethReport r;
    const int state = utt ? utt->teethReport(&r) : 0;
    if (counter_a) *counter_a = r.counterA;
    if (counter_b) *counter_b = r.counterB;
    le::copyToCaller(r.text, text, capacity);
    return state;
  });
}

LE_API int le_utt_tessera_synth_w(le_utt* utt, double* mean, double* last, uint64_t* count) {
  return uttGuarded("le_utt_tessera_synth_w", 0, [&] {
    le::session::TeethReport r;
    if (!utt || utt->teethReport(&r) == 0 || r.synthCount == 0) return 0;
    if (mean) *mean = r.synthWeightSum / static_cast<double>(r.synthCount);
    if (last) *last = r.synthWeightLast;
    if (count) *count = r.synthCount;
    return 1;
  });
}

LE_API int le_utt_tessera_geometry(le_utt* utt, char* text, int capacity) {
  if (!utt || !text || capacity < 1) return 0;
  return uttGuarded("le_utt_tessera_geometry", 0, [&] {
    le::session::TeethReport r;
    const int attached = utt->teethReport(&r) != 0;
    le::copyToCaller(r.geometry, text, capacity);
    return attached;
  });
}

LE_API int le_utt_tessera_attach(le_utt* utt, const uint8_t* bank, int n_donors, const double* donor_cent,
                                 const double* c_canon, const double* apertures, const int* stamp,
                                 const char* head_json, const uint8_t* head_pt, long head_pt_len,
                                 const char* manifest_json, char* err, int err_len) {
  const auto refuse = [&](const std::string& text) {
    le::copyToCaller(text, err, err_len);
    return 1;
  };
  if (!utt) return refuse("le_utt_tessera_attach: null session");
  if (!bank || !donor_cent || !c_canon || !apertures || !stamp || !head_json || !head_pt || head_pt_len <= 0 ||
      !manifest_json)
    return refuse("le_utt_tessera_attach: a required member is null — this ABI has no partial-attach state");
  if (n_donors <= 0) return refuse("le_utt_tessera_attach: n_donors <= 0");
  try {
    using namespace le::tessera;
    BankData b = bankFromArrays(bank, n_donors, donor_cent, c_canon, apertures, stamp);
    const ServeConfig config = ServeConfig::fromHeadMemberJson(head_json);
    const HeadWeights head = loadHeadPt(std::vector<uint8_t>(head_pt, head_pt + head_pt_len));
    utt->attachTeeth(std::move(b), head, config, manifest_json);
    return 0;
  } catch (const std::bad_alloc&) {
    return refuse("le_utt_tessera_attach: out of memory");
  } catch (const std::exception& e) {
    return refuse(std::string("le_utt_tessera_attach: ") + e.what());
  } catch (...) {
    return refuse("le_utt_tessera_attach: unknown failure");
  }
}

}  // extern "C"
