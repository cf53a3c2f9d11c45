// The probe's answers are one line of JSON each, in UTF-8, so the test runner reads the
// program's Russian texts as the user sees them, whatever Wine's ANSI code page is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A UTF-16 text as a quoted JSON string in UTF-8.
std::string json_string(std::wstring_view text);
// An ASCII text as a quoted JSON string.
std::string json_ascii(std::string_view text);
std::string json_bool(bool value);
std::string json_array(const std::vector<std::string>& items);

// Builds one JSON object field by field; values are JSON already.
class JsonObject {
public:
    JsonObject& add(std::string_view key, const std::string& value);
    JsonObject& add(std::string_view key, int64_t value);
    std::string str() const;

private:
    std::string fields_;
};
