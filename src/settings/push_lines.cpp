#include "settings/push_lines.h"

#include "settings/settings.h"

namespace {

// A port: 1 to 65535 in decimal digits and nothing else; 0 for anything else.
uint16_t port_of(std::string_view text) {
    if (text.empty() || text.size() > 5)
        return 0;
    uint32_t port = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    return port <= 65535 ? static_cast<uint16_t>(port) : 0;
}

bool is_target(std::string_view text) {
    return !text.empty() && text.front() != '#';
}

}  // namespace

PushLine push_line_parse(std::string_view text) {
    PushLine line;
    text = text_trim(text);
    text_copy(line.text, text);
    size_t cut = text.find_last_of(" \t");
    std::string_view host;
    std::string_view port;
    if (cut != std::string_view::npos) {
        host = text_trim(text.substr(0, cut));
        port = text.substr(cut + 1);
    } else if (size_t colon = text.find(':');
               colon != std::string_view::npos && text.find(':', colon + 1) == text.npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    line.port = port_of(port);
    line.parsed = !host.empty() && host.size() < kTextSize && line.port != 0 &&
                  host.find_first_of(" \t") == std::string_view::npos;
    if (line.parsed)
        text_copy(line.host, host);
    return line;
}

int push_lines_load(const char* dir, PushLines& lines) {
    // Room for comments and empty lines between the targets.
    std::array<Text256, kPushLines * 4> raw{};
    std::array<std::span<char>, kPushLines * 4> spans;
    for (size_t i = 0; i < raw.size(); ++i)
        spans[i] = raw[i];
    int read = settings_file_read(dir, kPushSettingsFile, spans);
    int count = 0;
    for (int i = 0; i < read && count < kPushLines; ++i) {
        std::string_view text = text_trim(text_view(raw[static_cast<size_t>(i)]));
        if (is_target(text))
            lines[static_cast<size_t>(count++)] = push_line_parse(text);
    }
    return count;
}

void push_lines_save(const char* dir, const PushLines& lines, int count) {
    std::array<const char*, kPushLines> texts{};
    for (int i = 0; i < count; ++i)
        texts[static_cast<size_t>(i)] = lines[static_cast<size_t>(i)].text.data();
    settings_file_save(dir, kPushSettingsFile,
                       std::span<const char* const>(texts.data(), static_cast<size_t>(count)));
}

bool push_line_same_target(const PushLine& a, const PushLine& b) {
    return a.parsed && b.parsed && a.port == b.port && text_view(a.host) == text_view(b.host);
}
