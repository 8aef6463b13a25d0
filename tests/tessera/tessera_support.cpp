#include "tessera/tessera_support.h"

#include <gtest/gtest.h>

#include "le/le_tessera.h"

namespace tt {

Members::Members(const std::string& dir)
    : in(le::loadTesseraMembers(dir)),
      bank(le::tessera::loadBank(in)),
      head(le::tessera::loadHeadPt(in.head_pt)),
      cfg(le::tessera::ServeConfig::fromHeadMemberJson(in.head_json)) {}

CRun runC(const Members& m, const std::string& headJson, const uint8_t* frames, const uint8_t* masks,
          const int* shifts, int n) {
  CRun r;
  r.windows.assign(static_cast<size_t>(n) * m.stamp().windowW * m.stamp().windowH * 3, 0);
  r.status.assign(static_cast<size_t>(n), -1);
  char err[512] = "";
  const le::TesseraAttachInputs& in = m.in;
  const long pt = static_cast<long>(in.head_pt.size());
  r.rc = shifts ? le_tessera_run_shift(m.bank.track.data(), m.bank.n, in.cent.data(), in.c_canon.data(),
                                       in.aperture.data(), in.stamp.data(), in.head_pt.data(), pt, headJson.c_str(),
                                       frames, masks, shifts, n, r.windows.data(), r.status.data(), err, sizeof err)
                : le_tessera_run(m.bank.track.data(), m.bank.n, in.cent.data(), in.c_canon.data(),
                                 in.aperture.data(), in.stamp.data(), in.head_pt.data(), pt, headJson.c_str(), frames,
                                 masks, n, r.windows.data(), r.status.data(), err, sizeof err);
  r.err = err;
  return r;
}

std::string teethCopy() {
  const std::string dir = lt::scratchDir() + "/teeth";
  const std::string from = lt::fixture("bundle_teeth");
  EXPECT_EQ(lt::run("rm -rf " + dir + " && mkdir -p " + dir + " && cp " + from + "/manifest.json " + from +
                    "/tessera_* " + from + "/xs_target.bin " + dir + "/"),
            0);
  return dir;
}

void editJson(const std::string& path, const std::string& edit) {
  const std::string script = path + ".edit.py";
  lt::spit(script, "import json, sys\nj = json.load(open(sys.argv[1]))\n" + edit +
                       "\njson.dump(j, open(sys.argv[1], 'w'))\n");
  ASSERT_EQ(lt::run(std::string(LE_TEST_PYTHON) + " " + script + " " + path), 0) << edit;
}

std::vector<std::string> jsonVariants(const std::string& path, const std::vector<std::string>& edits,
                                      const std::string& dir) {
  std::string script = "import json, sys\n";
  for (size_t i = 0; i < edits.size(); ++i)
    script += "j = json.load(open(sys.argv[1]))\n" + edits[i] + "\njson.dump(j, open('" + dir + "/variant_" +
              std::to_string(i) + ".json', 'w'))\n";
  lt::spit(dir + "/variants.py", script);
  EXPECT_EQ(lt::run(std::string(LE_TEST_PYTHON) + " " + dir + "/variants.py " + path), 0);
  std::vector<std::string> texts;
  for (size_t i = 0; i < edits.size(); ++i) texts.push_back(lt::slurp(dir + "/variant_" + std::to_string(i) + ".json"));
  return texts;
}

}  // namespace tt
