// The head weights reader against torch itself: every tensor it reads
// equals what torch.load gives back; every archive torch would not write for
// this head is refused by name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fixtures.h"
#include "tessera/head_pt.h"

namespace {

std::string variant(const std::string& name) { return lt::fixture("teeth_variants/" + name); }

TEST(HeadPt, EveryTensorEqualsWhatTorchLoads) {
  const std::string dir = lt::scratchDir();
  const std::vector<std::string> pts = {lt::fixture("bundle_teeth/tessera_head.v1.pt"), variant("head8.pt"),
                                        variant("head_extra.pt")};
  // One interpreter loads all three: torch's import is the slow part.
  lt::spit(dir + "/dump.py", R"(import sys, os, torch
for i, path in enumerate(sys.argv[2:]):
    os.makedirs("%s/%d" % (sys.argv[1], i), exist_ok=True)
    for k, v in torch.load(path).items():
        v.detach().numpy().astype("float32").tofile("%s/%d/%s.f32" % (sys.argv[1], i, k))
)");
  ASSERT_EQ(lt::run(std::string(LE_TEST_PYTHON) + " " + dir + "/dump.py " + dir + " " + pts[0] + " " + pts[1] + " " +
                    pts[2]),
            0);
  for (size_t p = 0; p < pts.size(); ++p) {
    const le::tessera::HeadWeights w = le::tessera::loadHeadPt(lt::fileBytes(pts[p]));
    const bool head8 = p == 1;
    EXPECT_EQ(w.params(), head8 ? le::tessera::kBlendHead8Params : le::tessera::kBlendHeadParams) << pts[p];
    const auto& names = le::tessera::blendHeadTensors();
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string ref = dir + "/" + std::to_string(p) + "/" + names[i].name + ".f32";
      if (head8 && i >= le::tessera::kCandTensors) {
        EXPECT_TRUE(w.tensors[i].empty());
        EXPECT_TRUE(lt::slurp(ref).empty());  // torch has no such tensor either
        continue;
      }
      EXPECT_EQ(w.tensors[i], lt::arrayOf(ref)) << pts[p] << " " << names[i].name;
    }
  }
}

TEST(HeadPt, ArchivesTorchWouldNotWriteForThisHeadAreRefused) {
  const std::vector<uint8_t> good = lt::fileBytes(lt::fixture("bundle_teeth/tessera_head.v1.pt"));
  const struct {
    std::vector<uint8_t> bytes;
    const char* refusal;
  } rows[] = {
      {lt::fileBytes(variant("head_deflated.pt")),
       "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member"},
      {lt::fileBytes(variant("head_frame.pt")), "teeth: unsupported pickle opcode 0x95 in head .pt"},
      {lt::fileBytes(variant("head_param.pt")),
       "teeth: head .pt calls torch._utils _rebuild_parameter — this reader refuses code it does not model"},
      {{good.begin(), good.begin() + 21}, "teeth: head .pt is not a zip"},
      {std::vector<uint8_t>(64, 0), "teeth: head .pt has no zip EOCD"},
      {{good.begin(), good.end() - 1}, "teeth: head .pt has no zip EOCD"},
  };
  for (const auto& r : rows) EXPECT_EQ(lt::errorOf([&] { le::tessera::loadHeadPt(r.bytes); }), r.refusal);
}

}  // namespace
