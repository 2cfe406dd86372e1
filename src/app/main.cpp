// velkor: keep-alive load generator for HTTP/1.1 servers.
#include <iostream>

#include "app/command_line.h"
#include "app/messages.h"
#include "app/run_options.h"
#include "app/url.h"
#include "load/client_capacity.h"
#include "load/run_driver.h"

int main(int argc, char* argv[]) {
    std::cout << kBannerTitle << " by " << kBannerCredit << std::endl;
    WSADATA winsockData;
    if (WSAStartup(MAKEWORD(2, 2), &winsockData) != 0) {
        writeErrorLine(kWinsockStartFailed);
        return 1;
    }
    TestConfig config;
    // The URL is checked before the options after it, so a command line of
    // the positional form alone behaves as it always has.
    if (!readCommandLine(argc, argv, config) || !parseUrl(config.url, config) ||
        !readRunOptions(argc, argv, firstOptionIndex(argc, argv), config) ||
        !clientCountFits(config)) {
        WSACleanup();
        return 1;
    }
    return runLoadTest(config);
}
