// Well-formed archives and the shapes of broken and hostile ones: the
// fuzzer's seeds, and inputs on which the tests compare qvx with qvxreader.
#pragma once

#include <string>
#include <vector>

namespace qvx::seeds {

std::vector<std::string> seed_archives();

}  // namespace qvx::seeds
