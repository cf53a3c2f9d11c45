// Fuzz target for the settings file reader: any bytes in any settings file.
//
// The input is written to one file that every settings file name links to, then read by
// the start-up load and by dialog-style reads of 256, 128 and 1024 bytes. Every text must
// stay NUL-terminated inside its buffer, without CR or LF, and every read must give the
// lines that a plain model of a Windows text-mode fgets gives: CR LF counts as one
// character, a lone CR is kept, Ctrl-Z ends the file.
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "display/clock_annotation.h"
#include "net/link_table.h"
#include "settings/settings.h"
#include "station/station.h"

namespace {

namespace fs = std::filesystem;

const char* const kFiles[] = {kRelaySettingsFile, kSourceSettingsFile, kConsumerSettingsFile,
                              kBinaryModeFile,    kPointFile,          kNameFile,
                              kThresholdFile,     kFrequencyFile};

struct FuzzDir {
    fs::path dir;
    fs::path input;
    std::string dir_text;

    FuzzDir() {
        dir = fs::temp_directory_path() / ("qalmor-settings-fuzz-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        input = dir / "input";
        std::fclose(std::fopen(input.c_str(), "wb"));
        for (const char* file : kFiles)
            fs::create_symlink(input, dir / file);
        dir_text = dir.string();
    }
    ~FuzzDir() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
};

FuzzDir& fuzz_dir() {
    static FuzzDir dir;
    return dir;
}

void write_input(const uint8_t* data, size_t size) {
    FILE* out = std::fopen(fuzz_dir().input.c_str(), "wb");
    if (out == nullptr)
        std::abort();
    if (size != 0 && std::fwrite(data, 1, size, out) != size)
        std::abort();
    std::fclose(out);
}

// The file as a Windows text-mode read sees it.
std::string text_mode_view(const uint8_t* data, size_t size) {
    std::string text;
    for (size_t i = 0; i < size && data[i] != 0x1A; ++i) {
        if (data[i] == '\r' && i + 1 < size && data[i + 1] == '\n')
            continue;
        text += static_cast<char>(data[i]);
    }
    return text;
}

// The values of the first `count` fgets(N) reads, cut at CR, LF or NUL; none for a read
// at the end of the file.
std::vector<std::optional<std::string>> model_lines(const std::string& text, size_t n, int count) {
    std::vector<std::optional<std::string>> lines;
    size_t at = 0;
    for (int i = 0; i < count; ++i) {
        if (at >= text.size()) {
            lines.emplace_back();
            continue;
        }
        size_t end = std::min(text.size(), at + n - 1);
        size_t lf = text.find('\n', at);
        if (lf != std::string::npos && lf < end)
            end = lf + 1;
        std::string line = text.substr(at, end - at);
        lines.emplace_back(line.substr(0, line.find_first_of(std::string("\r\n\0", 3))));
        at = end;
    }
    return lines;
}

void check_text(const char* text, size_t size) {
    size_t length = strnlen(text, size);
    if (length >= size || std::memchr(text, '\r', length) != nullptr ||
        std::memchr(text, '\n', length) != nullptr) {
        std::abort();
    }
}

// Two reads of `N` bytes over buffers holding a marker, which a missing line must keep.
constexpr char kMarker[] = "~";

template <size_t N>
void check_dialog_read(const std::string& text) {
    std::array<char, N> first;
    std::array<char, N> second;
    std::memcpy(first.data(), kMarker, sizeof kMarker);
    std::memcpy(second.data(), kMarker, sizeof kMarker);
    std::span<char> lines[] = {first, second};
    if (settings_file_read(fuzz_dir().dir_text.c_str(), kNameFile, lines) < 0)
        std::abort();
    auto expected = model_lines(text, N, 2);
    for (int i = 0; i < 2; ++i) {
        const char* got = i == 0 ? first.data() : second.data();
        check_text(got, N);
        if (got != expected[static_cast<size_t>(i)].value_or(kMarker))
            std::abort();
    }
}

void check_startup_load(const std::string& text) {
    Settings settings;
    LinkTable links;
    ClockAnnotation clock;
    station_startup_load(fuzz_dir().dir_text.c_str(), settings, links, clock);

    // Every link file holds the same bytes, so all three slots load alike.
    auto expected = model_lines(text, kLinkLineSize, 2);
    std::string host = expected[1].value_or(expected[0].value_or("127.0.0.1"));
    uint16_t port = settings_parse_port(expected[0].value_or("127.0.0.1").c_str());
    for (int slot : {LINK_UPSTREAM, LINK_SOURCE, LINK_CONSUMER}) {
        LinkSlot s = link_read(links, slot);
        check_text(s.host.data(), s.host.size());
        if (s.host.data() != host || s.port != port)
            std::abort();
    }
    if (settings.relay_port != port)
        std::abort();
    check_text(settings.receiver_name.data(), settings.receiver_name.size());
    auto name = model_lines(text, kStartupLineSize, 1)[0];
    if (settings.receiver_name.data() != name.value_or(kDefaultReceiverName).substr(0, 255))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write_input(data, size);
    std::string text = text_mode_view(data, size);
    check_startup_load(text);
    check_dialog_read<kDialogLineSize>(text);
    check_dialog_read<kBinaryModeLineSize>(text);
    check_dialog_read<kStartupLineSize>(text);
    check_dialog_read<2>(text);
    return 0;
}
