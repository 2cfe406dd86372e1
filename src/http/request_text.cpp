#include "http/request_text.h"

std::string buildRequestText(const TestConfig& config) {
    std::string text;
    text.reserve(49 + config.path.size() + config.host.size());
    text += "GET ";
    text += config.path;
    text += " HTTP/1.1\r\nHost: ";
    text += config.host;
    text += "\r\nConnection: keep-alive\r\n\r\n";
    return text;
}
