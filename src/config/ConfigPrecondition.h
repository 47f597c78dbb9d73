// Preconditions of the configuration classes: a failed check is reported like every assertion,
// and then the call throws std::invalid_argument instead of going on with bad arguments.
#pragma once

#include <stdexcept>
#include <string>

#include "support/Assert.h"

#define LARCH_CONFIG_REQUIRE(name, expr)                                        \
  do {                                                                          \
    if (!(expr)) {                                                              \
      ::common::AssertPreCondition(name, #expr, __FILE__, __LINE__);            \
      throw std::invalid_argument(std::string("Precondition failed: ") + name); \
    }                                                                           \
  } while (0)
