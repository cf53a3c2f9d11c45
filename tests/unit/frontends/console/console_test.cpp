#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "frontends/console/console_options.h"
#include "frontends/console/metrics_file.h"
#include "frontends/console/quiet_log.h"
#include "support/base/cp1251.h"

namespace {

struct Parsed {
    OptionsResult result;
    ConsoleOptions options;
    std::string error;
};

Parsed parse(std::vector<std::string> words) {
    std::vector<char*> arguments;
    for (auto& word : words)
        arguments.push_back(word.data());
    Parsed parsed{};
    std::array<char, 256> error{};
    parsed.result = console_parse_options(arguments, parsed.options, error);
    parsed.error = error.data();
    return parsed;
}

TEST(ConsoleOptions, DirectoryAndModeForOneRun) {
    Parsed p = parse({"--dir", "/srv/qalmor", "--binary"});
    EXPECT_EQ(p.result, OptionsResult::run);
    EXPECT_STREQ(p.options.dir.data(), "/srv/qalmor");
    EXPECT_EQ(p.options.mode, ModeOverride::binary);
    EXPECT_STREQ(parse({"--dir=/var/lib/q", "--text"}).options.dir.data(), "/var/lib/q");
    EXPECT_EQ(parse({}).options.mode, ModeOverride::none);
    EXPECT_STREQ(parse({}).options.dir.data(), ".");
    EXPECT_EQ(parse({"--binary", "--binary"}).result, OptionsResult::run);
}

TEST(ConsoleOptions, MistakesAreNamed) {
    struct Case {
        std::vector<std::string> words;
        const char* error;
    };
    const Case cases[] = {
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"-d"}, "unknown option '-d'"},
        {{"--dir"}, "--dir needs a folder"},
        {{"--dir", ""}, "--dir needs a folder"},
        {{"--binary", "--text"}, "--binary and --text exclude each other"},
        {{"--dir", std::string(2000, 'x')}, "--dir: the folder name is too long"},
    };
    for (const Case& c : cases) {
        Parsed p = parse(c.words);
        EXPECT_EQ(p.result, OptionsResult::exit_error) << c.error;
        EXPECT_EQ(p.error, c.error);
    }
}

TEST(ConsoleOptions, HelpNamesEverySettingsFile) {
    EXPECT_EQ(parse({"--dir", "x", "--help"}).result, OptionsResult::exit_ok);
    EXPECT_TRUE(parse({"--version"}).options.version);
    std::string help = console_help_text();
    for (const char* file :
         {"initmkp1.ini", "initsocket.ini", "initmkp2.ini", "initcom.ini", "BinarComOn.ini",
          "frequency.ini", "connect.list", "--dir", "--binary", "--text", "--serial", "--speed"}) {
        EXPECT_NE(help.find(file), std::string::npos) << file;
    }
}

// What a status line's quiet log writes, line by line.
struct QuietLogRecord {
    QuietLog quiet;
    std::vector<std::string> logged;

    void take(const std::string& text, int64_t now_s) {
        std::array<char, kQuietTextSize> summary;
        QuietVerdict verdict = quiet_log_take(quiet, text.c_str(), now_s, summary);
        if (verdict != QuietVerdict::quiet)
            logged.push_back(verdict == QuietVerdict::log_text ? text : summary.data());
    }
};

// A receiver down all night: its first attempt, one summary every 10 minutes, and the
// recovery at once; a retry's changing seconds do not break the run.
TEST(QuietLog, ARunOfFailedAttemptsIsLoggedOnceThenEveryTenMinutesAndItsEndAtOnce) {
    QuietLogRecord record;
    auto take = [&](const std::string& text, int64_t now_s) { record.take(text, now_s); };
    std::vector<std::string>& logged = record.logged;
    std::string head = cp1251("Клиент:  7777  ");
    std::string connected = head + cp1251("Соединение 127.0.0.1");
    std::string dropped = head + cp1251("Связь разорвана");
    std::string connecting = head + cp1251("Идет установление связи");
    std::string failed = head + cp1251("Ошибка connect");
    const int64_t start_s = 3 * 3600 + 12 * 60;  // 03:12 UTC
    take(connected, start_s - 100);
    take(connected, start_s - 50);
    take(dropped, start_s - 1);
    // Attempt k at start_s + k - 1: the summary is due 600 s after the run was seen, at
    // the second attempt, so it comes with attempt 602.
    for (int k = 1; k <= 1000; ++k) {
        take(connecting, start_s + k - 1);
        take(failed, start_s + k - 1);
        take(failed + cp1251(", повтор через ") + std::to_string(k % 7 + 1) + " \xF1",
             start_s + k - 1);
    }
    take(connected, start_s + 1000);
    EXPECT_EQ(logged,
              (std::vector<std::string>{connected, dropped, connecting, failed,
                                        failed + cp1251(", повтор через 2 с"),
                                        failed + " ... 602 attempts since 03:12", connected}));
}

