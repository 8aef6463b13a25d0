// The reference bank: a short video, one donor's stored teeth patch per
// frame in track order, decoded from memory straight into donor order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace le::tessera {

// n_donors x band_h x band_w x 3 bytes of RGB, donor k at k x band bytes.
// Throws "... refusing to serve" texts on any disagreement between the
// video, the geometry and the donor list; nothing partial is returned.
std::vector<uint8_t> decodeBankTrack(const uint8_t* data, size_t size, int n_donors, int band_h, int band_w,
                                     const std::vector<int>& track_order);

// "libavcodec <major.minor.micro> / <configuration>", for diagnostics.
std::string bankDecoderBuild();

// The in-memory reader behind the decoder's I/O context, exposed for tests.
struct MemReader {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t pos = 0;
};
int memRead(void* opaque, uint8_t* buffer, int n);
int64_t memSeek(void* opaque, int64_t offset, int whence);

}  // namespace le::tessera
