/* C++ ownership of the C handles: std::unique_ptr with each family's destroy. */
#ifndef LE_LE_CPP_H
#define LE_LE_CPP_H

#include <memory>

#include "le/le.h"
#include "le/le_fca.h"
#include "le/le_stream.h"

struct le_ctx_deleter {
  void operator()(le_ctx* ctx) const { le_destroy(ctx); }
};
using le_ctx_ptr = std::unique_ptr<le_ctx, le_ctx_deleter>;

struct le_prior_deleter {
  void operator()(le_prior* prior) const { le_prior_close(prior); }
};
using le_prior_ptr = std::unique_ptr<le_prior, le_prior_deleter>;

struct le_fca_deleter {
  void operator()(le_fca* fca) const { le_fca_destroy(fca); }
};
using le_fca_ptr = std::unique_ptr<le_fca, le_fca_deleter>;

struct le_stream_deleter {
  void operator()(le_stream* stream) const { le_stream_destroy(stream); }
};
using le_stream_ptr = std::unique_ptr<le_stream, le_stream_deleter>;

#endif /* LE_LE_CPP_H */
