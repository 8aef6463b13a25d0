/* C++ ownership of the C handles: std::unique_ptr with each family's destroy. */
#ifndef LE_LE_CPP_H
#define LE_LE_CPP_H

#include <memory>

#include "le/le.h"

struct le_ctx_deleter {
  void operator()(le_ctx* ctx) const { le_destroy(ctx); }
};
using le_ctx_ptr = std::unique_ptr<le_ctx, le_ctx_deleter>;

#endif /* LE_LE_CPP_H */
