// The bank decode against the ffmpeg command line's decode of the same
// track, the in-memory reader's seek semantics, and every refusal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include <cstdio>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "tessera/bank_decode.h"
#include "tessera/members.h"

namespace {

using le::tessera::decodeBankTrack;

const uint8_t* u8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(BankDecode, EqualsTheFfmpegCommandLineAfterTheTrackOrder) {
  const le::TesseraAttachInputs in = le::loadTesseraMembers(lt::fixture("bundle_teeth"));
  const std::string track = lt::slurp(in.bank_track_path);
  const std::vector<uint8_t> ours =
      decodeBankTrack(u8(track), track.size(), in.n_donors, in.band_h, in.band_w, in.track_order);
  const std::string raw = lt::scratchDir() + "/bank.rgb";
  ASSERT_EQ(lt::run("ffmpeg -nostdin -loglevel error -i " + in.bank_track_path + " -f rawvideo -pix_fmt rgb24 -y " +
                    raw),
            0);
  const std::string cli = lt::slurp(raw);
  ASSERT_EQ(cli.size(), ours.size());
  std::vector<uint8_t> donor(cli.size());
  le::reorderTrackToDonor(in, u8(cli), donor.data());
  EXPECT_EQ(ours, donor);
}

TEST(BankDecode, MemorySeekFollowsTheAvioContract) {
  const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  le::tessera::MemReader r{data, sizeof data, 0};
  const struct {
    int64_t offset;
    int whence;
    int64_t result, pos;
  } rows[] = {
      {0, AVSEEK_SIZE, 10, 0}, {4, SEEK_SET, 4, 4},  {3, SEEK_CUR, 7, 7},  {-2, SEEK_END, 8, 8},
      {1, SEEK_END, -1, 8},    {-9, SEEK_CUR, -1, 8}, {0, SEEK_END, 10, 10}, {0, 99, -1, 10},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(le::tessera::memSeek(&r, row.offset, row.whence), row.result) << row.offset << " " << row.whence;
    EXPECT_EQ(static_cast<int64_t>(r.pos), row.pos);
  }
  uint8_t buf[8];
  EXPECT_EQ(le::tessera::memRead(&r, buf, 8), AVERROR_EOF);
  r.pos = 7;
  EXPECT_EQ(le::tessera::memRead(&r, buf, 8), 3);
  EXPECT_EQ(buf[2], 9);
  EXPECT_EQ(r.pos, 10u);
}

TEST(BankDecode, EveryDisagreementIsRefused) {
  const le::TesseraAttachInputs in = le::loadTesseraMembers(lt::fixture("bundle_teeth"));
  const std::string good = lt::slurp(in.bank_track_path);
  const auto v = [](const char* name) { return lt::slurp(lt::fixture(std::string("teeth_variants/") + name)); };
  const int n = in.n_donors;
  std::vector<int> outOfRange = in.track_order, repeated = in.track_order, shorter = in.track_order;
  outOfRange[0] = n;
  repeated[0] = repeated[1];
  shorter.pop_back();
  const struct {
    std::string track;
    int n, h, w;
    std::vector<int> order;
    std::string refusal;
  } rows[] = {
      {"", n, in.band_h, in.band_w, in.track_order, "reference bank track is empty — refusing to serve"},
      {good, n, 0, in.band_w, in.track_order, "reference bank geometry is not positive — refusing to serve"},
      {good, n, in.band_h, in.band_w, shorter,
       "reference bank sidecar track_order has " + std::to_string(n - 1) + " entries, expected " + std::to_string(n) +
           " — sidecar/track mismatch, refusing to serve"},
      {good.substr(0, 200), n, in.band_h, in.band_w, in.track_order, "reference bank track "},
      {"not a video at all, only words", n, in.band_h, in.band_w, in.track_order,
       "reference bank track is not a readable container — refusing to serve"},
      {good, n, in.band_h + 1, in.band_w, in.track_order,
       "reference bank track is " + std::to_string(in.band_w) + "x" + std::to_string(in.band_h) +
           ", the geometry stamp says " + std::to_string(in.band_w) + "x" + std::to_string(in.band_h + 1) +
           " — geometry mismatch, refusing to serve"},
      {good, n, in.band_h, in.band_w, outOfRange, "reference bank track_order is out of range — refusing to serve"},
      {good, n, in.band_h, in.band_w, repeated, "reference bank track_order is not a permutation — refusing to serve"},
      {v("bank_plus1.mp4"), n, in.band_h, in.band_w, in.track_order,
       "bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, refusing to serve"},
      {v("bank_minus1.mp4"), n, in.band_h, in.band_w, in.track_order,
       "bank track decoded to " + std::to_string(n - 1) + " frames, expected " + std::to_string(n) +
           " — geometry/N mismatch, refusing to serve"},
      {v("bank_wide.mp4"), n, in.band_h, in.band_w, in.track_order, "reference bank track is " +
                                                                       std::to_string(in.band_w + 2) + "x"},
  };
  for (const auto& r : rows) {
    const std::string got =
        lt::errorOf([&] { decodeBankTrack(r.track.empty() ? nullptr : u8(r.track), r.track.size(), r.n, r.h, r.w, r.order); });
    EXPECT_THAT(got, testing::StartsWith(r.refusal));
  }
  EXPECT_EQ(le::tessera::bankDecoderBuild().rfind("libavcodec ", 0), 0u);
}

}  // namespace
