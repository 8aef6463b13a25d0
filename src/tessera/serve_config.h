// What the teeth pass is told: the geometry stamp of its bank (where the
// mouth window sits on the canvas and the teeth band inside it) and the
// serving configuration from the head member's JSON.
#pragma once

#include <string>

namespace le::tessera {

struct GeometryStamp {
  int canvasW = 0, canvasH = 0;
  int windowX = 0, windowY = 0, windowW = 0, windowH = 0;
  int shiftMargin = 0;  // how far a window may move; also the padding of stored patches
  int bandR0 = 0, bandR1 = 0, bandC0 = 0, bandC1 = 0;  // half-open, inside the window
  int storedMargin = 0;                                // stored around the band in the reference track

  // The twelve ints in stored order (canvas_w ... shift_margin).
  static GeometryStamp fromInts(const int* v);
  // Throws "teeth: GeometryStamp incoherent:" with every failed rule.
  void validate() const;
  int storedH() const { return bandR1 - bandR0 + 2 * storedMargin; }
  int storedW() const { return bandC1 - bandC0 + 2 * storedMargin; }
  // "{canvas_w=..., ...}".
  std::string text() const;
};

struct ServeConfig {
  int kshort = 512;            // shortlist after the pooled ranking
  double apertureTol = 0.3;    // relative tolerance on the donor's mouth aperture
  int cut = 96;                // exact-ranked shortlist entries considered
  int K = 64;                  // donors kept per frame
  int hysteresis = 8;          // donors carried over from the previous frame
  int lookahead = 8;           // donors taken from the next frame's ranking
  double lumaFloor = 100.0;    // teeth pixel: 0.299R + 0.587G + 0.114B >= this
  double redGreenLimit = 25.0; // teeth pixel: |G - R| < this
  int minTeethPixels = 32;     // fewer: the whole mouth weighs
  double carry = 0.6;          // temporal carry of the previous teeth weights
  bool lookaheadOn = true;

  // The "retrieval" and "temporal" blocks of tessera_head.v1.json.
  static ServeConfig fromHeadMemberJson(const std::string& text);
};

}  // namespace le::tessera
