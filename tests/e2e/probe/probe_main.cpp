// qalmor-probe: reads and drives another program's windows from outside, for the
// end-to-end tests. It reads one command per line on standard input and answers each
// with one line of JSON (UTF-8) on standard output; "help" lists the commands.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "json_writer.h"
#include "menu_marks.h"
#include "probe_input.h"
#include "probe_windows.h"
#include "screen_capture.h"

namespace {

using Words = std::vector<std::string>;

constexpr char kHelp[] =
    "window HWND | windows PID | windows-of-class CLASS | children HWND | lines HWND | "
    "watch HWND MS | focus TID | post HWND MSG WPARAM LPARAM | "
    "post-follow HWND MSG WPARAM LPARAM LINE MS | settext HWND HEX-UTF8 | key VK[+VK]... | "
    "click X Y | move X Y | place HWND X Y | metrics | marks HWND [BMP-PATH] | quit";

Words split(const std::string& line) {
    Words words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

int64_t number(const Words& words, size_t index) {
    return index < words.size() ? std::strtoll(words[index].c_str(), nullptr, 0) : 0;
}

HWND window_arg(const Words& words, size_t index) {
    return reinterpret_cast<HWND>(static_cast<intptr_t>(number(words, index)));
}

std::wstring wide_from_utf8(const std::string& utf8) {
    int length =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                        length);
    return wide;
}

// The test runner sends texts as hexadecimal UTF-8, so no quoting is needed.
std::string bytes_from_hex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16));
    return bytes;
}

std::string ok(JsonObject json = {}) {
    return json.add("ok", "true").str();
}

std::string failure(const char* why) {
    return JsonObject().add("ok", "false").add("error", json_ascii(why)).str();
}

std::vector<std::wstring> line_texts(const std::vector<HWND>& lines) {
    std::vector<std::wstring> texts;
    for (HWND line : lines)
        texts.push_back(window_text_direct(line));
    return texts;
}

std::string texts_json(const std::vector<std::wstring>& texts) {
    std::vector<std::string> items;
    for (const std::wstring& t : texts)
        items.push_back(json_string(t));
    return json_array(items);
}

// Samples the STATIC lines every few milliseconds and keeps each distinct picture once,
// with the time since the start and since the sample before it: a change seen after a
// long gap may hide another one. A picture counts only when two reads in a row agree,
// which keeps out most pictures of a display tick in progress; a tick that stalls
// halfway can still be caught half done, which is why the test runner judges the
// display by its bottom line, the one a tick writes last.
std::string watch_lines(HWND parent, int64_t duration_ms) {
    std::vector<HWND> lines = static_children(parent);
    std::vector<std::string> pictures;
    std::vector<std::wstring> last;
    int64_t samples = 0;
    DWORD start = GetTickCount();
    DWORD previous_sample = start;
    while (static_cast<int64_t>(GetTickCount() - start) < duration_ms) {
        std::vector<std::wstring> first = line_texts(lines);
        std::vector<std::wstring> second = line_texts(lines);
        DWORD now = GetTickCount();
        ++samples;
        if (first != second) {
            continue;  // torn: read again at once
        }
        if (first != last) {
            JsonObject picture;
            picture.add("t_ms", static_cast<int64_t>(now - start))
                .add("gap_ms", static_cast<int64_t>(now - previous_sample))
                .add("lines", texts_json(first));
            pictures.push_back(picture.str());
            last = first;
        }
        previous_sample = now;
        Sleep(3);
    }
    return ok(JsonObject().add("samples", samples).add("pictures", json_array(pictures)));
}

// Posts a message and then follows one window's text as closely as the system allows,
// for a short time: a text that shows only until another thread's next step (a dropped
// link's, until the connector tries again) is seen however briefly it stays.
std::string post_and_follow(const Words& words) {
    HWND line = window_arg(words, 5);
    int64_t duration_ms = std::min<int64_t>(number(words, 6), 5000);
    std::vector<std::string> texts;
    std::wstring last = window_text_direct(line);
    texts.push_back(json_string(last));
    if (!PostMessageW(window_arg(words, 1), static_cast<UINT>(number(words, 2)),
                      static_cast<WPARAM>(number(words, 3)),
                      static_cast<LPARAM>(number(words, 4)))) {
        return failure("PostMessage failed");
    }
    DWORD start = GetTickCount();
    while (static_cast<int64_t>(GetTickCount() - start) < duration_ms) {
        std::wstring text = window_text_direct(line);
        if (text != last) {
            texts.push_back(json_string(text));
            last = text;
        }
        SwitchToThread();
    }
    return ok(JsonObject().add("texts", json_array(texts)));
}

