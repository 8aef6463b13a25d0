// The library's one door to ONNX Runtime: the C++ wrapper bound to C API
// version 26 of whatever libonnxruntime the process loaded, the one process
// environment whose lines join the library's log, and the CPU memory
// description every tensor over library-owned buffers uses.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>

namespace le::ort {

inline constexpr uint32_t kApiVersion = 26;

// The bound API table; throws when the runtime does not offer version 26.
const OrtApi& api();

// The process environment, made on first use and kept until exit. Its level
// is WARNING, or ERROR when the engine was asked to be quiet; the runtime's
// lines reach the host's log callback like the library's own.
Ort::Env& env();

// CPU, arena allocator, default memory type.
const Ort::MemoryInfo& cpuMemory();

}  // namespace le::ort
