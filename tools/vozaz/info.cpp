// vozaz info: what the engine sees in a bundle — its resolved directory, the
// manifest fields and, for every member it knows, the name found on disk.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "args.h"
#include "base/threads.h"
#include "bundle/files.h"
#include "bundle/imx.h"
#include "bundle/manifest.h"
#include "bundle/paths.h"
#include "commands.h"
#include "le/le.h"
#include "le/le_cpp.h"
#include "le/le_tessera.h"
#include "tessera/members.h"
#include "tessera/unified_pi.h"
#include "pool/pool.h"

namespace fs = std::filesystem;

namespace vozaz {
namespace {

const char* const kKnownMembers[] = {
    "pooled64.f16", "P.f16",         "fs_red.f16",   "P_hevc.mov",   "M.f32",
    "mask_512.u8",  "drive/xs.f32",  "drive/xd.f32", "drive/si.i32", "xs_target.bin",
    "target_frames", "target_frames.mp4", "lip_template.v1.json", "a2x_enc_stream.onnx", "a2x_dec.onnx",
};

// Director models present under either spelling, by their legacy name.
std::set<std::string> modelNames(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    const std::string n = e.path().filename().string();
    if (n.rfind("model_", 0) == 0 && le::endsWith(n, ".onnx")) names.insert(n);
    if (n.rfind("render_model.batch", 0) == 0 && le::endsWith(n, ".onnx")) {
      // render_model.batch4.fp16.onnx -> model_b4_fp16.onnx
      std::string mid = n.substr(18, n.size() - 23);
      for (char& c : mid)
        if (c == '.') c = '_';
      names.insert("model_b" + mid + ".onnx");
    }
  }
  return names;
}

void printMember(const std::string& dir, const std::string& name) {
  const std::string path = le::resolveMember(dir, name);
  if (!le::pathExists(path)) {
    std::printf("  %-22s absent\n", name.c_str());
    return;
  }
  const std::string stored = path.substr(dir.size() + 1);
  std::printf("  %-22s %s%s\n", name.c_str(), stored == name ? "present" : "present as ",
              stored == name ? "" : stored.c_str());
}

// The teeth members: which slots are present, and for a complete carriage
// what the members hold and which corpus geometry the bank was built on.
void printTeeth(const std::string& bundle, const le::Manifest& m) {
  le_tessera_carriage* c = le_tessera_carriage_open(bundle.c_str());
  if (!c) return;
  const bool complete = le_tessera_carriage_complete(c);
  std::printf("teeth       %s%s\n", complete ? "complete" : "incomplete",
              le_tessera_carriage_declared(c) ? ", declared in the manifest" : "");
  for (int i = 0; i < le_tessera_slot_count(); ++i) {
    const char* slot = le_tessera_slot_key(i);
    bool missing = false;
    for (int k = 0; k < le_tessera_carriage_missing_count(c); ++k)
      missing = missing || std::string(le_tessera_carriage_missing(c, k)) == slot;
    const std::string path = le_tessera_carriage_path(c, slot);
    std::printf("  %-12s %-22s %s\n", slot, le::baseName(path).c_str(), missing ? "absent" : "present");
  }
  le_tessera_carriage_close(c);
  if (!complete) return;
  char err[1024] = "";
  le_tessera_members* t = le_tessera_members_open(bundle.c_str(), err, sizeof err);
  if (!t) {
    std::printf("  refused: %s\n", err);
    return;
  }
  const int* st = le_tessera_members_stamp(t);
  std::printf("  donors %d, band %dx%d (%ld bytes), bank %s %s %s\n", le_tessera_members_n_donors(t),
              le_tessera_members_band_w(t), le_tessera_members_band_h(t), le_tessera_members_band_bytes(t),
              le_tessera_members_bank_container(t), le_tessera_members_bank_codec(t), le_tessera_members_bank_pix_fmt(t));
  le::TesseraStamp stamp{};
  std::copy(st, st + stamp.size(), stamp.begin());
  std::printf("  stamp %s\n", le::tesseraStampText(stamp).c_str());
  try {
    const std::string path = le::resolveMember(m.dir, "xs_target.bin");
    const std::string bytes = le::readFile(path);
    std::vector<float> frames(bytes.size() / 4);
    std::memcpy(frames.data(), bytes.data(), frames.size() * 4);
    std::string log;
    le::tessera::UnifiedPi::corpusFromManifestJson(le_tessera_members_manifest_json(t), m.crop, frames.data(),
                                                   static_cast<int>(frames.size() / 63),
                                                   le_tessera_members_c_canon(t), &log);
    std::printf("  %s\n", log.c_str());
  } catch (const std::exception& e) {
    std::printf("  corpus geometry refused: %s\n", e.what());
  }
  le_tessera_members_close(t);
}

// Every thread a context runs once it has rendered and pasted one frame.
void printThreads(const std::string& bundle) {
  le_ctx_ptr ctx(le_create(bundle.c_str(), "render", 0, nullptr));
  if (!ctx || !le_render_drive_crop(ctx.get(), 0) || !le_paste_last(ctx.get(), 0))
    throw std::runtime_error(le_last_error());
  std::printf("threads     budget %d (LE_CORE_THREADS, else the hardware); besides the calling thread:\n",
              le::pool::threads());
  for (const le::threads::Entry& e : le::threads::census())
    std::printf("  %-14s %2d  %-40s %s\n", e.role.c_str(), e.count, e.owner.c_str(), e.purpose.c_str());
  std::printf("  %-14s %2d\n", "total", le::threads::total());
}

}  // namespace

int infoCommand(const Args& a) {
  if (a.positional().size() != 1) return a.usage();
  const std::string bundle = a.positional()[0];
  const le::Manifest m = le::loadManifest(bundle);
  std::printf("bundle      %s\n", bundle.c_str());
  std::printf("directory   %s%s\n", m.dir.c_str(), le::isImxV2File(bundle) ? " (unwrapped container)" : "");
  std::printf("agent       %s\n", m.agent.c_str());
  std::printf("NT          %d\n", m.NT);
  std::printf("canvas      %dx%d (W x H)\n", m.W, m.H);
  std::printf("paste space %dx%d\n", m.M_src_w, m.M_src_h);
  std::printf("crop        %d\n", m.crop);
  std::printf("unsharp     amount %g sigma %g ksize %d\n", m.unsharp.amount, m.unsharp.sigma, m.unsharp.ksize);
  std::printf("frames      %d\n", m.frames);
  std::printf("lip tmpl    %s\n", m.lipTemplate.empty() ? "none" : (std::to_string(m.lipTemplate.size()) + " bytes").c_str());
  std::printf("members\n");
  for (const char* name : kKnownMembers) printMember(m.dir, name);
  for (const std::string& name : modelNames(m.dir)) printMember(m.dir, name);
  printTeeth(bundle, m);
  if (a.has("--threads")) printThreads(bundle);
  return 0;
}

}  // namespace vozaz
