#include <gtest/gtest.h>

#include "Deployment.h"

namespace {

using namespace larch_e2e;

}  // namespace
