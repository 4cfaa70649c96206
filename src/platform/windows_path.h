// How a path reaches the wide file functions of Windows (Windows only).
#pragma once

#include <string>

namespace qvx::platform {

// The form of `path` to hand to CreateFileW. A path whose full form reaches
// MAX_PATH characters opens only with the \\?\ prefix unless the system's
// long-path setting is on (the manifest alone does not lift the limit), so
// such a path is made absolute and prefixed (\\?\UNC\ for a UNC path); the
// prefix also turns off the system's clean-up of the path, which
// GetFullPathNameW has already done. A shorter path, or one with the prefix
// already, is returned as it is.
std::wstring openable_path(const std::wstring& path);

}  // namespace qvx::platform
