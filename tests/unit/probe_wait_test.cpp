#include "app_routing/probe_wait.hpp"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

TEST(ProbePollTimeout, TruncatesToWholeMillisecondsPlusOne) {
    struct Case {
        Nanoseconds remaining;
        int timeout;
    };
    const Case cases[] = {
        {milliseconds(250), 251},
        {400'000, 1},  // 0.4 ms
        {1, 1},
        {milliseconds(1), 2},
        {milliseconds(1) + 999'999, 2},
        {milliseconds(2147483645), 2147483646},
        {milliseconds(2147483646), 2147483647},  // the cap itself
        {milliseconds(2147483647), 2147483647},
        {seconds(86400LL * 365 * 100), 2147483647},
    };
    for (const Case& c : cases) EXPECT_EQ(probe_poll_timeout(c.remaining), c.timeout) << c.remaining << " ns";
}

TEST(ProbePollTimeout, NeverZeroEvenWithoutTimeLeft) {
    EXPECT_EQ(probe_poll_timeout(0), 1);
    EXPECT_EQ(probe_poll_timeout(-seconds(5)), 1);
}

}  // namespace
}  // namespace quillmere
