// Benchmark inputs are forged into the bench scratch directory at run time,
// once per directory, never committed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lb {

// Runs `tools/forge <command> <scratch>/<name> <args>` unless
// <scratch>/<name><marker> already exists; returns <scratch>/<name>. Throws
// when the forge fails.
std::string forged(const std::string& command, const std::string& name, const std::string& args,
                   const std::string& marker);

// forged() for a bundle directory, marked by its manifest.
std::string forgedBundle(const std::string& command, const std::string& name, const std::string& args);

// The 16 kHz float samples espeak-ng speaks for `text`, forged once into
// <scratch>/<name>.
std::vector<float> forgedSpeech(const std::string& name, const std::string& text);

// The same as the 16-bit samples a host pushes into a session.
std::vector<int16_t> forgedPcm16(const std::string& name, const std::string& text);

// The full forged speech encoder (the 8 s model; its short-window pair sits
// beside it), as W2V_ONNX names it.
std::string fullSpeechEncoder();

}  // namespace lb
