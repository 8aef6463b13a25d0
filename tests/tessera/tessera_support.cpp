#include "tessera/tessera_support.h"

#include <gtest/gtest.h>

#include "support/fixtures.h"

namespace tt {

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
