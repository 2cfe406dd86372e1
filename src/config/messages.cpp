#include "config/messages.h"

#include <iostream>

namespace {

// Control bytes, and the bytes in escapeAlso, as \xNN; past shownBytes, "...".
std::string quote(std::string_view text, std::string_view escapeAlso, std::size_t shownBytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string quoted = "\"";
    for (std::size_t i = 0; i < text.size() && i < shownBytes; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F || escapeAlso.find(text[i]) != std::string_view::npos) {
            quoted += "\\x";
            quoted += kHex[byte >> 4];
            quoted += kHex[byte & 0xF];
        } else {
            quoted += static_cast<char>(byte);
        }
    }
    if (text.size() > shownBytes) quoted += "...";
    quoted += '"';
    return quoted;
}

}  // namespace

std::string quoteForMessage(std::string_view text) {
    return quote(text, "\"\\", 64);
}

std::string quotePath(std::string_view path) {
    return quote(path, "\"", path.size());
}

void writeErrorLine(std::string_view text) {
    std::cerr << text << std::endl;
}
