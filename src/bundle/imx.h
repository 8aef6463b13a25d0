// Bundle paths: a plain directory, or an IMX v2 container unpacked once into
// a sibling directory and reused while the container is unchanged.
//
// Container layout (little-endian): "IMX\0", u16 version = 2, u16 count,
// then per member u16 name length, the name, u64 offset, u64 size; payloads
// are raw bytes at their offsets.
#pragma once

#include <cstdint>
#include <string>

namespace le {

inline constexpr uint32_t kImxMagic = 0x00584D49;  // "IMX\0"
inline constexpr uint16_t kImxVersion = 2;
inline constexpr char kImxMarkerSuffix[] = ".imx_unwrapped";

// The directory to read the bundle at `path` from (unwrapping a container).
std::string resolveBundlePath(const std::string& path);
// True for a regular file starting with the IMX magic and version 2.
bool isImxV2File(const std::string& path);
// Unpacks `container` unless an up-to-date unwrap exists; returns its directory.
std::string unwrapOnce(const std::string& container);

}  // namespace le
