// The store lives in install/persist/; this name stays for callers that have
// not moved to install/persist/persist.h yet.
#pragma once

#include "install/persist/persist.h"
