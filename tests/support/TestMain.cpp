// The tests' main: Google Test's own, but a fatal failure (a failed ASSERT_*) ends the
// whole test, also when it happens in a helper the test called. Otherwise the helper
// alone returns, and the test goes on with what the helper did not make: a client that
// was never started, a port of 0.
#include <gtest/gtest.h>

#include <memory>

namespace {

// Turns each fatal failure into Google Test's own exception for it, which ends the test
// without a second report. Appended after the other listeners, so they see the failure.
class FatalFailureEndsTheTest : public ::testing::EmptyTestEventListener {
    void OnTestPartResult(const ::testing::TestPartResult& result) override {
        if (result.type() == ::testing::TestPartResult::kFatalFailure) {
            throw ::testing::AssertionException(result);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The listeners own what they are given.
    ::testing::UnitTest::GetInstance()->listeners().Append(
        std::make_unique<FatalFailureEndsTheTest>().release());
    return RUN_ALL_TESTS();
}
