// How many threads unpack entries, for both programs.
#pragma once

namespace qvx {

// QVXREADER_JOBS when it holds a number from 1 to 64; otherwise one thread
// per processor, up to the point where more stopped helping. A value that is
// not such a number is reported and ignored.
unsigned job_count_from_environment();

}  // namespace qvx
