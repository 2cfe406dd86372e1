#include "app/integer_rule.h"

#include <gtest/gtest.h>

namespace {

struct IntegerCase {
    const char* text;    // argument as typed
    bool accepted;       // whether the rule yields a number
    std::int32_t value;  // the number, when accepted
};

TEST(IntegerRule, ReadsLeadingNumberAndRejectsTheRest) {
    const IntegerCase cases[] = {
        {"10", true, 10},
        {"10s", true, 10},
        {"1e3", true, 1},
        {"0x10", true, 0},
        {"30 ", true, 30},
        {" \t\n\v\f\r42", true, 42},
        {"+7", true, 7},
        {"-5", true, -5},
        {"-0", true, 0},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, INT32_MIN},
        {"00000000000000000000012", true, 12},
        {"", false, 0},
        {"abc", false, 0},
        {"-", false, 0},
        {"+", false, 0},
        {"   ", false, 0},
        {"+-1", false, 0},
        {"- 1", false, 0},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"99999999999999999999999", false, 0},
    };
    for (const IntegerCase& c : cases) {
        std::int32_t value = 12345;
        EXPECT_EQ(readInteger(c.text, value), c.accepted) << '"' << c.text << '"';
        EXPECT_EQ(value, c.accepted ? c.value : 12345) << '"' << c.text << '"';
    }
}

TEST(IntegerRule, StopsAtAnEmbeddedZeroByte) {
    std::int32_t value = 0;
    EXPECT_TRUE(readInteger(std::string_view("12\0"
                                             "34",
                                             5),
                            value));
    EXPECT_EQ(value, 12);
}

}  // namespace
