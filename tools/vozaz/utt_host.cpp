#include "utt_host.h"

#include <chrono>
#include <thread>

namespace vozaz {

const char* stateName(uint32_t state) {
  static const char* const names[] = {"idle", "onset", "speaking", "ramp"};
  return state < 4 ? names[state] : "?";
}

int waitReady(le_utt* utt, double giveUpS, bool (*stop)(void*), void* user) {
  const auto by = std::chrono::steady_clock::now() + std::chrono::duration<double>(giveUpS);
  int ready = 0;
  while ((ready = le_utt_ready(utt)) == 0 && std::chrono::steady_clock::now() < by && !(stop && stop(user)))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return ready;
}

}  // namespace vozaz
