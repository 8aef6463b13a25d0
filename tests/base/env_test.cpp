// The switch table: documented row for row, one parser with the same rules
// for every switch, and no switch read that the table does not list.
#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>

#include "base/env.h"
#include "support/fixtures.h"

namespace {

TEST(Switches, DocumentedRowForRow) {
  const std::string doc = lt::slurp(std::string(LE_TEST_SOURCE_DIR) + "/docs/switches.md");
  std::set<std::string> documented, table;
  static const std::regex kRow(R"(\n\| `([A-Z0-9_]+)` \|)");
  for (std::sregex_iterator it(doc.begin(), doc.end(), kRow), end; it != end; ++it) documented.insert((*it)[1]);
  for (const le::env::Switch& s : le::env::switches()) table.insert(s.name);
  EXPECT_EQ(documented, table);
}

TEST(Switches, OneParser) {
  const char* unset = nullptr;
  const struct {
    const char* value;
    std::optional<long> integer;
    bool nonEmpty;
    bool beginsWithZero;
  } cases[] = {
      {unset, std::nullopt, false, false}, {"", std::nullopt, false, false}, {"0", 0, true, true},
      {"3", 3, true, false},               {"3x", 3, true, false},           {"-2", -2, true, false},
      {"012", 12, true, true},             {"x", 0, true, false},
  };
  for (const auto& c : cases) {
    lt::ScopedEnv v("LE_PASTE_KSIZE", c.value);
    const std::string shown = c.value ? c.value : "(unset)";
    EXPECT_EQ(le::env::integer("LE_PASTE_KSIZE"), c.integer) << shown;
    EXPECT_EQ(le::env::nonEmpty("LE_PASTE_KSIZE"), c.nonEmpty) << shown;
    EXPECT_EQ(le::env::beginsWith("LE_PASTE_KSIZE", '0'), c.beginsWithZero) << shown;
    EXPECT_EQ(le::env::text("LE_PASTE_KSIZE"), c.value ? c.value : "") << shown;
  }
  EXPECT_THROW(le::env::raw("LE_NOT_A_SWITCH"), std::logic_error);
}

}  // namespace
