// Compose v2 at load: the director's compose is replaced by a prepared
// structure (lip contour, mouth-window compose, seam match) whose placeholder
// nodes stand for nodes of the member's own graph. The structure is bound by
// SHA-256 to the exact member bytes it was built from.
#pragma once

#include <string>
#include <vector>

#include "graph/wire.h"

namespace le {

inline constexpr const char* kComposeV2Domain = "ai.velomark.compose_v2";
inline constexpr const char* kComposeV2Placeholder = "MemberNode";
inline constexpr const char* kComposeV2SourceKey = "compose_v2.source_sha256";

// One node of a structure graph.
struct Cv2Node {
  std::string name, opType, domain, k;
  std::vector<std::string> inputs, outputs;
};
Cv2Node cv2ReadNode(const GsField& node);

// Non-zero when spliced, with the declared canvas and batch dim of
// lip_delivery in canvas / batch (each optional); 0 with `reason` set and the
// model unchanged otherwise. `expectedStructureSha256` and `templateSource`
// (the template's own source binding), when not empty, are checked against
// the structure. Never throws: malformed bytes become a reason.
int spliceComposeV2(std::vector<unsigned char>& model, const std::vector<unsigned char>& structure,
                    std::string& reason, const std::string& member, int* canvas, int* batch,
                    const std::string& expectedStructureSha256, const std::string& templateSource = "");

}  // namespace le
