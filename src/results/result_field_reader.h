// Typed reads of a result file's JSON fields, shared by the readers of each
// part of the layout. The first field that is missing or of the wrong kind
// names the problem; every read after it fails at once, so a refusal always
// names the first thing wrong.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

struct FieldReader {
    std::string& problem;    // empty while every field read so far was good
    std::string where = "";  // prefix of the field names in messages, "settings."

    bool fail(const std::string& what) {
        if (problem.empty()) problem = what;
        return false;
    }

    const nlohmann::json* member(const nlohmann::json& object, const char* key,
                                 nlohmann::json::value_t type, const char* kind) {
        if (!problem.empty()) return nullptr;
        const auto found = object.find(key);
        if (found == object.end()) {
            fail("no \"" + where + key + "\" field");
            return nullptr;
        }
        if (found->type() != type) {
            fail("\"" + where + key + "\" is not " + kind);
            return nullptr;
        }
        return &*found;
    }

    // Any JSON integer that fits Number. Parsed JSON keeps non-negative
    // integers unsigned and negative ones signed.
    template <typename Number>
    bool integer(const nlohmann::json& value, const std::string& name, Number& out) {
        if (!problem.empty()) return false;
        constexpr auto kLeast = static_cast<std::int64_t>(std::numeric_limits<Number>::min());
        constexpr auto kMost = static_cast<std::uint64_t>(std::numeric_limits<Number>::max());
        bool fits = false;
        if (value.is_number_unsigned()) {
            fits = value.get<std::uint64_t>() <= kMost;
        } else if (value.is_number_integer()) {
            const auto signedValue = value.get<std::int64_t>();
            fits = signedValue >= kLeast &&
                   (signedValue < 0 || static_cast<std::uint64_t>(signedValue) <= kMost);
        }
        if (!fits) return fail("\"" + name + "\" is not an integer in range");
        out = value.is_number_unsigned() ? static_cast<Number>(value.get<std::uint64_t>())
                                         : static_cast<Number>(value.get<std::int64_t>());
        return true;
    }

    template <typename Number>
    bool field(const nlohmann::json& object, const char* key, Number& out) {
        if (!problem.empty()) return false;
        const auto found = object.find(key);
        if (found == object.end()) return fail("no \"" + where + key + "\" field");
        return integer(*found, where + key, out);
    }
};
