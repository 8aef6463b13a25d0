// Shared by the renderer tests: opening forged director bundles and running
// their models through plain Session::Run with independently built inputs.
#pragma once

#include <cstdint>
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
  std::vector<float> xs;  // drive rows, 63 floats each
  std::vector<float> xd;

  std::unique_ptr<le::Renderer> renderer(const std::string& key, const std::string& ep = "") const {
    return std::make_unique<le::Renderer>(manifest, *identity, key, 1, ep);
  }
};

// Keypoint sets `rows` of a drive array (63 floats each), back to back.
std::vector<float> gatherRows(const std::vector<float>& kp, const std::vector<int>& rows);

// IEEE binary16 to binary32, written from the format's definition.
float halfBitsToFloat(uint16_t h);
// `count` halves of member `name` starting at element frame * count, widened.
std::vector<float> memberFrame(const std::string& dir, const std::string& name, int frame, size_t count);

// The director's "rgb" (P_rgb or FeatSynth inputs) for slots built here: frame si[b] and keypoint row
// kpRow[b], run on a fresh single-threaded session without bindings.
std::vector<float> referenceRender(const OpenBundle& b, const std::string& key, bool featSynth, const std::vector<int>& si,
                                   const std::vector<int>& kpRow);

}  // namespace lt
