// The hoisted source cone's sessions and ring: the prep session that computes
// the cone's tip per source frame, the director session over the per-frame
// graph that reads it, and the ring slots the two share.
#pragma once

#include <string>

#include "render/graph_prep.h"
#include "render/renderer_impl.h"

namespace le {

// Creates im.prepSession and im.session from g's prep graph and the per-frame
// cut of g.bytes and stores the boundary's name and size; false with a
// reason (and no prep session) when the graph is not a batch-1 graph with a
// static boundary, or when the runtime refuses either graph.
bool hoistSessions(Renderer::Impl& im, GraphPrep& g, std::string& reason);

}  // namespace le
