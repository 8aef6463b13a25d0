// vozaz info: what the engine sees in a bundle — its resolved directory, the
// manifest fields and, for every member it knows, the name found on disk.
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "args.h"
#include "base/threads.h"
#include "bundle/imx.h"
#include "bundle/manifest.h"
#include "bundle/paths.h"
#include "commands.h"
#include "le/le.h"
#include "le/le_cpp.h"
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
  if (a.has("--threads")) printThreads(bundle);
  return 0;
}

}  // namespace vozaz
