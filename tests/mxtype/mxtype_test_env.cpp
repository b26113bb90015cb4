// Registers the matrix store's test start-up for this suite.
#include "matrix/matrix_test_env.h"

namespace {

[[maybe_unused]] testing::Environment* const matrix_environment =
    testing::AddGlobalTestEnvironment(new mxtest::MatrixEnvironment);

}  // namespace
