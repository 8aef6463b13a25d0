#include "ort/api.h"

#include <stdexcept>
#include <string>

#include "base/log.h"

namespace le::ort {
namespace {

void logLine(void*, OrtLoggingLevel severity, const char*, const char* logid, const char*, const char* message) {
  log::write(severity >= ORT_LOGGING_LEVEL_ERROR ? log::Level::Error : log::Level::Warn, "[onnxruntime:%s] %s", logid,
             message);
}

}  // namespace

const OrtApi& api() {
  static const OrtApi* bound = [] {
    const OrtApiBase* base = OrtGetApiBase();
    const OrtApi* a = base ? base->GetApi(kApiVersion) : nullptr;
    if (!a)
      throw std::runtime_error("ONNX Runtime " + std::string(base ? base->GetVersionString() : "?") +
                               " does not offer C API version " + std::to_string(kApiVersion));
    Ort::InitApi(a);
    return a;
  }();
  return *bound;
}

Ort::Env& env() {
  // Never destroyed: process-wide sessions (the shared speech encoders)
  // outlive every static destructor.
  static Ort::Env* const made = [] {
    api();
    return new Ort::Env(log::engineQuiet() ? ORT_LOGGING_LEVEL_ERROR : ORT_LOGGING_LEVEL_WARNING, "le", logLine,
                        nullptr);
  }();
  return *made;
}

const Ort::MemoryInfo& cpuMemory() {
  static const Ort::MemoryInfo* const made = [] {
    api();
    return new Ort::MemoryInfo(Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault));
  }();
  return *made;
}

}  // namespace le::ort
