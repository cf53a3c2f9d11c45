#include "settings/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "settings/file_replace.h"

namespace {

constexpr int kCtrlZ = 0x1A;

// A settings file opened for reading, seen as a text-mode stream on Windows sees it: CR LF
// comes out as one LF, a lone CR stays as it is, and a Ctrl-Z ends the file. The file is
// opened in binary mode and translated here, so every platform reads a file alike.
struct SettingsReader {
    FILE* file = nullptr;
    bool ended = false;
};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

FILE* settings_open(const char* dir, const char* file, const char* mode) {
    char path[kFilePathSize];
    if (!settings_path(dir, file, path))
        return nullptr;
    return std::fopen(path, mode);
}

// A name that opens but cannot be read (a directory, on POSIX) counts as not opened, as
// it is on Windows, where such an open fails.
bool reader_open(SettingsReader& reader, const char* dir, const char* file) {
    reader.file = settings_open(dir, file, "rb");
    reader.ended = false;
    if (reader.file == nullptr)
        return false;
    int first = std::getc(reader.file);
    if (std::ferror(reader.file)) {
        std::fclose(reader.file);
        reader.file = nullptr;
        return false;
    }
    if (first != EOF)
        std::ungetc(first, reader.file);
    return true;
}

void reader_close(SettingsReader& reader) {
    std::fclose(reader.file);
    reader.file = nullptr;
}

// The next character as a text-mode read gives it, or EOF.
int reader_next(SettingsReader& reader) {
    if (reader.ended)
        return EOF;
    int c = std::getc(reader.file);
    if (c == '\r') {
        int next = std::getc(reader.file);
        if (next == '\n')
            return '\n';
        if (next != EOF)
            std::ungetc(next, reader.file);
        return '\r';
    }
    if (c == EOF || c == kCtrlZ) {
        reader.ended = true;
        return EOF;
    }
    return c;
}

// fgets: at most size - 1 characters, up to and including the first LF, NUL-terminated.
// At the end of the file the buffer is left untouched and the result is false.
bool reader_line(SettingsReader& reader, std::span<char> line) {
    if (line.size() < 2)
        return false;
    size_t length = 0;
    while (length < line.size() - 1) {
        int c = reader_next(reader);
        if (c == EOF)
            break;
        line[length++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    if (length == 0)
        return false;
    line[length] = '\0';
    return true;
}

// Reads and cuts the first line of a file. False if the file is missing or holds no line,
// so that the setting keeps the value it has.
bool read_first_line(const char* dir, const char* file, std::span<char> line) {
    SettingsReader reader;
    if (!reader_open(reader, dir, file))
        return false;
    bool read = reader_line(reader, line);
    reader_close(reader);
    if (read)
        settings_cut(line);
    return read;
}

// Writes a text and a line end as "%s\n" does on a Windows text-mode stream: every LF,
// the text's own included, goes to disk as CR LF.
void write_text_line(FILE* file, const char* text) {
    for (const char* lf = std::strchr(text, '\n'); lf != nullptr; lf = std::strchr(text, '\n')) {
        std::fwrite(text, 1, static_cast<size_t>(lf - text), file);
        std::fputs("\r\n", file);
        text = lf + 1;
    }
    std::fputs(text, file);
    std::fputs("\r\n", file);
}

// A link file: line 1 is read into the slot's own host buffer for the port, and line 2
// over it. So a missing line 2 leaves the host equal to line 1's text, and an empty file
// takes the port from the host the link already has. Returns the port it set, or -1 if
// the file is missing; `named` says whether line 2 is there and not empty.
int32_t load_link_file(const char* dir, const char* file, LinkAddress& link, bool& named) {
    named = false;
    SettingsReader reader;
    if (!reader_open(reader, dir, file))
        return -1;
    Text256 host = link.host;
    reader_line(reader, host);
    settings_cut(host);
    uint16_t port = settings_parse_port(host.data());
    named = reader_line(reader, host);
    settings_cut(host);
    named = named && host[0] != '\0';
    reader_close(reader);
    link.port = port;
    text_copy(link.host, text_view(host));
    return port;
}

void load_binary_mode(const char* dir, Settings& settings) {
    char line[kBinaryModeLineSize];
    if (read_first_line(dir, kBinaryModeFile, line))
        settings.binary_mode = settings_parse_int(line);
}

// Line 2 is read into line 1's buffer, so a missing line 2 gives a longitude equal to
// the latitude. A file without any line leaves both defaults.
void load_point(const char* dir, Settings& settings) {
    SettingsReader reader;
    if (!reader_open(reader, dir, kPointFile))
        return;
    char line[kStartupLineSize];
    if (reader_line(reader, line)) {
        settings_cut(line);
        double latitude =
            settings_parse_coordinate(line, kLatitudeLimitDegrees, kDefaultLatitudeArcsec);
        if (reader_line(reader, line))
            settings_cut(line);
        settings.latitude_arcsec = latitude;
        settings.longitude_arcsec =
            settings_parse_coordinate(line, kLongitudeLimitDegrees, kDefaultLongitudeArcsec);
    }
    reader_close(reader);
}

void load_name(const char* dir, Settings& settings) {
    char line[kStartupLineSize];
    if (read_first_line(dir, kNameFile, line))
        text_copy(settings.receiver_name, text_view(line));  // its first 255 characters
}

void load_threshold(const char* dir, Settings& settings) {
    char line[kStartupLineSize];
    if (read_first_line(dir, kThresholdFile, line))
        settings.signal_threshold = settings_parse_int(line);
}

void load_frequency(const char* dir, StartupValues& values) {
    char line[kStartupLineSize];
    if (read_first_line(dir, kFrequencyFile, line)) {
        values.frequency_read = true;
        values.frequency_hz = settings_parse_int(line);
    }
}

// A missing file or an empty line 1 keeps the TCP source.
void load_serial(const char* dir, Settings& settings) {
    Text256 port{};
    Text256 speed{};
    std::span<char> lines[] = {port, speed};
    if (settings_file_read(dir, kSerialSettingsFile, lines) < 0)
        return;
    settings.serial_port = port;
    settings.serial_speed = settings_parse_speed(speed.data());
}

// Lines 3 and 4 of the relay file, in buffers of their own: a file of two lines leaves
// the relay listening everywhere and sharing every slot, as it always did.
void load_relay_listening(const char* dir, Settings& settings) {
    Text256 skipped{};
    Text256 address{};
    Text256 share{};
    std::span<char> lines[] = {skipped, skipped, address, share};
    int read = settings_file_read(dir, kRelaySettingsFile, lines);
    if (read >= 3)
        text_copy(settings.relay_address, text_trim(text_view(address)));
    if (read >= 4)
        settings.relay_share = settings_parse_share(share.data());
}

}  // namespace

bool settings_path(const char* dir, const char* file, std::span<char> path) {
    if (dir == nullptr || dir[0] == '\0' || std::strcmp(dir, ".") == 0)
        dir = "";
    size_t dir_length = std::strlen(dir);
    bool has_separator =
        dir_length == 0 || dir[dir_length - 1] == '/' || dir[dir_length - 1] == '\\';
    int length =
        std::snprintf(path.data(), path.size(), "%s%s%s", dir, has_separator ? "" : "/", file);
    return length >= 0 && static_cast<size_t>(length) < path.size();
}

void settings_startup_load(const char* dir, Settings& settings, StartupValues& values) {
    const char* files[] = {kRelaySettingsFile, kSourceSettingsFile, kConsumerSettingsFile};
    int32_t ports[3];
    for (size_t i = 0; i < 3; ++i) {
        ports[i] = load_link_file(dir, files[i], values.links[i], values.links_named[i]);
        values.links_found[i] = ports[i] >= 0;
        if (i == 1)
            load_binary_mode(dir, settings);  // between the source and consumer files
    }
    if (ports[0] >= 0) {
        settings.relay_port = static_cast<uint16_t>(ports[0]);
        load_relay_listening(dir, settings);
    }
    load_point(dir, settings);
    load_name(dir, settings);
    load_threshold(dir, settings);
    load_frequency(dir, values);
    load_serial(dir, settings);
}

int settings_file_read(const char* dir, const char* file, std::span<const std::span<char>> lines) {
    SettingsReader reader;
    if (!reader_open(reader, dir, file))
        return -1;
    int read = 0;
    for (std::span<char> line : lines) {
        if (reader_line(reader, line)) {
            settings_cut(line);
            ++read;
        }
    }
    reader_close(reader);
    return read;
}

void settings_file_save(const char* dir, const char* file, std::span<const char* const> texts) {
    // The new content goes into a file beside the old one, which it then replaces whole:
    // a crash or a full disk leaves the old file, never an empty or a cut one.
    char path[kFilePathSize];
    char temp_path[kFilePathSize];
    if (!settings_path(dir, file, path))
        return;
    int length = std::snprintf(temp_path, sizeof temp_path, "%s.new", path);
    if (length < 0 || static_cast<size_t>(length) >= sizeof temp_path)
        return;
    FILE* out = std::fopen(temp_path, "wb");
    if (out == nullptr)
        return;
    for (const char* text : texts)
        write_text_line(out, text != nullptr ? text : "");
    file_replace(out, temp_path, path);
}

void settings_save_number(const char* dir, const char* file, int32_t value) {
    char text[16];
    text_format(text, "%d", static_cast<int>(value));
    const char* texts[] = {text};
    settings_file_save(dir, file, texts);
}

void settings_save_binary_mode(const char* dir, int32_t binary_mode) {
    settings_save_number(dir, kBinaryModeFile, binary_mode);
}

void settings_cut(std::span<char> text) {
    for (char& c : text) {
        if (c == '\0')
            return;
        if (c == '\r' || c == '\n') {
            c = '\0';
            return;
        }
    }
}

int32_t settings_parse_int(const char* text) {
    constexpr int64_t kLimit = int64_t{INT32_MAX} + 1;
    while (text_is_blank(*text))
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    // Held at the limit once past it, so that any number of digits is safe.
    int64_t value = 0;
    for (; is_digit(*text); ++text) {
        value = value * 10 + (*text - '0');
        if (value > kLimit)
            value = kLimit;
    }
    if (negative)
        return static_cast<int32_t>(-value);
    return static_cast<int32_t>(value < kLimit ? value : INT32_MAX);
}

double settings_parse_double(const char* text) {
    while (text_is_blank(*text))
        ++text;
    // The decimal number at the front, copied out so that strtod sees nothing else. Every
    // text the settings hold (at most 1023 characters) fits whole.
    char number[kStartupLineSize];
    size_t length = 0;
    auto take = [&](char c) {
        if (length < sizeof number - 1)
            number[length++] = c;
    };
    if (*text == '-' || *text == '+')
        take(*text++);
    size_t digits = 0;
    for (; is_digit(*text); ++text, ++digits)
        take(*text);
    if (*text == '.') {
        take(*text++);
        for (; is_digit(*text); ++text, ++digits)
            take(*text);
    }
    if (digits == 0)
        return 0.0;
    if (*text == 'e' || *text == 'E') {
        const char* exponent = text + 1;
        if (*exponent == '-' || *exponent == '+')
            ++exponent;
        // An exponent counts only with a digit: "5e" is 5.
        if (is_digit(*exponent)) {
            for (; text < exponent || is_digit(*text); ++text)
                take(*text);
        }
    }
    number[length] = '\0';
    return std::strtod(number, nullptr);
}

uint16_t settings_parse_port(const char* text) {
    return static_cast<uint16_t>(settings_parse_int(text));
}

double settings_parse_coordinate(const char* text, double limit_degrees, double fallback_arcsec) {
    double degrees = settings_parse_double(text);
    // Written so that a NaN fails it too.
    if (!(degrees >= -limit_degrees && degrees <= limit_degrees))
        return fallback_arcsec;
    return degrees * 3600;
}

int32_t settings_parse_share(const char* text) {
    int32_t share = settings_parse_speed(text);
    return share >= 1 && share <= kDefaultRelayShare ? share : kDefaultRelayShare;
}

int32_t settings_parse_speed(const char* text) {
    while (text_is_blank(*text))
        ++text;
    int64_t speed = 0;
    const char* digits = text;
    for (; is_digit(*text) && speed <= INT32_MAX; ++text)
        speed = speed * 10 + (*text - '0');
    while (text_is_blank(*text))
        ++text;
    bool whole = text != digits && *text == '\0' && speed <= INT32_MAX;
    return whole ? static_cast<int32_t>(speed) : 0;
}
