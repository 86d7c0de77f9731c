// The exit codes both tools share. A tool may add codes of its own above
// these (kelvara's fsck does).
#pragma once

namespace wqn::tools {

enum CommonExit {
    kExitOk = 0,
    kExitFailed = 1, // the operation failed; stderr says why
    kExitUsage = 2, // a command, option or argument is wrong
    kExitNotWritten = 3, // an output file could not be written
};

} // namespace wqn::tools
