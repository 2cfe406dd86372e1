#include "http/header_line.h"

namespace {

bool isTokenByte(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool isToken(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!isTokenByte(c)) return false;
    }
    return true;
}

HeaderLineProblem checkHeaderLine(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) {
        return HeaderLineProblem::NotNamed;
    }
    // A tab may separate words of a value; CR, LF or NUL would end the line
    // or the request where the server does not expect it.
    for (char c : line.substr(colon + 1)) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F) return HeaderLineProblem::ControlByte;
    }
    for (std::string_view owned : {"connection", "content-length", "transfer-encoding"}) {
        if (headerLineNames(line, owned)) return HeaderLineProblem::Owned;
    }
    return HeaderLineProblem::None;
}

bool headerLineNames(std::string_view line, std::string_view name) {
    if (line.size() <= name.size() || line[name.size()] != ':') return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (lowerAscii(line[i]) != name[i]) return false;
    }
    return true;
}
