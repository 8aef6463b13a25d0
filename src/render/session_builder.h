// One attempt at the director session for an ep string: options, execution
// provider, operator domains, graph preparation and the session itself.
#pragma once

#include <string>

#include "render/renderer_impl.h"

namespace le {

struct Manifest;

struct SessionRequest {
  const Manifest* manifest = nullptr;
  std::string key;
  std::string modelPath;
  int threads = 1;
  const tessera::LipContour* lipContour = nullptr;  // from the bundle's lip template, when it has one
  bool warpPrior = false;   // the identity has a warp prior
};

// Fills im.sessionOptions, im.session, im.profiling, im.lipDelivery and
// im.epName, or throws; a throw leaves no session behind.
void buildSession(Renderer::Impl& im, const SessionRequest& req, const std::string& ep);

// The whole model file; "Renderer: cannot open <path>" / "Renderer: short read on <path>".
std::vector<uint8_t> readModelBytes(const std::string& path);

}  // namespace le
