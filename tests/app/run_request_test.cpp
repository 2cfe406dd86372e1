#include "app/run_request.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "http/request_text.h"

namespace {

class RunRequest : public testing::Test {
protected:
    void SetUp() override {
        directory_ = std::filesystem::temp_directory_path() /
                     ("velkor-request-test-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(directory_);
        config_.host = "127.0.0.1";
        config_.path = "/upload";
        config_.method = "POST";
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    // False, and the one line it wrote, when prepareRunRequest refuses.
    std::string refusal() {
        testing::internal::CaptureStderr();
        EXPECT_FALSE(prepareRunRequest(config_));
        return testing::internal::GetCapturedStderr();
    }

    std::filesystem::path directory_;
    TestConfig config_;
};

TEST_F(RunRequest, ReadsTheBodyFileWholeBehindItsHead) {
    // Every byte value, so that no text-mode translation or stop at a zero
    // byte goes unnoticed; past one read chunk.
    std::string body(3 * 65536 + 7, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 % 256);
    const std::filesystem::path file = directory_ / "body.bin";
    std::ofstream(file, std::ios::binary) << body;
    config_.bodyPath = file.string();
    ASSERT_TRUE(prepareRunRequest(config_));
    ASSERT_NE(config_.requestText, nullptr);
    EXPECT_EQ(*config_.requestText, buildRequestText(config_, body));
    EXPECT_NE(config_.requestText->find("\r\nContent-Length: 196615\r\n\r\n"), std::string::npos);

    config_.bodyPath.clear();
    ASSERT_TRUE(prepareRunRequest(config_));
    EXPECT_EQ(*config_.requestText, buildRequestText(config_));
}

TEST_F(RunRequest, RefusesAFileThatCannotBeRead) {
    config_.bodyPath = (directory_ / "missing.json").string();
    EXPECT_EQ(refusal(), "无法读取请求体文件: \"" + config_.bodyPath + "\"\n");
    config_.bodyPath = directory_.string();
    EXPECT_EQ(refusal(), "无法读取请求体文件: \"" + config_.bodyPath + "\"\n");
}

}  // namespace
