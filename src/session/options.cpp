#include <stdexcept>

#include "base/env.h"
#include "session/types.h"

namespace le::session {

Options resolveOptions(const RawOptions& raw, bool streaming, int frameCount) {
  Options o;
  if (!raw.motionDir || !*raw.motionDir) throw std::runtime_error("opts.motion_dir required");
  o.motionDir = raw.motionDir;
  o.threads = raw.threads;
  o.motionEp = raw.motionEp ? raw.motionEp : "";
  if (raw.steadyModel && *raw.steadyModel) o.steadyModel = raw.steadyModel;
  if (env::nonEmpty("LE_STEADY_MODEL")) o.steadyModel = env::text("LE_STEADY_MODEL");
  if (raw.eager == -2) {
    o.hybrid = true;
  } else if (raw.eager < 1) {
    o.eager = -1;
    o.hybrid = env::nonEmpty("LE_UTT_HYBRID") && !env::equals("LE_UTT_HYBRID", "0");
  } else {
    o.eager = raw.eager;
  }
  if (raw.endSilenceS < 0)
    o.endSilenceMs = -1;
  else if (raw.endSilenceS > 0)
    o.endSilenceMs = raw.endSilenceS * 1000.0;
  if (raw.endRampFrames >= 1) o.endRampFrames = raw.endRampFrames;
  if (raw.interruptRampFrames >= 1) o.interruptRampFrames = raw.interruptRampFrames;
  const std::optional<long> pipe = env::integer("LE_UTT_PIPELINE_PASTE");
  o.pipelinePaste = pipe ? *pipe != 0 : streaming;
  const std::optional<long> onset = env::integer("LE_UTT_ONSET_SI");
  if (onset && *onset >= 0 && frameCount > 0) o.onsetIndex = static_cast<int>(*onset % frameCount);
  o.stageReport = env::raw("LE_UTT_STAGE_REPORT") != nullptr;
  return o;
}

}  // namespace le::session
