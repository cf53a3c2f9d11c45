#include "settings/allow_list.h"

#include <array>
#include <span>

#include "settings/settings.h"

namespace {

// The line without its comment and the blanks around it.
std::string_view entry_of(std::string_view line) {
    return text_trim(line.substr(0, line.find('#')));
}

void note_bad_line(AllowListLoad& load, int number, std::string_view text) {
    if (load.bad_lines++ == 0) {
        load.first_bad_line = number;
        text_copy(load.first_bad_text, text);
    }
}

}  // namespace

AllowListLoad allow_list_load(const char* dir, IpAllowList& list) {
    list = IpAllowList{};
    AllowListLoad load;
    // One line more than is taken, to tell a file that goes on.
    std::array<Text256, kAllowFileLines + 1> lines{};
    std::array<std::span<char>, kAllowFileLines + 1> spans;
    for (size_t i = 0; i < lines.size(); ++i)
        spans[i] = lines[i];
    int read = settings_file_read(dir, kAllowListFile, spans);
    load.found = read >= 0;
    load.cut = read > kAllowFileLines;
    for (int i = 0; i < read && i < kAllowFileLines; ++i) {
        std::string_view entry = entry_of(text_view(lines[static_cast<size_t>(i)]));
        if (entry.empty())
            continue;
        list.restricts = true;
        IpNetwork network;
        if (list.count < kAllowNetworks && ip_network_parse(entry, network))
            list.networks[static_cast<size_t>(list.count++)] = network;
        else
            note_bad_line(load, i + 1, entry);
    }
    return load;
}
