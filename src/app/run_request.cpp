#include "app/run_request.h"

#include <fstream>
#include <stdexcept>
#include <vector>

#include "config/messages.h"
#include "http/request_text.h"
#include "platform/os/file_system.h"

namespace {

constexpr std::size_t kReadChunkBytes = 1 << 16;

// The file's size when the system can tell it (a regular file), else 0.
std::uint64_t sizeHintBytes(std::ifstream& file) {
    file.seekg(0, std::ios::end);
    const std::streamoff endBytes = file.tellg();
    file.clear();
    file.seekg(0, std::ios::beg);
    file.clear();
    return endBytes > 0 ? static_cast<std::uint64_t>(endBytes) : 0;
}

// Appends the whole file to text. False when it cannot be opened or a read fails.
bool appendFile(std::ifstream& file, std::string& text) {
    std::vector<char> chunk(kReadChunkBytes);
    while (file.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) ||
           file.gcount() > 0) {
        text.append(chunk.data(), static_cast<std::size_t>(file.gcount()));
    }
    return !file.bad();
}

// The body is read straight in behind the head, sized by the file's size, so
// that even a body of most of the memory is held once. A file whose size was
// not known (a pipe) or has changed gets its head again with the true length.
bool readBodyBehindHead(const TestConfig& config, std::string& text) {
    // A directory opens on some systems, and its size would be no body's.
    if (isDirectory(config.bodyPath)) return false;
    std::ifstream file(config.bodyPath, std::ios::binary);
    if (!file.is_open()) return false;
    const std::uint64_t hintBytes = sizeHintBytes(file);
    text = buildRequestHead(config, hintBytes);
    const std::size_t headBytes = text.size();
    text.reserve(headBytes + hintBytes);
    if (!appendFile(file, text)) return false;
    const std::uint64_t bodyBytes = text.size() - headBytes;
    if (bodyBytes != hintBytes) text.replace(0, headBytes, buildRequestHead(config, bodyBytes));
    return true;
}

}  // namespace

bool prepareRunRequest(TestConfig& config) {
    if (config.bodyPath.empty()) {
        config.requestText = std::make_shared<const std::string>(buildRequestHead(config, 0));
        return true;
    }
    auto text = std::make_shared<std::string>();
    try {
        if (!readBodyBehindHead(config, *text)) {
            writeErrorLine(std::string(kBodyFileUnreadable) + quotePath(config.bodyPath));
            return false;
        }
    } catch (const std::exception&) {  // bad_alloc, or length_error past a string's size
        writeErrorLine(std::string(kBodyFileTooLarge) + quotePath(config.bodyPath));
        return false;
    }
    config.requestText = std::move(text);
    return true;
}
