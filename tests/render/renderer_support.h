// Shared by the render tests: forged director bundles, and their models run
// through plain Session::Run on inputs the test widens and lays out itself.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bundle/drive.h"
#include "bundle/identity.h"
#include "render/renderer.h"
#include "support/fixtures.h"

namespace lt {

struct OpenBundle {
  explicit OpenBundle(const std::string& dir);
  le::Manifest manifest;
  std::unique_ptr<le::Identity> identity;
  le::Drive drive;  // xs, xd: 63 floats a row
  std::unique_ptr<le::Renderer> renderer(const std::string& key, const std::string& ep = "", int threads = 1) const {
    return std::make_unique<le::Renderer>(manifest, *identity, key, threads, ep);
  }
};

// Allocations the calling thread makes inside fn; global operator new is replaced in the test binary to count them.
long allocationsIn(const std::function<void()>& fn);
// Fixture `name`, opened once per test binary.
const OpenBundle& bundle(const std::string& name);
// Keypoint sets `rows` of a drive array, back to back.
std::vector<float> gatherRows(const std::vector<float>& kp, const std::vector<int>& rows);
// The model `key`'s "rgb" for frames si[b] and keypoint rows kpRow[b] (source keypoints from sourceRow when
// given; P_rgb or FeatSynth inputs), run on a fresh single-threaded session without bindings. The graph is
// rewritten as the renderer's load sequence rewrites it, or run as the file holds it when `untouched`.
// With `lip` (batch x crop x crop), the lip contour is bound to the compose alpha and fed that mask.
std::vector<float> referenceRender(const OpenBundle& b, const std::string& key, bool featSynth,
                                   const std::vector<int>& si, const std::vector<int>& kpRow, int sourceRow = -1,
                                   bool untouched = false, const std::vector<float>* lip = nullptr);
// The largest difference between r's "render" crop of source frame si on drive row `row` and referenceRender's.
float renderDiff(le::Renderer& r, const OpenBundle& b, int si, int row, bool untouched);

}  // namespace lt
