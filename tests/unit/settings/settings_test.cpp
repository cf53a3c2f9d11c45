#include "settings/settings.h"
#include "settings/push_lines.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <span>
#include <string>
#include <utility>

#include "support/base/config_dir.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

namespace fs = std::filesystem;

// A fresh, empty config directory for one test, removed afterwards.
class SettingsTest : public ConfigDirTest {};

TEST_F(SettingsTest, DialogReadFillsOnlyTheLinesThatAreThere) {
    char first[kDialogLineSize];
    char second[kDialogLineSize];
    std::memset(first, 'x', sizeof first);
    std::memset(second, 'y', sizeof second);
    second[sizeof second - 1] = '\0';
    std::span<char> lines[] = {first, second};

    EXPECT_EQ(settings_file_read(dir(), "porog.ini", lines), -1);
    EXPECT_EQ(std::string(first, sizeof first), std::string(sizeof first, 'x'));

    write("point.ini", " 47.5 \r\n");
    EXPECT_EQ(settings_file_read(dir(), "point.ini", lines), 1);  // line 2 is not there
    EXPECT_STREQ(first, " 47.5 ");                                // blanks stay part of the value
    EXPECT_EQ(std::string(second), std::string(sizeof second - 1, 'y'));

    write("name.ini", std::string(300, 'n') + "\r\n");
    EXPECT_EQ(settings_file_read(dir(), "name.ini", lines), 2);  // the spill is a line
    EXPECT_EQ(std::string(first), std::string(255, 'n'));
    EXPECT_EQ(std::string(second), std::string(45, 'n'));
}

#ifndef _WIN32
// A disk that fills up during a save (here a file size limit makes the writes fail)
// leaves the old file whole, and no new file beside it.
TEST_F(SettingsTest, SaveThatCannotBeWrittenWholeKeepsTheOldFile) {
    const char* old_name[] = {"old"};
    settings_file_save(dir(), "name.ini", old_name);
    std::string long_name(8000, 'n');
    const char* new_name[] = {long_name.c_str()};

    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit small = previous;
    small.rlim_cur = 100;
    auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    settings_file_save(dir(), "name.ini", new_name);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previous_handler);

    EXPECT_EQ(contents("name.ini"), "old\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_path), fs::directory_iterator()), 1);
}
#endif

TEST_F(SettingsTest, EmptyOrDotDirIsTheCurrentDirectory) {
    fs::path previous = fs::current_path();
    fs::current_path(dir_path);
    const char* texts[] = {"300"};
    settings_file_save("", "porog.ini", texts);
    char line[kDialogLineSize] = "";
    std::span<char> lines[] = {line};
    int read = settings_file_read(".", "porog.ini", lines);
    fs::current_path(previous);
    EXPECT_EQ(read, 1);
    EXPECT_STREQ(line, "300");
    EXPECT_EQ(contents("porog.ini"), "300\r\n");
}

TEST(SettingsParse, NumbersFollowAtoiAndAtofWithDefinedLimits) {
    const std::pair<const char*, int32_t> integers[] = {
        {" \t-17x", -17},
        {"+8", 8},
        {"- 8", 0},
        {"abc", 0},
        {"2147483648", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-9999999999999", INT32_MIN},
    };
    for (auto [text, value] : integers)
        EXPECT_EQ(settings_parse_int(text), value) << text;
    const std::pair<const char*, double> decimals[] = {
        {" -0.5e1x", -5}, {"5e", 5},  {"1E+2", 100}, {".5", 0.5}, {".", 0},
        {"inf", 0},       {"nan", 0}, {"0x10", 0},   {"1,5", 1},
    };
    for (auto [text, value] : decimals)
        EXPECT_DOUBLE_EQ(settings_parse_double(text), value) << text;
    EXPECT_TRUE(std::isinf(settings_parse_double("1e400")));
    // A coordinate beyond the Earth's (or beyond any number) is taken as the fallback.
    EXPECT_DOUBLE_EQ(settings_parse_coordinate("39.25", 90, 1), 141300);
    EXPECT_DOUBLE_EQ(settings_parse_coordinate("-180", 180, 1), -648000);
    for (const char* beyond : {"90.5", "-91", "1e999", "-1e999"})
        EXPECT_DOUBLE_EQ(settings_parse_coordinate(beyond, 90, 1), 1) << beyond;
}

TEST(SerialSettings, SpeedLineIsAPositiveNumberOrAutomatic) {
    EXPECT_EQ(settings_parse_speed("921600"), 921600);
    EXPECT_EQ(settings_parse_speed(" 3000000 "), 3000000);
    for (const char* automatic : {"", "0", "-5", "Auto", "96OO", "12abc", "99999999999"})
        EXPECT_EQ(settings_parse_speed(automatic), 0) << automatic;
}

}  // namespace

namespace {

// "initpush.ini": a target a line, "host port" or host:port; empty lines and comments are
// none; a line that names no host and port is kept, to be shown as wrong.
TEST_F(SettingsTest, PushTargetsAreOneHostAndPortALine) {
    write("initpush.ini",
          "feed.example.net 30004\r\n\r\n# a friend's relay\r\n 10.0.0.7:30005 \r\n"
          "no-port\r\n::1 30006\r\n10.0.0.8 70000\r\n");
    PushLines lines;
    ASSERT_EQ(push_lines_load(dir(), lines), 5);
    EXPECT_EQ(std::string(lines[0].host.data()), "feed.example.net");
    EXPECT_EQ(lines[0].port, 30004);
    EXPECT_EQ(std::string(lines[1].host.data()), "10.0.0.7");
    EXPECT_EQ(lines[1].port, 30005);
    EXPECT_FALSE(lines[2].parsed);
    EXPECT_EQ(std::string(lines[2].text.data()), "no-port");
    EXPECT_EQ(std::string(lines[3].host.data()), "::1");
    EXPECT_FALSE(lines[4].parsed);  // no such port
    EXPECT_TRUE(push_line_same_target(lines[1], push_line_parse("10.0.0.7 30005")));
}

}  // namespace
