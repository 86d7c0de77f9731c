// The tests start their child programs with the simulators' runner.
#pragma once

#include "sim/common/ChildProgram.h"

namespace kelvara::testing {

using wqn::sim::ChildOptions;
using wqn::sim::ChildProgram;

} // namespace kelvara::testing
