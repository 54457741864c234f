// The project's version, as the build names it (CMake's project version): the
// one place every program's --version and the package take it from.
#pragma once

#include <string>

namespace kio {

const char* project_version();

// "NAME VERSION\n", what `NAME --version` prints, as Debian's tools do.
std::string version_text(const std::string& program);

}  // namespace kio
