// A test fixture: a fresh, empty config directory for one test, removed afterwards, whose
// files the test writes and reads back byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

class ConfigDirTest : public testing::Test {
protected:
    void SetUp() override {
        auto base = std::filesystem::temp_directory_path();
        for (int attempt = 0;; ++attempt) {
            auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
            dir_path =
                base / ("qalmor-settings-" + std::to_string(stamp) + "-" + std::to_string(attempt));
            if (std::filesystem::create_directory(dir_path))
                break;
        }
        dir_text = dir_path.string();
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_path, ignored);
    }

    const char* dir() const { return dir_text.c_str(); }

    // Writes `bytes` as the file's whole content, exactly as given.
    void write(const char* file, const std::string& bytes) const {
        std::ofstream out(dir_path / file, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::string contents(const char* file) const {
        std::ifstream in(dir_path / file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::filesystem::path dir_path;
    std::string dir_text;
};
