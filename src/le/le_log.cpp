#include "base/log.h"
#include "le/le.h"

extern "C" LE_API void le_log_set(le_log_callback cb, void* user) {
  try {
    if (!cb) {
      le::log::setSink({});
      return;
    }
    le::log::setSink(
        [cb, user](le::log::Level level, const char* line) { cb(static_cast<le_log_level>(level), line, user); });
  } catch (...) {
    // Out of memory for the closure: the previous sink stays, which is all a void call can promise.
  }
}
