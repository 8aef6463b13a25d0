/* C++ ownership of every C handle: std::unique_ptr with the family's own
 * destroy or close call, so hosts, tools and tests share one deleter each. */
#ifndef LE_LE_CPP_H
#define LE_LE_CPP_H

#include <memory>

#include "le/le.h"
#include "le/le_a2x.h"
#include "le/le_fca.h"
#include "le/le_motion.h"
#include "le/le_stream.h"
#include "le/le_tessera.h"
#include "le/le_utt.h"

namespace le_cpp {
template <class T, void (*Release)(T*)>
struct releaser {
  void operator()(T* p) const { Release(p); }
};
}  // namespace le_cpp

using le_ctx_ptr = std::unique_ptr<le_ctx, le_cpp::releaser<le_ctx, le_destroy>>;
using le_prior_ptr = std::unique_ptr<le_prior, le_cpp::releaser<le_prior, le_prior_close>>;
using le_a2x_ptr = std::unique_ptr<le_a2x, le_cpp::releaser<le_a2x, le_a2x_destroy>>;
using le_motion_ptr = std::unique_ptr<le_motion, le_cpp::releaser<le_motion, le_motion_destroy>>;
using le_fca_ptr = std::unique_ptr<le_fca, le_cpp::releaser<le_fca, le_fca_destroy>>;
using le_utt_ptr = std::unique_ptr<le_utt, le_cpp::releaser<le_utt, le_utt_destroy>>;
using le_tessera_carriage_ptr =
    std::unique_ptr<le_tessera_carriage, le_cpp::releaser<le_tessera_carriage, le_tessera_carriage_close>>;
using le_tessera_members_ptr =
    std::unique_ptr<le_tessera_members, le_cpp::releaser<le_tessera_members, le_tessera_members_close>>;

using le_stream_ptr = std::unique_ptr<le_stream, le_cpp::releaser<le_stream, le_stream_destroy>>;

#endif /* LE_LE_CPP_H */