// A silent receiver while the speed is hunted: a probe a second is a run of attempts as
// well. One changed number alone (a new relay port) is logged.
TEST(QuietLog, AHuntsProbesAreARunButOneChangedNumberIsLogged) {
    QuietLogRecord client;
    std::string head = cp1251("Клиент: /dev/ttyUSB0  ");
    std::string connecting = head + cp1251("Идет установление связи");
    auto probe = [&](int speed) {
        return connecting + cp1251(", проба ") + std::to_string(speed) + cp1251(" бод");
    };
    const int speeds[] = {3000000, 1000000, 921600, 230400, 115200};
    const int64_t start_s = 22 * 3600 + 5 * 60;  // 22:05 UTC
    client.take(connecting, start_s);
    for (int k = 0; k < 1000; ++k)
        client.take(probe(speeds[k % 5]), start_s + k);
    std::string found = head + cp1251("Соединение 921600 бод");
    client.take(found, start_s + 1000);
    EXPECT_EQ(client.logged,
              (std::vector<std::string>{connecting, probe(3000000), probe(1000000),
                                        probe(3000000) + " ... 603 attempts since 22:05", found}));
}

// Relay clients that come and go in a burst (a connect/close loop): its first changes, a
// summary every 10 minutes, and once the line has been still, the line as it is with the
// count. Changes after a still while are logged at once.
TEST(QuietLog, ABurstOfClientChangesIsLoggedByItsFirstAndASummary) {
    ChangeRun run;
    std::vector<std::string> logged;
    std::array<char, kQuietTextSize> summary;
    auto take = [&](const std::string& text, int64_t now_s) {
        QuietVerdict verdict = change_run_take(run, text.c_str(), now_s, summary);
        if (verdict != QuietVerdict::quiet)
            logged.push_back(verdict == QuietVerdict::log_text ? text : summary.data());
    };
    auto tick = [&](int64_t now_s) {
        if (change_run_tick(run, now_s, summary) != QuietVerdict::quiet)
            logged.push_back(summary.data());
    };
    std::string idle = cp1251("Сервер:  7777 ");
    std::string one = idle + "10.0.0.9 ";
    const int64_t start_s = 8 * 3600;  // 08:00 UTC
    for (int k = 0; k < 7000; ++k) {   // ten changes a second for 700 s
        take(k % 2 ? idle : one, start_s + k / 10);
        tick(start_s + k / 10);
    }
    for (int64_t s = start_s + 700; s < start_s + 720; ++s)
        tick(s);
    std::string two = one + "10.0.0.7 ";
    take(one, start_s + 800);
    take(two, start_s + 801);
    // Five changes logged; the run counts the rest: 5996 by its 600th second, 6995 in all.
    EXPECT_EQ(logged, (std::vector<std::string>{
                          one, idle, one, idle, one, one + " ... 5996 client changes since 08:00",
                          idle + " ... 6995 client changes since 08:00", one, two}));
}

// Strangers refused at accept, hundreds a second: the first at once, then one line every
// 10 minutes for those since, and none while nobody is refused.
TEST(QuietLog, RefusedClientsAreLoggedByTheFirstAndASummaryEveryTenMinutes) {
    RefusalLog log;
    RefusalCounts counts{};
    std::array<char, 400> line;
    std::vector<std::string> logged;
    const int64_t start_s = 8 * 3600;
    for (int64_t s = start_s; s < start_s + 1300; ++s) {
        if (s < start_s + 700)
            counts[0] += 100;  // not allowed
        if (s == start_s + 5)
            counts[1] += 1;  // over its share
        if (refusal_log_take(log, counts, "10.9.9.9", s, line))
            logged.push_back(line.data());
    }
    EXPECT_EQ(logged, (std::vector<std::string>{
                          "qalmor: the relay refused 100 clients: 100 not allowed, 0 over their "
                          "address's share, 0 with every slot taken; the last from 10.9.9.9",
                          "qalmor: the relay refused 60001 clients since 08:00: 60000 not "
                          "allowed, 1 over their address's share, 0 with every slot taken; the "
                          "last from 10.9.9.9",
                          "qalmor: the relay refused 9900 clients since 08:10: 9900 not allowed, "
                          "0 over their address's share, 0 with every slot taken; the last from "
                          "10.9.9.9"}));
}

}  // namespace

// The metrics text for a fixed state, against the golden file (which promtool checks):
// every metric named, typed and described, a push target's odd host name escaped, and no
// clock figures before the clock is measured.
TEST(MetricsFile, AFixedStateGivesTheGoldenText) {
    MetricsFigures figures;
    figures.started_s = 1796800000;
    figures.source_up = true;
    figures.bytes_received = 123456;
    figures.messages_received = 4321;
    figures.relay_clients = 2;
    const char* addresses[] = {"127.0.0.1", "::1", "feed \"a\"\\b.example"};
    for (int i = 0; i < 3; ++i) {
        MetricsReader& reader = figures.readers[static_cast<size_t>(i)];
        text_copy(reader.address, addresses[i]);
        reader.port = static_cast<uint16_t>(50000 + i);
        reader.behind_bytes = static_cast<uint64_t>(i) * 1000;
        reader.push = i == 2;
    }
    figures.reader_count = 3;
    figures.readers_cut = 1;
    figures.refused = {5, 0, 1};
    figures.verdict = ClockVerdict::right;
    figures.have_rate = true;
    figures.offset_ppm = 1.5;
    figures.uncertainty_ppm = 0.25;
    std::ifstream golden(QALMOR_METRICS_GOLDEN, std::ios::binary);
    std::stringstream expected;
    expected << golden.rdbuf();
    EXPECT_EQ(metrics_text(figures), expected.str());

    figures.have_rate = false;
    EXPECT_EQ(metrics_text(figures).find("qalmor_clock_offset"), std::string::npos);
}
