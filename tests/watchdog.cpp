// A test that hangs (a lost wake-up, a read that waits forever) ends in
// seconds with SIGALRM, which names it, instead of running into CTest's
// timeout.
#include <gtest/gtest.h>

#include <unistd.h>

namespace {

// Well over the slowest test's need (about 15 s, most of it waiting for a
// slowed scan), well under CTest's TIMEOUT.
constexpr unsigned WATCHDOG_SECONDS = 45;

class Watchdog : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& /*test*/) override { alarm(WATCHDOG_SECONDS); }
    void OnTestEnd(const testing::TestInfo& /*test*/) override { alarm(0); }
};

const bool g_watching = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new Watchdog); // gtest owns it
    return true;
}();

} // namespace
