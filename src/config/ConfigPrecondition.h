// Preconditions of the configuration classes: a failed LARCH_REQUIRE is reported like every
// assertion, and then the call throws std::invalid_argument instead of going on with bad
// arguments.
#pragma once

#include <stdexcept>

#include "support/Assert.h"

namespace common {

constexpr SRefusal<std::invalid_argument> sc_ConfigRefusal{"Precondition failed: "};

}  // namespace common
