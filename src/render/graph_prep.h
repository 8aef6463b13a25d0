// The load-time preparation of the director graph: a fixed sequence of stages
// over the model bytes, each acting only on what it finds and recording what
// it changed, so the session builder knows whether the bytes still equal the
// file and whether lip delivery is on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace le {

struct Manifest;
namespace tessera {
class LipContour;
}

struct GraphPrep {
  // What the stages act on.
  const Manifest* manifest = nullptr;
  std::string key;        // model key, named in every line
  std::string modelPath;  // Manifest::modelPath(key)
  bool coreml = false;
  std::string units;        // CoreML units suffix; empty off CoreML
  bool gsRewrite = false;   // the GridSample rewrite is on
  bool fastOps = false;     // the com.velomark domain is registered
  const tessera::LipContour* lipContour = nullptr;  // the bundle's lip template, when it has one
  bool warpPrior = false;   // the identity has a warp prior
  std::vector<uint8_t> bytes;

  // What they did.
  bool composeV2 = false;
  int lipCanvas = 0;
  int lipBatch = 0;
  size_t warpNodesRemoved = 0;
  size_t unreadNodes = 0;  // left unread by the warp node and dropped
  bool warpNode = false;
  size_t gridSampleNodes = 0;
  size_t studentBlendNodes = 0;
  size_t headCubicNodes = 0;
  size_t resizeNodes = 0;
  bool contourBound = false;
  bool hoisted = false;
  std::string boundary;            // the cone's tip, once the prep graph is built
  std::vector<uint8_t> prepBytes;  // the prep graph

  // Creates the prep and director sessions of the hoisted graph; false with
  // a reason when the hoist cannot apply. Unset, nothing is hoisted.
  std::function<bool(GraphPrep&, std::string& reason)> hoist;

  // Anything that makes the bytes differ from the model file.
  bool changed() const {
    return composeV2 || warpNodesRemoved || gridSampleNodes || studentBlendNodes || headCubicNodes || resizeNodes ||
           contourBound;
  }
  bool lipDelivery() const { return composeV2 || contourBound; }
};

using PrepStage = void (*)(GraphPrep&);

// The stages in the order they run, each over the bytes the previous left.
std::span<const PrepStage> prepSequence();

// Runs every stage, then prints the account of what changed.
void prepareGraph(GraphPrep& g);

}  // namespace le
