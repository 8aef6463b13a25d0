// The renderer reaches ONNX Runtime through the binding the operator layer
// owns, so custom kernels and sessions share one bound API table.
#pragma once

#include "ops/ort_api.h"