// Reads the check marks of an open popup menu; with a path, also keeps the picture it
// read there, to look at when a reading goes wrong.
std::string menu_marks(const Words& words) {
    Capture picture;
    MarkReading reading = read_menu_marks(window_arg(words, 1), picture);
    if (words.size() > 2 && !picture.pixels.empty())
        save_bmp(picture, wide_from_utf8(words[2]).c_str());
    if (!reading.error.empty())
        return failure(reading.error.c_str());
    std::vector<std::string> marks;
    std::vector<std::string> tops;
    for (size_t i = 0; i < reading.marked.size(); ++i) {
        marks.push_back(json_bool(reading.marked[i]));
        tops.push_back(std::to_string(reading.row_tops[i]));
    }
    return ok(JsonObject()
                  .add("marks", json_array(marks))
                  .add("row_tops", json_array(tops))
                  .add("text_x", reading.text_x));
}

std::string post(const Words& words) {
    BOOL posted =
        PostMessageW(window_arg(words, 1), static_cast<UINT>(number(words, 2)),
                     static_cast<WPARAM>(number(words, 3)), static_cast<LPARAM>(number(words, 4)));
    return posted ? ok() : failure("PostMessage failed");
}

std::string set_text(const Words& words) {
    std::wstring text = wide_from_utf8(bytes_from_hex(words.size() > 2 ? words[2] : ""));
    DWORD_PTR result = 0;
    BOOL answered = SendMessageTimeoutW(window_arg(words, 1), WM_SETTEXT, 0,
                                        reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                                        5000, &result);
    return answered ? ok() : failure("WM_SETTEXT got no answer");
}

// Each word is one key, or keys joined by "+" of which all but the last are held.
std::string keys(const Words& words) {
    for (size_t i = 1; i < words.size(); ++i) {
        std::vector<WORD> chord;
        size_t start = 0;
        while (start <= words[i].size()) {
            size_t plus = words[i].find('+', start);
            if (plus == std::string::npos)
                plus = words[i].size();
            chord.push_back(static_cast<WORD>(
                std::strtol(words[i].substr(start, plus - start).c_str(), nullptr, 0)));
            start = plus + 1;
        }
        if (!press_keys(chord))
            return failure("SendInput refused a key");
    }
    return ok();
}

std::string window(const Words& words) {
    return ok(JsonObject().add("window", window_json(window_arg(words, 1))));
}

std::string windows(const Words& words) {
    auto process = static_cast<DWORD>(number(words, 1));
    return ok(JsonObject().add("windows", top_windows_json(process)));
}

std::string windows_of_class(const Words& words) {
    std::wstring name = wide_from_utf8(words.size() > 1 ? words[1] : "");
    return ok(JsonObject().add("windows", windows_of_class_json(name.c_str())));
}

std::string children(const Words& words) {
    return ok(JsonObject().add("children", children_json(window_arg(words, 1))));
}

std::string lines(const Words& words) {
    auto texts = line_texts(static_children(window_arg(words, 1)));
    return ok(JsonObject().add("lines", texts_json(texts)));
}

std::string watch(const Words& words) {
    return watch_lines(window_arg(words, 1), number(words, 2));
}

std::string focus(const Words& words) {
    return ok(JsonObject().add("focus", focus_json(static_cast<DWORD>(number(words, 1)))));
}

std::string click(const Words& words) {
    bool done = click_at(static_cast<int>(number(words, 1)), static_cast<int>(number(words, 2)));
    return done ? ok() : failure("click failed");
}

std::string move(const Words& words) {
    bool done = move_mouse(static_cast<int>(number(words, 1)), static_cast<int>(number(words, 2)));
    return done ? ok() : failure("SetCursorPos failed");
}

// Moves another program's top-level window, without activating it.
std::string place(const Words& words) {
    bool done = SetWindowPos(window_arg(words, 1), nullptr, static_cast<int>(number(words, 2)),
                             static_cast<int>(number(words, 3)), 0, 0,
                             SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE) != FALSE;
    return done ? ok() : failure("SetWindowPos failed");
}

std::string metrics(const Words&) {
    return ok(JsonObject().add("menu_h", GetSystemMetrics(SM_CYMENU)));
}

std::string help(const Words&) {
    return ok(JsonObject().add("help", json_ascii(kHelp)));
}

struct Command {
    const char* name;
    std::string (*run)(const Words& words);
};

constexpr Command kCommands[] = {
    {"window", window},     {"windows", windows}, {"windows-of-class", windows_of_class},
    {"children", children}, {"lines", lines},     {"watch", watch},
    {"focus", focus},       {"post", post},       {"post-follow", post_and_follow},
    {"settext", set_text},  {"key", keys},        {"click", click},
    {"move", move},         {"place", place},     {"metrics", metrics},
    {"marks", menu_marks},  {"help", help},
};

std::string answer(const Words& words) {
    for (const Command& command : kCommands) {
        if (words[0] == command.name)
            return command.run(words);
    }
    return failure("unknown command");
}

void reply(const std::string& json) {
    std::fwrite(json.data(), 1, json.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

int main() {
    // Answers are UTF-8 bytes; no CR may slip in before the LF.
    _setmode(_fileno(stdout), _O_BINARY);
    reply(ok(JsonObject().add("ready", "true")));
    char buffer[8192];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        Words words = split(line);
        if (words.empty())
            continue;
        if (words[0] == "quit")
            break;
        reply(answer(words));
    }
    return 0;
}
