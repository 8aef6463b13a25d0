// le_tessera_run*: the teeth pass over a batch of frames for hosts and
// offline tools. Errors go to the caller's buffer.
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "le/le_tessera.h"
#include "le/last_error.h"
#include "tessera/head_pt.h"
#include "tessera/teeth_pass.h"

namespace {

constexpr int kDeriveShift = -10000;

void run(const uint8_t* track, int nDonors, const double* cent, const double* ref, const double* apertures,
         const int* stampInts, const uint8_t* headPt, long headPtLen, const char* headJson, const uint8_t* frames,
         const uint8_t* masks, const int* shifts, int nFrames, uint8_t* out, int* status) {
  using namespace le::tessera;
  if (!track || !cent || !ref || !apertures || !stampInts || !headPt || !headJson || !frames || !masks || !out ||
      !status)
    throw std::runtime_error("teeth: a required argument is null");
  if (nFrames < 0 || headPtLen < 0 || nDonors < 1)
    throw std::runtime_error("teeth: n_frames=" + std::to_string(nFrames) + ", n_donors=" + std::to_string(nDonors) +
                             ", head_pt_len=" + std::to_string(headPtLen) + " — none may be negative, and a bank "
                             "needs a donor");
  BankData bank = bankFromArrays(track, nDonors, cent, ref, apertures, stampInts);
  const ServeConfig config = ServeConfig::fromHeadMemberJson(headJson);
  const HeadWeights head = loadHeadPt(std::vector<uint8_t>(headPt, headPt + headPtLen));
  const GeometryStamp st = bank.stamp;
  TeethPass pass(std::move(bank), head, config);
  const size_t frameBytes = static_cast<size_t>(st.canvasW) * st.canvasH * 3;
  const size_t maskBytes = static_cast<size_t>(st.canvasW) * st.canvasH;
  const size_t windowBytes = static_cast<size_t>(st.windowW) * st.windowH * 3;
  int emitted = 0;
  FrameResult result;
  const auto take = [&] {
    status[emitted] = result.skipped ? 1 : 0;
    if (!result.skipped) std::memcpy(out + emitted * windowBytes, result.window.data(), windowBytes);
    ++emitted;
  };
  for (int i = 0; i < nFrames; ++i) {
    const int* shift = shifts && shifts[2 * i] != kDeriveShift ? shifts + 2 * i : nullptr;
    if (pass.push(i, frames + i * frameBytes, masks + i * maskBytes, shift, &result)) take();
  }
  if (pass.flush(&result)) take();
  if (emitted < nFrames)
    throw std::runtime_error("teeth: emitted " + std::to_string(emitted) + " of " + std::to_string(nFrames) +
                             " frames");
}

}  // namespace

extern "C" {

LE_API int le_tessera_run_shift(const uint8_t* track, int n_donors, const double* donor_cent, const double* ref_cent,
                                const double* apertures, const int* stamp, const uint8_t* head_pt, long head_pt_len,
                                const char* head_json, const uint8_t* frames, const uint8_t* masks, const int* shifts,
                                int n_frames, uint8_t* out_windows, int* status, char* err, int err_len) {
  try {
    run(track, n_donors, donor_cent, ref_cent, apertures, stamp, head_pt, head_pt_len, head_json, frames, masks,
        shifts, n_frames, out_windows, status);
    return 0;
  } catch (const std::bad_alloc&) {
    le::copyToCaller("teeth: out of memory", err, err_len);
  } catch (const std::exception& e) {
    le::copyToCaller(e.what(), err, err_len);
  } catch (...) {
    le::copyToCaller("teeth: unknown failure", err, err_len);
  }
  return 1;
}

LE_API int le_tessera_run(const uint8_t* track, int n_donors, const double* donor_cent, const double* ref_cent,
                          const double* apertures, const int* stamp, const uint8_t* head_pt, long head_pt_len,
                          const char* head_json, const uint8_t* frames, const uint8_t* masks, int n_frames,
                          uint8_t* out_windows, int* status, char* err, int err_len) {
  return le_tessera_run_shift(track, n_donors, donor_cent, ref_cent, apertures, stamp, head_pt, head_pt_len, head_json,
                              frames, masks, nullptr, n_frames, out_windows, status, err, err_len);
}

}  // extern "C"
