// SHA-256 (FIPS 180-4), for binding a prepared structure to exact model bytes.
#pragma once

#include <string>

namespace le {

// 64 lowercase hexadecimal digits.
std::string sha256Hex(const void* data, unsigned long size);

}  // namespace le
