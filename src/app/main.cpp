// velkor: keep-alive load generator for HTTP/1.1 servers.
#include <iostream>
#include <string_view>

#include "app/command_line.h"
#include "config/messages.h"
#include "app/run_options.h"
#include "app/run_request.h"
#include "app/source_check.h"
#include "app/tls_setup.h"
#include "app/url.h"
#include "http/target_lookup.h"
#include "load/client_capacity.h"
#include "load/run_driver.h"
#include "metrics/metrics_server.h"
#include "results/run_saving.h"
#include "stats/connection_block.h"
#include "stats/latency_block.h"
#include "stats/run_summary.h"

int main(int argc, char* argv[]) {
    // "--version" first is no run's shape, so answering it changes no run.
    if (argc >= 2 && std::string_view(argv[1]) == kVersionOption) {
        std::cout << kVersionLine << std::endl;
        return 0;
    }
    std::cout << kBannerTitle << " by " << kBannerCredit << std::endl;
    WSADATA winsockData;
    if (WSAStartup(MAKEWORD(2, 2), &winsockData) != 0) {
        writeErrorLine(kWinsockStartFailed);
        return 1;
    }
    TestConfig config;
    MetricsServer metrics;
    // The URL is checked before the options after it, so a command line of
    // the positional form alone behaves as it always has.
    if (!readCommandLine(argc, argv, config) || !parseUrl(config.url, config) ||
        !readRunOptions(argc, argv, firstOptionIndex(argc, argv), config) ||
        !clientCountFits(config) || !saveFileReady(config) || !openMetricsServer(config, metrics) ||
        !prepareRunRequest(config) || !lookUpTarget(config) || !checkSourceAddresses(config) ||
        !prepareTls(config) || !startMetricsServer(metrics)) {
        stopMetricsServer(metrics);
        releaseTls(config);
        WSACleanup();
        return 1;
    }
    RunResult result;
    const bool ran = runLoadTest(config, result);
    releaseTls(config);
    if (!ran) {
        stopMetricsServer(metrics);
        WSACleanup();
        return 1;
    }
    printRunSummary(result, std::cout);
    if (config.showLatencyBlock) printLatencyBlock(result, std::cout);
    if (config.showConnectionBlock) printConnectionBlock(result, std::cout);
    const bool saved = saveRunResult(config, result);
    finishMetricsServer(metrics, config.metricsLingerSec);
    WSACleanup();
    return saved ? 0 : 1;
}
