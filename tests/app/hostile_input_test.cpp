// The command-line parsers fed 1 MiB texts, more than the operating system
// passes as one argument: each must answer in one pass, say no with a message
// of bounded size, or split the text without losing a byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/integer_rule.h"
#include "config/messages.h"
#include "app/url.h"

namespace {

constexpr std::size_t kMiB = 1 << 20;
// A message quotes at most 64 bytes of the user's text; the rest is fixed wording.
constexpr std::size_t kLongestMessageBytes = 400;

TEST(HostileInput, IntegerRuleOnMebibyteTexts) {
    struct Case {
        std::string text;    // the argument
        bool accepted;       // whether a number is read
        std::int32_t value;  // the number, when read
    };
    const Case cases[] = {
        {std::string(kMiB, '9'), false, 0},           {std::string(kMiB, ' '), false, 0},
        {std::string(kMiB, '\0'), false, 0},          {std::string(kMiB - 1, '0') + "7", true, 7},
        {std::string(kMiB - 1, ' ') + "-", false, 0}, {"12" + std::string(kMiB, '\xff'), true, 12},
    };
    for (const Case& c : cases) {
        std::int32_t value = -1;
        EXPECT_EQ(readInteger(c.text, value), c.accepted) << c.text.substr(0, 8);
        EXPECT_EQ(value, c.accepted ? c.value : -1);
    }
}

TEST(HostileInput, UrlsOfAMebibyteSplitWholeOrFailWithAShortMessage) {
    const std::string hugePath = "/" + std::string(kMiB, 'p') + " \x80\xff";
    TestConfig config;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(parseUrl("http://h:81" + hugePath, config));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(config.path, hugePath);
    EXPECT_EQ(config.port, 81);

    const std::string rejected[] = {
        std::string(kMiB, 'x'),
        "http://h:" + std::string(kMiB, '9'),
        "http://h:" + std::string(kMiB, '\x1b'),
        std::string(kMiB, '\0') + "http:/",
        "http://h/" + std::string(kMiB, 'p') + "\r\n",
    };
    for (const std::string& url : rejected) {
        testing::internal::CaptureStderr();
        EXPECT_FALSE(parseUrl(url, config));
        const std::string message = testing::internal::GetCapturedStderr();
        EXPECT_LT(message.size(), kLongestMessageBytes);
        EXPECT_EQ(message.find('\x1b'), std::string::npos);
        EXPECT_EQ(message.find('\n'), message.size() - 1);
    }
}

TEST(HostileInput, CommandLineOfMebibyteArgumentsGivesAShortMessage) {
    const std::string huge(kMiB, '8');
    const std::vector<std::vector<const char*>> lines = {
        {"velkor", "-t", huge.c_str(), "-c", "1", "http://h/"},
        {"velkor", "-t", "1", "-c", huge.c_str(), "http://h/"},
        {"velkor", "-t", "1", "-c", "1", "-q", huge.c_str(), "http://h/"},
        {"velkor", huge.c_str(), huge.c_str(), huge.c_str(), huge.c_str(), huge.c_str()},
    };
    for (const auto& line : lines) {
        TestConfig config;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(readCommandLine(static_cast<int>(line.size()), line.data(), config));
        EXPECT_LT(testing::internal::GetCapturedStderr().size(), kLongestMessageBytes);
    }
}

TEST(HostileInput, QuotingBoundsAndEscapesAnyText) {
    std::string everyByte;
    for (int i = 0; i < 256; ++i) everyByte += static_cast<char>(i);
    for (const std::string& text : {std::string(kMiB, '\x1b'), everyByte + everyByte}) {
        const std::string quoted = quoteForMessage(text);
        EXPECT_LE(quoted.size(), 2 + 64 * 4 + 3u);
        for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
            const auto byte = static_cast<unsigned char>(quoted[i]);
            EXPECT_TRUE(byte >= 0x20 && byte != 0x7F && byte != '"') << i;
        }
    }
}

TEST(HostileInput, FileNamesAreQuotedWholeWithBackslashesKept) {
    EXPECT_EQ(quotePath("C:\\runs\\a\n\"b.json"), "\"C:\\runs\\a\\x0A\\x22b.json\"");
    const std::string longName(300, 'x');
    EXPECT_EQ(quotePath(longName), "\"" + longName + "\"");
}

}  // namespace
