#include "frontends/console/terminal.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/utf8_text.h"
#include "frontends/console/console_frontend.h"

namespace {

constexpr char kEnterScreen[] = "\x1b[?1049h\x1b[?25l\x1b[H\x1b[2J";
constexpr char kLeaveScreen[] = "\x1b[?25h\x1b[?1049l";
constexpr char kHelpLine[] = "4 display on/off   5 receiver-clock times   q quit";
// Display, server, client, consumer (or blank), push targets (or blank), receiver clock,
// help.
constexpr int kMonitorRows = kDisplayLines + 6;

termios saved_mode;
volatile sig_atomic_t entered = 0;
volatile sig_atomic_t resumed = 0;

// Safe inside a signal handler: only write() and tcsetattr().
void put_back() {
    if (!entered)
        return;
    entered = 0;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_mode);
    ssize_t ignored = write(STDOUT_FILENO, kLeaveScreen, sizeof kLeaveScreen - 1);
    (void)ignored;
}

void on_fatal_signal(int signal_number) {
    put_back();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// Ctrl+Z: give the terminal back, stop, and ask the loop to take it again afterwards.
void on_stop_signal(int) {
    bool was_entered = entered != 0;
    put_back();
    std::signal(SIGTSTP, SIG_DFL);
    std::raise(SIGTSTP);
    std::signal(SIGTSTP, on_stop_signal);
    if (was_entered)
        resumed = 1;
}

void write_all(const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = write(STDOUT_FILENO, data, size);
        if (written <= 0)
            return;
        data += written;
        size -= static_cast<size_t>(written);
    }
}

struct Frame {
    std::array<char, 65536> bytes;
    size_t size = 0;

    void put(const char* text, size_t length) {
        if (length > bytes.size() - size)
            length = bytes.size() - size;
        std::memcpy(bytes.data() + size, text, length);
        size += length;
    }
    void put(const char* text) { put(text, std::strlen(text)); }
};

// One row: the text in UTF-8, cut to the terminal's width, then the rest of the row
// cleared.
void put_row(Frame& frame, const char* cp1251_text, size_t columns, bool last) {
    std::array<char, kRingSlotSize * 3> utf8;
    size_t length = utf8_from_cp1251(cp1251_text, utf8);
    size_t characters = 0;
    size_t cut = 0;
    while (cut < length && characters < columns) {
        ++cut;
        while (cut < length && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80)
            ++cut;
        ++characters;
    }
    frame.put(utf8.data(), cut);
    frame.put(last ? "\x1b[K" : "\x1b[K\r\n");
}

}  // namespace

bool terminal_enter() {
    if (tcgetattr(STDIN_FILENO, &saved_mode) != 0)
        return false;
    termios mode = saved_mode;
    // Single keys without echo; Ctrl+C and Ctrl+Z keep their signals.
    mode.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    mode.c_cc[VMIN] = 0;
    mode.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &mode) != 0)
        return false;
    entered = 1;
    write_all(kEnterScreen, sizeof kEnterScreen - 1);
    static bool handlers_installed = false;
    if (!handlers_installed) {
        handlers_installed = true;
        std::atexit(put_back);
        for (int fatal : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGQUIT, SIGHUP}) {
            std::signal(fatal, on_fatal_signal);
        }
        std::signal(SIGTSTP, on_stop_signal);
    }
    return true;
}

void terminal_restore() {
    put_back();
}

bool terminal_resumed() {
    if (!resumed)
        return false;
    resumed = 0;
    return true;
}

void terminal_draw(ConsoleFrontEnd& front) {
    winsize size{};
    size_t columns = 80;
    size_t rows = kMonitorRows;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        columns = size.ws_col;
        rows = size.ws_row;
    }
    // A short terminal shows the newest display lines and the status lines.
    size_t skipped = rows < kMonitorRows ? kMonitorRows - rows : 0;
    static StatusTexts texts;
    station_status_texts(*front.station, texts);

    static Frame frame;
    frame.size = 0;
    frame.put("\x1b[H");
    for (size_t k = skipped; k < kDisplayLines; ++k) {
        put_row(frame, front.display_lines[k].data(), columns, false);
    }
    put_row(frame, texts.server_line.data(), columns, false);
    put_row(frame, texts.client_line.data(), columns, false);
    put_row(frame, texts.consumer_line.data(), columns, false);
    put_row(frame, texts.push_line.data(), columns, false);
    std::array<char, kRingSlotSize> clock_line;
    clock_report_line(station_clock_watch(*front.station).report, clock_line);
    put_row(frame, clock_line.data(), columns, false);
    put_row(frame, kHelpLine, columns, true);
    write_all(frame.bytes.data(), frame.size);
}

int terminal_read_key() {
    unsigned char key;
    return read(STDIN_FILENO, &key, 1) == 1 ? key : -1;
}
