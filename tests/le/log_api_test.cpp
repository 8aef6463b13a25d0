// le_log_set as a host uses it: every line reaches the callback and none
// reaches standard error; without one, the switches decide what shows.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "base/log.h"
#include "le/le.h"
#include "le/le_cpp.h"
#include "support/fixtures.h"

namespace {

struct Collected {
  std::mutex mutex;
  std::vector<std::pair<le_log_level, std::string>> lines;

  static void take(le_log_level level, const char* line, void* user) {
    auto* self = static_cast<Collected*>(user);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->lines.emplace_back(level, line);
  }

  int count(const std::string& part, le_log_level level) const {
    int n = 0;
    for (const auto& [l, text] : lines) n += l == level && text.find(part) != std::string::npos;
    return n;
  }
};

TEST(LogApi, CallbackReceivesLoadLinesAndStandardErrorStaysSilent) {
  Collected got;
  const std::string err = lt::stderrOf([&] {
    le_log_set(&Collected::take, &got);
    le_ctx_ptr ctx(le_create(lt::fixture("bundle_director").c_str(), "render", 1, nullptr));
    ASSERT_TRUE(ctx) << le_last_error();
    ASSERT_NE(le_render_drive_crop(ctx.get(), 0), nullptr) << le_last_error();
    le_log_set(nullptr, nullptr);
  });
  EXPECT_EQ(err, "");
  // Routine load lines arrive at Info.
  EXPECT_EQ(got.count("[le-driver] ", LE_LOG_INFO), 1);                         // the driver's
  EXPECT_EQ(got.count("[le] director ep=cpu (ORT CPU EP)\n", LE_LOG_INFO), 1);  // the renderer's
  for (const auto& [level, text] : got.lines) {
    EXPECT_EQ(text.back(), '\n') << text;
    // FFmpeg's probe of a hardware decoder this machine lacks is detail, not a warning of ours.
    if (text.find(" @ 0x") != std::string::npos) {
      EXPECT_EQ(level, LE_LOG_DEBUG) << text;
    }
  }

  // Restored: the same lines go to standard error again.
  EXPECT_NE(lt::stderrOf([] {
              le_ctx_ptr ctx(le_create(lt::fixture("bundle_director").c_str(), "render", 1, nullptr));
            }).find("[le-driver] "),
            std::string::npos);
}

TEST(LogApi, DefaultSinkHonoursQuietAndDebug) {
  using le::log::Level;
  const char* unset = nullptr;
  const struct {
    Level level;
    const char* quiet;
    const char* debug;
    bool shown;
  } cases[] = {
      {Level::Info, unset, unset, true}, {Level::Info, "1", unset, false}, {Level::Info, "1", "1", true},
      {Level::Info, "10", unset, true},
      {Level::Warn, "1", unset, true},   {Level::Error, "1", unset, true}, {Level::Debug, unset, unset, false},
      {Level::Debug, unset, "1", true},  {Level::Debug, "1", "1", true},
  };
  for (const auto& c : cases) {
    lt::ScopedEnv q("VELOMARK_ENGINE_QUIET", c.quiet), d("VELOMARK_DEBUG", c.debug);
    const std::string err = lt::stderrOf([&] { le::log::write(c.level, "[le] probe %d", 7); });
    EXPECT_EQ(err, c.shown ? "[le] probe 7\n" : "")
        << static_cast<int>(c.level) << " quiet " << (c.quiet ? c.quiet : "-") << " debug "
        << (c.debug ? c.debug : "-");
  }
  // A load report says what a load chose: shown even when quiet.
  lt::ScopedEnv q("VELOMARK_ENGINE_QUIET", "1");
  EXPECT_EQ(lt::stderrOf([] { le::log::report("[le] probe %d", 8); }), "[le] probe 8\n");
}

}  // namespace
