// Every input kept under tests/fixtures/fuzz (seeds and past findings of
// the fuzzers) through the checks that the fuzzers run.
#include <gtest/gtest.h>

#include "kxenvprf_checks.h"
#include "testing.h"

namespace {

TEST(FuzzFindings, ProfileRecordInputsStayHarmless) {
  EXPECT_GT(kxtest::ReplayFuzzInputs(KX_FUZZ_FIXTURES, "profile_record_fuzz",
                                     CheckProfileRecordInput),
            0);
}

TEST(FuzzFindings, ValueBlockInputsStayHarmless) {
  EXPECT_GT(kxtest::ReplayFuzzInputs(KX_FUZZ_FIXTURES, "value_block_fuzz",
                                     CheckValueBlockInput),
            0);
}

}  // namespace
