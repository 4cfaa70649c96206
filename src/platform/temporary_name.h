// Names for output files that are still being written.
#pragma once

#include <string>

namespace qvx::platform {

// A fresh candidate: the temporary prefix, random letters and ".tmp". The
// caller creates it exclusively and asks again if the name is taken.
std::string make_temporary_name();

}  // namespace qvx::platform
