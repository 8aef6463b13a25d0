#include "bundle/manifest.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "base/env.h"
#include "base/log.h"
#include "bundle/files.h"
#include "bundle/imx.h"
#include "bundle/manifest_key.h"
#include "bundle/paths.h"

namespace le {
namespace {

using namespace manifest_key;

int intField(const std::string& text, const char* key) { return truncToInt(parseNumber(findKey(text, key))); }

std::string startsAfter(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0 ? s.substr(prefix.size()) : std::string();
}

void readPasteStamp(const std::string& text, Manifest& m) {
  const double w = numFieldOr(text, "M_src_w", "paste_source_width");
  const double h = numFieldOr(text, "M_src_h", "paste_source_height");
  if (w == kAbsent || h == kAbsent) {
    if (!env::equals("VANTICE2_MSRC_MISSING_OK", "1"))
      throw std::runtime_error(
          m.dir +
          "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka paste_source_width/height) — "
          "the canvas is " +
          std::to_string(m.W) + "x" + std::to_string(m.H) +
          ", so M cannot be placed: absence is not evidence that M was authored at that size. Re-stamp the bundle "
          "(models/vantice-2/inference/backfill_msrc.py), or set VANTICE2_MSRC_MISSING_OK=1 to restore the legacy "
          "assumption.");
    log::warn(
        "[le] WARNING VANTICE2_MSRC_MISSING_OK=1: %s/manifest.json carries no paste-space stamp; ASSUMING M "
        "was authored on this %dx%d canvas. If it was not, the face pastes off-target (bm#144) and nothing "
        "will say so.\n",
        m.dir.c_str(), m.W, m.H);
    m.M_src_w = m.W;
    m.M_src_h = m.H;
  } else {
    m.M_src_w = truncToInt(w);
    m.M_src_h = truncToInt(h);
  }
  if (m.M_src_w <= 0 || m.M_src_h <= 0)
    throw std::runtime_error("manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");
}

void readMemberNames(const std::string& text, MemberNames& n) {
  // Driver member names treat an empty value as absent; the prior's do not.
  struct Renamable {
    const char* key;
    std::string MemberNames::*name;
    bool emptyIsAbsent;
  };
  static const Renamable kRenamable[] = {
      {"P_rgb", &MemberNames::rawPrior, false},
      {"P_hevc", &MemberNames::videoPrior, false},
      {"target_frames", &MemberNames::targetDir, true},
      {"target_frames_mp4", &MemberNames::targetVideo, true},
  };
  for (const Renamable& r : kRenamable)
    r.emptyIsAbsent ? optStrNonEmpty(text, r.key, n.*r.name) : optStr(text, r.key, n.*r.name);
  std::string named;
  n.videoPriorNamed = optStr(text, "P_hevc", named);
}

}  // namespace

Manifest parseManifest(const std::string& dir, const std::string& text) {
  Manifest m;
  m.dir = dir;
  if (strField(text, "format") != "le-bundle-v0") throw std::runtime_error("not an le-bundle-v0: " + dir);
  m.agent = strField(text, "agent");
  m.NT = truncToInt(numFieldEither(text, "NT", "frame_count"));
  m.H = intField(text, "H");
  m.W = intField(text, "W");
  m.crop = truncToInt(numFieldEither(text, "crop", "crop_size"));
  m.unsharp.amount = static_cast<float>(parseNumber(findKey(text, "amount")));
  m.unsharp.sigma = static_cast<float>(parseNumber(findKey(text, "sigma")));
  m.unsharp.ksize = intField(text, "ksize");
  m.frames = intField(text, "frames");
  if (m.NT < 1 || m.H < 1 || m.W < 1 || m.crop < 1) throw std::runtime_error("manifest: bad dims");
  readPasteStamp(text, m);
  readMemberNames(text, m.members);
  m.lipTemplate = readTextOrEmpty(resolveMember(dir, "lip_template.v1.json"));
  return m;
}

Manifest loadManifest(const std::string& bundle_path) {
  std::string dir = rstripSlash(resolveBundlePath(bundle_path));
  const std::string text = readFile(dir + "/manifest.json");
  return parseManifest(dir, text);
}

std::string manifestFileOf(const std::string& dir) {
  for (const char* name : {"/manifest.json", "/meta.json"})
    if (pathExists(dir + name)) return dir + name;
  return "";
}

std::string Manifest::modelPath(const std::string& model_key) const {
  return resolveMember(dir, "model_" + model_key + ".onnx");
}

std::string canonicalMemberName(const std::string& name) {
  static const std::pair<const char*, const char*> kLegacy[] = {
      {"P.f16", "source_frames.f16"},
      {"P_hevc.mov", "source_frames.hevc"},
      {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
      {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
      {"M.f32", "paste_transform.f32"},
      {"mask_512.u8", "paste_mask.u8"},
      {"pooled64.f16", "pooled_features.f16"},
      {"fs_red.f16", "feature_synth.f16"},
      {"xs_target.bin", "target_keypoints.bin"},
  };
  for (const auto& [legacy, canonical] : kLegacy)
    if (name == legacy) return canonical;

  // model_b4.onnx -> render_model.batch4.onnx, model_b4_fp16.onnx -> render_model.batch4.fp16.onnx
  if (name.size() > 12 && name.compare(0, 7, "model_b") == 0 && endsWith(name, ".onnx")) {
    const std::string mid = name.substr(7, name.size() - 12);
    const size_t us = mid.find('_');
    const std::string head = mid.substr(0, us);
    const std::string tail = us == std::string::npos ? "" : mid.substr(us + 1);
    return "render_model.batch" + head + (tail.empty() ? "" : "." + tail) + ".onnx";
  }

  // drive/xs.f32 -> idle_loop/source_keypoints.f32
  const std::string rest = startsAfter(name, "drive/");
  if (!rest.empty() || name == "drive/") {
    const size_t dot = rest.find('.');
    std::string stem = rest.substr(0, dot);
    const std::string ext = dot == std::string::npos ? "" : rest.substr(dot);
    if (stem == "xs")
      stem = "source_keypoints";
    else if (stem == "xd")
      stem = "driven_keypoints";
    else if (stem == "si")
      stem = "source_index";
    return "idle_loop/" + stem + ext;
  }
  return name;
}

std::string resolveMember(const std::string& dir, const std::string& name) {
  const std::string canonical = canonicalMemberName(name);
  const std::string legacy_path = dir + "/" + name;
  if (canonical == name) return legacy_path;
  if (opensForReading(legacy_path)) return legacy_path;
  const std::string canonical_path = dir + "/" + canonical;
  if (opensForReading(canonical_path)) return canonical_path;
  return legacy_path;
}

}  // namespace le
