// le_prior: a bundle's HEVC warp prior opened on its own, for hosts that
// read prior rows without building a whole context.
#pragma once

#include <memory>
#include <string>

#include "bundle/manifest.h"
#include "driver/cursor.h"

struct le_prior {
  le::Manifest manifest;
  std::unique_ptr<le::DriverCursor> cursor;
  std::string backend;
};
