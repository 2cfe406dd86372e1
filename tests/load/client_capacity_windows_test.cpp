// On Windows a client needs a local port, and each --source address brings a
// dynamic port range of its own: the limit grows with the addresses.
#include "load/client_capacity.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool fitsWith(std::int32_t concurrency, std::size_t sourceCount) {
    TestConfig config;
    config.concurrency = concurrency;
    config.sourceBinds.resize(sourceCount);
    testing::internal::CaptureStderr();
    const bool fits = clientCountFits(config);
    const std::string message = testing::internal::GetCapturedStderr();
    EXPECT_EQ(message.empty(), fits) << message;
    return fits;
}

TEST(ClientCapacityWindows, EachSourceAddressAddsOnePortRange) {
    struct Case {
        std::int32_t clients;     // -c
        std::size_t sourceCount;  // --source addresses
        bool fits;                // whether the run may start
    };
    const Case cases[] = {
        {16'384, 0, true}, {16'385, 0, false}, {16'385, 1, false},
        {32'768, 2, true}, {32'769, 2, false}, {49'152, 3, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fitsWith(c.clients, c.sourceCount), c.fits)
            << c.clients << " clients, " << c.sourceCount << " sources";
    }
}

}  // namespace
