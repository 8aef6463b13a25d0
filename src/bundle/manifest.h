// manifest.json ("le-bundle-v0"): the numbers and strings the engine reads,
// and how member names become file paths.
#pragma once

#include <string>

namespace le {

struct Unsharp {
  float amount = 0.f;
  float sigma = 0.f;
  int ksize = 0;
};

// Members a manifest may rename. The initialisers are the names a bundle
// uses when its manifest does not.
struct MemberNames {
  std::string rawPrior = "P.f16";                 // "P_rgb"
  std::string videoPrior = "P_hevc.mov";          // "P_hevc"
  bool videoPriorNamed = false;                   // the manifest names a P_hevc member itself
  std::string targetDir = "target_frames";        // "target_frames"
  std::string targetVideo = "target_frames.mp4";  // "target_frames_mp4"
};

struct Manifest {
  std::string dir;  // resolved bundle directory
  std::string agent;
  int NT = 0;  // identity frames
  int H = 0;
  int W = 0;
  int M_src_w = 0;  // canvas the paste transforms were authored on
  int M_src_h = 0;
  int crop = 0;
  Unsharp unsharp;
  int frames = 0;           // stored drive frames
  std::string lipTemplate;  // lip_template.v1.json, empty when absent
  MemberNames members;

  // Path of the director model "model_<key>.onnx".
  std::string modelPath(const std::string& model_key) const;
};

// Resolves the bundle (directory or container) and reads its manifest.
Manifest loadManifest(const std::string& bundle_path);
// The manifest file of a resolved directory: dir/manifest.json, else
// dir/meta.json, the first that exists; "" when there is neither.
std::string manifestFileOf(const std::string& dir);
// Parses manifest text for an already resolved directory `dir`.
Manifest parseManifest(const std::string& dir, const std::string& text);

// Canonical spelling of a legacy member name (the name itself when it has none).
std::string canonicalMemberName(const std::string& name);
// Path of member `name`, accepting its legacy or canonical spelling on disk.
std::string resolveMember(const std::string& dir, const std::string& name);

}  // namespace le
