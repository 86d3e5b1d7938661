// Every input kept under tests/fixtures/fuzz for the table's line syntax
// (seeds and past findings of the fuzzers) through the fuzzers' checks.
#include <gtest/gtest.h>

#include "table_checks.h"
#include "testing.h"

namespace {

TEST(FuzzFindings, TableLineInputsStayHarmless) {
  EXPECT_GT(kxtest::ReplayFuzzInputs(KX_FUZZ_FIXTURES, "table_line_fuzz",
                                     CheckTableLineInput),
            0);
}

TEST(FuzzFindings, ControlFileInputsStayHarmless) {
  EXPECT_GT(kxtest::ReplayFuzzInputs(KX_FUZZ_FIXTURES, "control_file_fuzz",
                                     CheckControlFileInput),
            0);
}

}  // namespace
