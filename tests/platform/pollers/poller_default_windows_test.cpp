// The Windows poller a process takes when VELKOR_POLLER names none: the
// completion port exactly where WSAPoll misses failed connects, WSAPoll
// elsewhere and under Wine.
#include "platform/pollers/poller_default_windows.h"

#include <gtest/gtest.h>

namespace {

TEST(PollerDefault, CompletionPortExactlyBeforeWindows10Version2004) {
    struct Case {
        WindowsRelease release;  // what the system says of itself
        bool completionPort;     // the default it must get
    };
    const Case cases[] = {
        {{false, 6, 1, 7601}, true},     // Windows 7
        {{false, 6, 3, 9600}, true},     // Windows 8.1, Server 2012 R2
        {{false, 10, 0, 17763}, true},   // Windows Server 2019, Windows 10 1809
        {{false, 10, 0, 19041}, false},  // Windows 10 2004: WSAPoll reports them
        {{false, 10, 0, 26100}, false},  // Windows 11 24H2, Server 2025
        {{false, 0, 0, 0}, true},        // no version known: the safe side
        {{true, 6, 1, 7601}, false},     // Wine claiming Windows 7
        {{true, 10, 0, 19045}, false},   // Wine claiming Windows 10
    };
    for (const Case& item : cases) {
        const WindowsRelease& release = item.release;
        EXPECT_EQ(completionPortByDefault(release), item.completionPort)
            << release.underWine << " " << release.major << "." << release.minor << "."
            << release.build;
    }
}

}  // namespace
