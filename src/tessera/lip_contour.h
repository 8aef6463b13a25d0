// The lip contour: a polygon from the bundle's lip template deformed onto
// each frame's keypoints, rasterised and feathered outward. Its alpha cuts
// the pi mask down to the lips. The scratch buffers are kept between frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tessera/geometry.h"

namespace le::tessera {

class UnifiedPi;

class LipContour {
 public:
  int canvas = 0;
  float feather_px = 0;
  int nv = 0;
  std::vector<double> u_canon;  // nv x (x, y)
  std::vector<int> lipIdx;
  // The optional lip map: 2 nv rows of 2 x mapLip.size() coefficients, and b.
  std::vector<double> mapW, mapB;
  std::vector<int> mapLip;

  // Throws "lip_template.v1.json: ..." on any violation.
  static LipContour fromTemplateJson(const std::string& json, int canvas);
  // Throws ": lip_map shape does not match the template" for a map of another shape.
  void attachMap(const double* W, const double* b, int rows, int cols, const int* lipRows, int nLip);
  bool hasMap() const { return !mapLip.empty(); }
  // "lip-map-v1" with a map, else "plate-template-v1".
  const char* kind() const;

  // The frame's polygon: nv (x, y) pixel pairs.
  void polygon(const float* kp, double* out) const;
  Box box(const double* poly) const;
  // The polygon, outline and even-odd fill, into a box.w() x box.h() raster.
  void fillScanline(const double* poly, const Box& box, uint8_t* raster) const;
  // Feathered alpha over `box` of a canvas-sized output (the rest untouched).
  void contourF32(const double* poly, const Box& box, float* out);
  // The whole canvas: the feathered alpha inside the polygon box, 0 elsewhere.
  void contourF32Canvas(const float* kp, float* out);
  // The delivered mask: pi cut down to the contour, canvas-sized u8.
  void deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out);
  // Each byte of `mask` inside box and the polygon box becomes min(itself,
  // the contour's u8); the rest of box is zeroed. False when nothing is left.
  bool shrinkU8InPlace(const float* kp, const Box& box, uint8_t* mask);
  // piU8AndShift, then the contour (moved by the same offset) over the moved box.
  Box deliveredU8AndShift(const float* kp, const UnifiedPi& pi, int dRow, int dCol, uint8_t* out);

 private:
  bool shrinkMoved(const float* kp, const Box& box, int dRow, int dCol, uint8_t* mask);

  // The scanline fill's vertices, edges and crossings; kept like the rest.
  struct FillScratch {
    struct Edge {
      int y0, y1;
      int64_t x0, slope;  // 16.16 fixed point
    };
    std::vector<int> vx, vy;
    std::vector<Edge> edges;
    std::vector<int64_t> xs;
  };
  mutable FillScratch fill_;
  std::vector<uint8_t> raster_;
  std::vector<float> dist_;
  std::vector<float> contour_;  // canvas x canvas
  std::vector<double> poly_;
};

// The compose v2 structure a template carries for one member: 1 with the
// decoded bytes and both hashes; 0 when the template has no compose_v2
// block; -1 with `reason` when the block is malformed.
int composeV2StructureFromTemplate(const std::string& templateText, const std::string& member,
                                   std::vector<uint8_t>& structure, std::string& sourceSha256,
                                   std::string& structureSha256, std::string* reason);

// Strict standard base64: false with `why` unless canonical.
bool decodeBase64Strict(const std::string& text, std::vector<uint8_t>& out, std::string& why);

}  // namespace le::tessera
