#include "common/version.h"

#ifndef KIO_VERSION
#error "KIO_VERSION must be defined by the build"
#endif

namespace kio {

const char* project_version() { return KIO_VERSION; }

std::string version_text(const std::string& program) { return program + " " + KIO_VERSION + "\n"; }

}  // namespace kio
