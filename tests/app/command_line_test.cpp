#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "用法: velkor -t <时长(秒)> -c <并发数> [-q <目标QPS>] <目标URL>\n"
    "示例1: velkor -t 10 -c 30 http://127.0.0.1:3000 （不限速）\n"
    "示例2: velkor -t 10 -c 30 -q 5000 http://127.0.0.1:3000 （限速5000QPS）\n";

struct Outcome {
    bool accepted;           // readCommandLine's result
    TestConfig config;       // the record afterwards
    std::string stderrText;  // what it wrote to standard error
};

Outcome read(std::vector<const char*> args) {
    args.insert(args.begin(), "velkor");
    Outcome outcome{false, TestConfig{}, ""};
    testing::internal::CaptureStderr();
    outcome.accepted = readCommandLine(static_cast<int>(args.size()), args.data(), outcome.config);
    outcome.stderrText = testing::internal::GetCapturedStderr();
    return outcome;
}

TEST(CommandLine, WrongShapesGiveTheUsageText) {
    const std::vector<std::vector<const char*>> shapes = {
        {},
        {"-t", "10", "-c", "30"},
        {"-c", "30", "-t", "10", "http://h/"},
        {"-T", "10", "-c", "30", "http://h/"},
        {"--t", "10", "-c", "30", "http://h/"},
        {"-t5", "10", "-c", "30", "http://h/"},
        {"-t ", "10", "-c", "30", "http://h/"},
        {"-x", "abc", "-c", "30", "http://h/"},
        {"-t", "abc", "-C", "30", "http://h/"},
        {"-t", "10", "-c", "30", "-q", "5000"},
    };
    for (const auto& shape : shapes) {
        const Outcome outcome = read(shape);
        EXPECT_FALSE(outcome.accepted);
        EXPECT_EQ(outcome.stderrText, kUsage);
    }
}

TEST(CommandLine, FillsTheRecord) {
    struct Case {
        std::vector<const char*> args;  // after the program name
        int durationSec, concurrency, targetQps;
        const char* url;
    };
    const Case cases[] = {
        {{"-t", "10", "-c", "30", "http://127.0.0.1:3000"}, 10, 30, 0, "http://127.0.0.1:3000"},
        {{"-t", "10", "-c", "30", "-q", "5000", "http://127.0.0.1:3000"},
         10,
         30,
         5000,
         "http://127.0.0.1:3000"},
        {{"-t", "10s", "-c", "30x", "http://h/"}, 10, 30, 0, "http://h/"},
        {{"-t", "-5", "-c", "0", "http://h/"}, -5, 0, 0, "http://h/"},
        {{"-t", "10", "-c", "30", "-q"}, 10, 30, 0, "-q"},
        {{"-t", "10", "-c", "30", "-x", "5", "http://h/"}, 10, 30, 0, "-x"},
        {{"-t", "1", "-c", "2", "-q", "-3", "u", "--save", "x"}, 1, 2, -3, "u"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = read(c.args);
        EXPECT_TRUE(outcome.accepted) << c.url;
        EXPECT_EQ(outcome.stderrText, "");
        EXPECT_EQ(outcome.config.durationSec, c.durationSec);
        EXPECT_EQ(outcome.config.concurrency, c.concurrency);
        EXPECT_EQ(outcome.config.targetQps, c.targetQps);
        EXPECT_EQ(outcome.config.url, c.url);
    }
}

TEST(CommandLine, BadNumbersNameTheArgumentAndQuoteIt) {
    struct Case {
        std::vector<const char*> args;  // after the program name
        const char* message;            // the single line on standard error
    };
    const Case cases[] = {
        {{"-t", "abc", "-c", "30", "http://h/"},
         "参数 -t 的值无效: \"abc\"（须为32位有符号整数）\n"},
        {{"-t", "10", "-c", "", "http://h/"}, "参数 -c 的值无效: \"\"（须为32位有符号整数）\n"},
        {{"-t", "10", "-c", "2147483648", "http://h/"},
         "参数 -c 的值无效: \"2147483648\"（须为32位有符号整数）\n"},
        {{"-t", "10", "-c", "30", "-q", "fast", "http://h/"},
         "参数 -q 的值无效: \"fast\"（须为32位有符号整数）\n"},
        {{"-t", "x", "-c", "y", "http://h/"}, "参数 -t 的值无效: \"x\"（须为32位有符号整数）\n"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = read(c.args);
        EXPECT_FALSE(outcome.accepted);
        EXPECT_EQ(outcome.stderrText, c.message);
    }
}

}  // namespace
