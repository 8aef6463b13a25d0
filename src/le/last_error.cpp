#include "le/last_error.h"

#include "le/le.h"

namespace le {

std::string& lastError() {
  thread_local std::string text;
  return text;
}

}  // namespace le

extern "C" LE_API const char* le_last_error(void) { return le::lastError().c_str(); }

extern "C" LE_API int le_host_kp_rows(void) { return le::kHostKpRows; }
