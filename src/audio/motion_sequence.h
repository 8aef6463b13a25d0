// The generated motion sequence: 265 floats per frame, grown chunk by chunk
// with an overlap blend, smoothed at its seams, and at the end truncated,
// smoothed once more and clamped.
#pragma once

#include <vector>

namespace le::motion {

inline constexpr int kChunk = 80;    // frames one generator run predicts
inline constexpr int kOverlap = 10;  // predicted frames blended into the sequence's tail
inline constexpr int kStride = 70;   // new frames per later chunk

// For frames [from, from + count) of a sequence of `frames` frames, each of
// the first 202 components becomes the mean of itself and its neighbours
// (clamped to the sequence), all read before any is written.
void smooth(std::vector<float>& seq, int from, int count);

// Adds one chunk's 80 predicted frames: the first chunk becomes the sequence
// and is smoothed whole; a later one blends its first 10 frames into the
// last 10, appends the other 70 and smooths the 11-frame seam.
void addChunk(std::vector<float>& seq, const float* pred);

// The seed of the next chunk: `seed` with its first 202 components taken
// from the frame 11 places before the end of the sequence.
std::vector<float> nextSeed(const std::vector<float>& seed, const std::vector<float>& seq);

// The first `total` frames, smoothed, each component clamped to [lo, hi]
// (minmax: 265 minima then 265 maxima).
std::vector<float> finalSequence(std::vector<float> seq, int total, const std::vector<float>& minmax);

inline int frames(const std::vector<float>& seq) { return static_cast<int>(seq.size() / 265); }

}  // namespace le::motion
