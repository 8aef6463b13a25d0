// The installed package serves a host: cmake --install puts the library, the
// headers, vozaz_core.pc and the CMake package in place, and the C example
// builds against it through pkg-config and through find_package, then runs.
#include <gtest/gtest.h>

#include <string>

#include "audio/a2x_support.h"
#include "bundle/paths.h"
#include "session/session_support.h"
#include "support/fixtures.h"

namespace {

TEST(HostExample, BuildsAgainstTheInstalledPackageBothWaysAndSpeaks) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "a sanitized library links only into sanitized hosts";
#endif
#ifdef LE_TEST_CROSS_BUILD
  GTEST_SKIP() << "the example builds with the host compiler, which cannot link the cross-built library";
#endif
  const std::string dir = lt::scratchDir(), prefix = dir + "/prefix", log = dir + "/log";
  const std::string build = le::dirName(LE_TEST_LIBRARY), example = std::string(LE_TEST_SOURCE_DIR) + "/examples";
  ASSERT_EQ(lt::run("cmake --install " + build + " --prefix " + prefix + " > " + log + " 2>&1"), 0) << lt::slurp(log);
  for (const char* f : {"/include/le/le_utt.h", "/lib/libvozaz_core.so", "/lib/pkgconfig/vozaz_core.pc",
                        "/lib/cmake/vozaz_core/vozaz_coreConfig.cmake"})
    EXPECT_TRUE(le::pathExists(prefix + f)) << f;

  const std::string viaPc = dir + "/host_pc";
  ASSERT_EQ(
      lt::run("cc -std=c99 -D_POSIX_C_SOURCE=200809L " + example + "/host_session.c $(PKG_CONFIG_PATH=" + prefix +
              "/lib/pkgconfig pkg-config --cflags --libs vozaz_core) -lpthread -o " + viaPc + " > " + log + " 2>&1"),
      0)
      << lt::slurp(log);
  ASSERT_EQ(lt::run("cmake -S " + example + " -B " + dir + "/cm -DCMAKE_PREFIX_PATH=" + prefix + " > " + log +
                    " 2>&1 && cmake --build " + dir + "/cm >> " + log + " 2>&1"),
            0)
      << lt::slurp(log);

  const std::string wav = at::speechFile(dir, "speech.wav", "-c:a pcm_s16le -fflags +bitexact -map_metadata -1");
  const std::string env = "VELOMARK_ENGINE_QUIET=1 W2V_ONNX=" + st::w2vPath() + " ";
  for (const std::string& host : {viaPc, dir + "/cm/host_session"}) {
    const std::string out = dir + "/frames.rgb";
    ASSERT_EQ(lt::run(env + host + " " + st::directorBundle() + " " + st::motionBundle() + " " + wav + " " + out +
                      " > " + log + " 2>&1"),
              0)
        << host << ": " << lt::slurp(log);
    EXPECT_NE(lt::slurp(log).find(" frames of 96x80"), std::string::npos) << lt::slurp(log);
    EXPECT_GT(lt::slurp(out).size(), 100u * 96 * 80 * 3);  // the utterance and its ramp, at least
  }
}

}  // namespace
