#include "app/messages.h"

#include <iostream>

std::string quoteForMessage(std::string_view text) {
    constexpr std::size_t kShownBytes = 64;
    static const char kHex[] = "0123456789ABCDEF";
    std::string quoted = "\"";
    for (std::size_t i = 0; i < text.size() && i < kShownBytes; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F || byte == '"' || byte == '\\') {
            quoted += "\\x";
            quoted += kHex[byte >> 4];
            quoted += kHex[byte & 0xF];
        } else {
            quoted += static_cast<char>(byte);
        }
    }
    if (text.size() > kShownBytes) quoted += "...";
    quoted += '"';
    return quoted;
}

void writeErrorLine(std::string_view text) {
    std::cerr << text << std::endl;
}
