// Shared by the render tests: forged director bundles, and their models run
// through plain Session::Run on inputs the test widens and lays out itself.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "render/renderer.h"

namespace lt {

struct OpenBundle {
  explicit OpenBundle(const std::string& dir);
  le::Manifest manifest;
  std::unique_ptr<le::Identity> identity;
  std::vector<float> xs, xd;  // drive rows, 63 floats each

  std::unique_ptr<le::Renderer> renderer(const std::string& key, const std::string& ep = "") const {
    return std::make_unique<le::Renderer>(manifest, *identity, key, 1, ep);
  }
};

// The text fn throws; empty when it returns.
template <class Fn>
std::string thrown(Fn&& fn) {
  try { fn(); } catch (const std::exception& e) { return e.what(); }
  return "";
}

// Keypoint sets `rows` of a drive array (63 floats each), back to back.
std::vector<float> gatherRows(const std::vector<float>& kp, const std::vector<int>& rows);

// `count` halves of member `name` from element frame * count, widened by the binary16 definition.
std::vector<float> memberFrame(const std::string& dir, const std::string& name, int frame, size_t count);

// The model `key`'s "rgb" for frames si[b] and keypoint rows kpRow[b] (source keypoints from sourceRow
// when given; P_rgb or FeatSynth inputs), run on a fresh single-threaded session without bindings.
std::vector<float> referenceRender(const OpenBundle& b, const std::string& key, bool featSynth, const std::vector<int>& si,
                                   const std::vector<int>& kpRow, int sourceRow = -1);

}  // namespace lt
