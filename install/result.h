// The install library and the connector report errors as texts (common/result.h).
#pragma once

#include "common/result.h"

namespace kio::install {

using kio::fail;
using kio::Result;

}  // namespace kio::install
