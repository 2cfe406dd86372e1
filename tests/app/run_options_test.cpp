#include "app/run_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/os/clock.h"

namespace {

struct Outcome {
    bool accepted;           // readRunOptions's result
    TestConfig config;       // the record afterwards
    std::string stderrText;  // what it wrote to standard error
};

Outcome read(std::vector<std::string> options) {
    std::vector<const char*> argv = {"velkor", "-t", "1", "-c", "2", "http://h/"};
    for (const std::string& option : options) argv.push_back(option.c_str());
    Outcome outcome{false, TestConfig{}, ""};
    testing::internal::CaptureStderr();
    outcome.accepted =
        readRunOptions(static_cast<int>(argv.size()), argv.data(), 6, outcome.config);
    outcome.stderrText = testing::internal::GetCapturedStderr();
    return outcome;
}

std::string secondsFromNow(std::int64_t seconds, const char* fraction = "") {
    return std::to_string(wallClockNowNs() / kNsPerSec + seconds) + fraction;
}

TEST(RunOptions, NoneLeavesTheDefaults) {
    const Outcome outcome = read({});
    EXPECT_TRUE(outcome.accepted);
    EXPECT_EQ(outcome.config.savePath, "");
    EXPECT_EQ(outcome.config.agentCount, 0);
    EXPECT_EQ(outcome.config.startAtUnixNs, 0);
    EXPECT_TRUE(outcome.config.sourceAddresses.empty());
    EXPECT_FALSE(outcome.config.showLatencyBlock);
    EXPECT_FALSE(outcome.config.showConnectionBlock);
    EXPECT_EQ(outcome.config.connectRate, 0);
    EXPECT_EQ(outcome.config.warmupSec, 0);
}

TEST(RunOptions, ReadsEveryOption) {
    const std::string startAt = secondsFromNow(60, ".25");
    const Outcome outcome = read({"--agent",
                                  "3/4",
                                  "--save",
                                  "run.json",
                                  "--start-at",
                                  startAt,
                                  "--latency",
                                  "--source",
                                  "198.18.0.2,fd00:198:18::3",
                                  "--run-id",
                                  "soak-2026-12-07T23:00_a.1",
                                  "--insecure",
                                  "--ca",
                                  "ca.pem",
                                  "--cert",
                                  "c.pem",
                                  "--key",
                                  "k.pem",
                                  "--key-password-file",
                                  "pass.txt"});
    ASSERT_TRUE(outcome.accepted) << outcome.stderrText;
    EXPECT_EQ(outcome.config.agentIndex, 3);
    EXPECT_EQ(outcome.config.agentCount, 4);
    EXPECT_EQ(outcome.config.savePath, "run.json");
    EXPECT_EQ(outcome.config.startAtUnixNs % kNsPerSec, 250'000'000);
    EXPECT_EQ(outcome.config.sourceAddresses,
              (std::vector<std::string>{"198.18.0.2", "fd00:198:18::3"}));
    ASSERT_EQ(outcome.config.sourceBinds.size(), 2u);
    EXPECT_EQ(addressFamily(outcome.config.sourceBinds[1]), AF_INET6);
    EXPECT_EQ(outcome.config.runId, "soak-2026-12-07T23:00_a.1");
    EXPECT_TRUE(outcome.config.showLatencyBlock);
    EXPECT_FALSE(outcome.config.verifyPeer);
    EXPECT_EQ(outcome.config.caFile, "ca.pem");
    EXPECT_EQ(outcome.config.certFile, "c.pem");
    EXPECT_EQ(outcome.config.keyFile, "k.pem");
    EXPECT_EQ(outcome.config.keyPasswordFile, "pass.txt");
    // The run time is the record's default, 10 s: a warm-up of 9 s leaves one.
    const Outcome shaped = read({"--warmup", "9", "--connections", "--connect-rate", "250"});
    ASSERT_TRUE(shaped.accepted) << shaped.stderrText;
    EXPECT_EQ(shaped.config.warmupSec, 9);
    EXPECT_EQ(shaped.config.connectRate, 250);
    EXPECT_TRUE(shaped.config.showConnectionBlock);
    const Outcome planned = read({"--rate-plan", "4s:10,6s:10-0"});  // as long as the run
    ASSERT_TRUE(planned.accepted) << planned.stderrText;
    EXPECT_EQ(ratePlanText(planned.config.ratePlan), "4s:10,6s:10-0");
    const Outcome served = read({"--metrics", "127.0.0.1:9464", "--metrics-linger", "5"});
    ASSERT_TRUE(served.accepted) << served.stderrText;
    EXPECT_EQ(served.config.metricsAddress, "127.0.0.1:9464");
    EXPECT_EQ(ntohs(served.config.metricsBind.sin_port), 9464);
    EXPECT_EQ(ntohl(served.config.metricsBind.sin_addr.s_addr), 0x7F000001u);
    EXPECT_EQ(served.config.metricsLingerSec, 5);
    const Outcome everywhere = read({"--metrics", ":65535"});
    ASSERT_TRUE(everywhere.accepted) << everywhere.stderrText;
    EXPECT_EQ(everywhere.config.metricsBind.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(everywhere.config.metricsLingerSec, -1);
    EXPECT_EQ(read({"--ipv6"}).config.lookupFamily, AF_INET6);
    EXPECT_EQ(read({"--ipv4"}).config.lookupFamily, AF_INET);
}

TEST(RunOptions, HeaderMayBeGivenManyTimesInItsOrder) {
    const Outcome outcome =
        read({"--header", "Accept: */*", "--method", "PATCH", "--header", "host: a\tb", "--header",
              "X-Empty:", "--header", "Accept: text/html", "--body-file", "b.json"});
    ASSERT_TRUE(outcome.accepted) << outcome.stderrText;
    EXPECT_EQ(outcome.config.method, "PATCH");
    EXPECT_EQ(
        outcome.config.headerLines,
        (std::vector<std::string>{"Accept: */*", "host: a\tb", "X-Empty:", "Accept: text/html"}));
    EXPECT_EQ(outcome.config.bodyPath, "b.json");
}

TEST(RunOptions, BadOptionsGiveOneLineNamingThem) {
    struct Case {
        std::vector<std::string> options;  // after the URL
        std::string message;               // the single line on standard error
    };
    const std::string agentRule = "（须为K/N，其中 1 <= K <= N）\n";
    const std::string runIdRule = "（须为1到64个字母、数字或 - _ . : 字符）\n";
    const std::string startRule = "（须为此刻之后一天之内的Unix时间，单位秒，可带小数）\n";
    const std::string rateRule = "（须为每秒新建的连接数，1到999999999的整数）\n";
    const std::string warmupRule = "（须为秒数，且小于 -t 的运行时间）\n";
    const std::string metricsRule =
        "（须为IPv4地址:端口，如 127.0.0.1:9464 或 :9464，端口为1到65535）\n";
    const std::string lingerRule = "（须为秒数，0到3600的整数）\n";
    const std::string past = secondsFromNow(-5);
    const std::string farAhead = secondsFromNow(2 * 86400);
    const std::string methodRule = "（须为方法名，只含字母、数字和 !#$%&'*+-.^_`|~）\n";
    const std::string headerRule = "（须为“名称: 值”，名称只含字母、数字和 !#$%&'*+-.^_`|~）\n";
    const std::string ownedRule =
        "（Connection、Content-Length 和 Transfer-Encoding 由 velkor 决定）\n";
    // 2^64 ns in seconds ahead: in nanoseconds it would wrap to a minute ahead.
    const std::string wrapsAround = secondsFromNow(18'446'744'073 + 60, ".709551616");
    const Case cases[] = {
        {{"--bogus"}, "未知选项: \"--bogus\"\n"},
        {{"extra"}, "未知选项: \"extra\"\n"},
        {{"-q", "5"}, "未知选项: \"-q\"\n"},
        {{"--save"}, "选项 --save 缺少值\n"},
        {{"--save", ""}, "选项 --save 的值无效: \"\"（须为文件路径）\n"},
        {{"--save", "a", "--save", "b"}, "选项 --save 重复出现\n"},
        {{"--agent", "0/4"}, "选项 --agent 的值无效: \"0/4\"" + agentRule},
        {{"--agent", "5/4"}, "选项 --agent 的值无效: \"5/4\"" + agentRule},
        {{"--agent", "1"}, "选项 --agent 的值无效: \"1\"" + agentRule},
        {{"--agent", "+1/2"}, "选项 --agent 的值无效: \"+1/2\"" + agentRule},
        {{"--agent", "1/9999999999"}, "选项 --agent 的值无效: \"1/9999999999\"" + agentRule},
        {{"--start-at", past}, "选项 --start-at 的值无效: \"" + past + "\"" + startRule},
        {{"--start-at", farAhead}, "选项 --start-at 的值无效: \"" + farAhead + "\"" + startRule},
        {{"--start-at", wrapsAround},
         "选项 --start-at 的值无效: \"" + wrapsAround + "\"" + startRule},
        {{"--start-at", "999999999999.999999999"},
         "选项 --start-at 的值无效: \"999999999999.999999999\"" + startRule},
        {{"--start-at", "soon"}, "选项 --start-at 的值无效: \"soon\"" + startRule},
        {{"--start-at", "1."}, "选项 --start-at 的值无效: \"1.\"" + startRule},
        {{"--source", "198.18.0.2,"},
         "选项 --source 的值无效: \"198.18.0.2,\"（须为逗号分隔的IPv4或IPv6地址）\n"},
        {{"--latency", "--latency"}, "选项 --latency 重复出现\n"},
        {{"--connections", "--connections"}, "选项 --connections 重复出现\n"},
        {{"--connect-rate", "0"}, "选项 --connect-rate 的值无效: \"0\"" + rateRule},
        {{"--connect-rate", "-5"}, "选项 --connect-rate 的值无效: \"-5\"" + rateRule},
        {{"--connect-rate", "1e3"}, "选项 --connect-rate 的值无效: \"1e3\"" + rateRule},
        {{"--connect-rate"}, "选项 --connect-rate 缺少值\n"},
        {{"--warmup", "10"}, "选项 --warmup 的值无效: \"10\"" + warmupRule},
        {{"--warmup", "1s"}, "选项 --warmup 的值无效: \"1s\"" + warmupRule},
        {{"--warmup", "1", "--warmup", "2"}, "选项 --warmup 重复出现\n"},
        {{"--latency", "5"}, "未知选项: \"5\"\n"},
        {{"--rate-plan", "5s:10,5s:0s"},
         "选项 --rate-plan 的值无效: \"5s:10,5s:0s\"（第2步 \"5s:0s\"：速率须为整数（每秒请求数），"
         "其后不能有其他文字；格式如 30s:1000,60s:1000-5000,30s:5000）\n"},
        {{"--rate-plan", "5s:10"},
         "选项 --rate-plan 的值无效: \"5s:10\"（计划共 5 秒，须与 -t 的 10 秒相等）\n"},
        {{"--rate-plan", "10s:1", "--rate-plan", "10s:1"}, "选项 --rate-plan 重复出现\n"},
        {{"--run-id", ""}, "选项 --run-id 的值无效: \"\"" + runIdRule},
        {{"--run-id", "a b"}, "选项 --run-id 的值无效: \"a b\"" + runIdRule},
        {{"--run-id", "x\"y"}, "选项 --run-id 的值无效: \"x\\x22y\"" + runIdRule},
        {{"--run-id", std::string(65, 'r')},
         "选项 --run-id 的值无效: \"" + std::string(64, 'r') + "...\"" + runIdRule},
        // A zone names an interface, not an address to leave from.
        {{"--source", "fe80::1%eth0"},
         "选项 --source 的值无效: \"fe80::1%eth0\"（须为逗号分隔的IPv4或IPv6地址）\n"},
        {{"--ipv4", "--ipv6"}, "选项 --ipv6 不能与 --ipv4 同时使用\n"},
        {{"--ipv6", "--ipv4"}, "选项 --ipv4 不能与 --ipv6 同时使用\n"},
        {{"--ipv6", "--ipv6"}, "选项 --ipv6 重复出现\n"},
        {{"--method", "GET /x"}, "选项 --method 的值无效: \"GET /x\"" + methodRule},
        {{"--method", ""}, "选项 --method 的值无效: \"\"" + methodRule},
        {{"--method", "P\xC3\xB6ST"}, "选项 --method 的值无效: \"P\xC3\xB6ST\"" + methodRule},
        {{"--method", "GET", "--method", "PUT"}, "选项 --method 重复出现\n"},
        {{"--header", "NoColon"}, "选项 --header 的值无效: \"NoColon\"" + headerRule},
        {{"--header", ": v"}, "选项 --header 的值无效: \": v\"" + headerRule},
        {{"--header", "X A: v"}, "选项 --header 的值无效: \"X A: v\"" + headerRule},
        {{"--header", "X-A : v"}, "选项 --header 的值无效: \"X-A : v\"" + headerRule},
        {{"--header", "X-A: v\r\nX-B: w"},
         "选项 --header 的值无效: \"X-A: v\\x0D\\x0AX-B: w\"（值中不能有制表符以外的控制字符）\n"},
        {{"--header", "X-A: v\x7Fw"},
         "选项 --header 的值无效: \"X-A: v\\x7Fw\"（值中不能有制表符以外的控制字符）\n"},
        {{"--header", "connection: close"},
         "选项 --header 的值无效: \"connection: close\"" + ownedRule},
        {{"--header", "Content-Length: 5"},
         "选项 --header 的值无效: \"Content-Length: 5\"" + ownedRule},
        {{"--header", "TRANSFER-ENCODING: chunked"},
         "选项 --header 的值无效: \"TRANSFER-ENCODING: chunked\"" + ownedRule},
        {{"--header", "Host: a", "--header", "HOST: b"},
         "选项 --header 的值无效: \"HOST: b\"（Host 只能给一次）\n"},
        {{"--header"}, "选项 --header 缺少值\n"},
        {{"--body-file", ""}, "选项 --body-file 的值无效: \"\"（须为文件路径）\n"},
        {{"--body-file", "a", "--body-file", "b"}, "选项 --body-file 重复出现\n"},
        // --insecure is a switch: what follows it is the next option.
        {{"--insecure", "yes"}, "未知选项: \"yes\"\n"},
        {{"--insecure", "--insecure"}, "选项 --insecure 重复出现\n"},
        {{"--ca"}, "选项 --ca 缺少值\n"},
        {{"--ca", ""}, "选项 --ca 的值无效: \"\"（须为可读的PEM证书文件）\n"},
        {{"--metrics", "9464"}, "选项 --metrics 的值无效: \"9464\"" + metricsRule},
        {{"--metrics", "127.0.0.1:0"}, "选项 --metrics 的值无效: \"127.0.0.1:0\"" + metricsRule},
        {{"--metrics", "127.0.0.1:65536"},
         "选项 --metrics 的值无效: \"127.0.0.1:65536\"" + metricsRule},
        {{"--metrics", "localhost:9464"},
         "选项 --metrics 的值无效: \"localhost:9464\"" + metricsRule},
        {{"--metrics", "127.0.0.1:94a"},
         "选项 --metrics 的值无效: \"127.0.0.1:94a\"" + metricsRule},
        {{"--metrics", "[::1]:9464"}, "选项 --metrics 的值无效: \"[::1]:9464\"" + metricsRule},
        {{"--metrics", ":1", "--metrics", ":2"}, "选项 --metrics 重复出现\n"},
        {{"--metrics-linger", "3601"}, "选项 --metrics-linger 的值无效: \"3601\"" + lingerRule},
        {{"--metrics-linger", "-1"}, "选项 --metrics-linger 的值无效: \"-1\"" + lingerRule},
        {{"--metrics-linger"}, "选项 --metrics-linger 缺少值\n"},
        {{"--cert", "a", "--cert", "b"}, "选项 --cert 重复出现\n"},
        {{"--key", ""}, "选项 --key 的值无效: \"\"（须为可读的PEM私钥文件）\n"},
        {{"--key-password-file"}, "选项 --key-password-file 缺少值\n"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = read(c.options);
        EXPECT_FALSE(outcome.accepted) << c.message;
        EXPECT_EQ(outcome.stderrText, c.message);
    }
}

// Every connection goes to the one socket: there is no address to choose a
// family of or to leave from. A system without Unix sockets refuses the option.
TEST(RunOptions, UnixSocketStandsAlone) {
    const std::string tooLong(108, 's');
    const Outcome alone = read({"--unix-socket", "/run/app.sock"});
    if (!unixSocketsSupported()) {
        EXPECT_FALSE(alone.accepted);
        EXPECT_EQ(alone.stderrText, "选项 --unix-socket 只能在Linux上使用\n");
        return;
    }
    ASSERT_TRUE(alone.accepted) << alone.stderrText;
    EXPECT_EQ(alone.config.unixSocketPath, "/run/app.sock");
    const std::string rule = "（须为Unix套接字的路径，最长107字节）\n";
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"--unix-socket", "/s", "--source", "127.0.0.2"},
         "选项 --unix-socket 不能与 --source 同时使用\n"},
        {{"--source", "::1", "--unix-socket", "/s"},
         "选项 --unix-socket 不能与 --source 同时使用\n"},
        {{"--ipv6", "--unix-socket", "/s"}, "选项 --unix-socket 不能与 --ipv6 同时使用\n"},
        {{"--unix-socket", "/s", "--ipv4"}, "选项 --unix-socket 不能与 --ipv4 同时使用\n"},
        {{"--unix-socket", ""}, "选项 --unix-socket 的值无效: \"\"" + rule},
        {{"--unix-socket", tooLong},
         "选项 --unix-socket 的值无效: \"" + std::string(64, 's') + "...\"" + rule},
        {{"--unix-socket"}, "选项 --unix-socket 缺少值\n"},
    };
    for (const auto& [options, message] : refused) {
        const Outcome outcome = read(options);
        EXPECT_FALSE(outcome.accepted) << message;
        EXPECT_EQ(outcome.stderrText, message);
    }
    EXPECT_TRUE(read({"--unix-socket", std::string(107, 's')}).accepted);
}

}  // namespace
