// The unit tests' main: runs every test with a guard, in the manner of lwIP's unit-test
// teardown, that fails a test which leaves something of the shared modules behind for the next:
// a scheduler slot, a timer, a message or response handler, an open port or a session.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/LeakGuard.h"

namespace {

class LeakGuard : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo& /*info*/) override {
        const std::string left = talvo_test::LeftBehind();
        if (!left.empty()) {
            ADD_FAILURE() << "the test left behind " << left << " (tear down what the test set up)";
            talvo_test::ClearLeftBehind();
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Listeners hear of a test's end in reverse order: the guard, appended after the printer,
    // reports before the printer writes the test's result.
    testing::UnitTest::GetInstance()->listeners().Append(new LeakGuard);
    return RUN_ALL_TESTS();
}
