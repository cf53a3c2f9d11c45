#include "base/options.h"

#include <charconv>
#include <cstdlib>

namespace {

const OptionRule* find_option(std::span<const OptionRule> table, std::string_view name) {
    for (const OptionRule& rule : table) {
        if (rule.name == name)
            return &rule;
    }
    return nullptr;
}

// The value after '=' or in the next argument, read as the option's kind asks.
OptionStatus read_value(OptionScan& scan, OptionHit& hit) {
    const OptionRule& rule = *hit.rule;
    if (hit.value_after_equals) {
        hit.value = hit.arg.substr(rule.name.size() + 1);
    } else if (scan.next < scan.args.size()) {
        hit.value = scan.args[scan.next++];
    } else {
        return OptionStatus::no_value;
    }
    bool bad = (rule.kind == OptionKind::whole &&
                !option_whole(hit.value, rule.low, rule.high, hit.whole)) ||
               (rule.kind == OptionKind::decimal &&
                !option_decimal(hit.value, rule.low, rule.high, hit.decimal));
    return bad ? OptionStatus::bad_number : OptionStatus::ok;
}

}  // namespace

bool option_next(OptionScan& scan, OptionHit& hit) {
    if (scan.next >= scan.args.size())
        return false;
    hit = OptionHit{};
    hit.at = scan.next++;
    hit.arg = scan.args[hit.at];
    size_t equals = scan.equals_values ? hit.arg.find('=') : std::string_view::npos;
    hit.value_after_equals = equals != std::string_view::npos;
    hit.rule = find_option(scan.table, hit.arg.substr(0, equals));
    if (hit.rule != nullptr && hit.rule->kind == OptionKind::flag && hit.value_after_equals)
        hit.rule = nullptr;
    if (hit.rule == nullptr) {
        hit.status = OptionStatus::unknown;
    } else if (hit.rule->kind != OptionKind::flag) {
        hit.status = read_value(scan, hit);
    }
    return true;
}

bool option_whole(std::string_view text, double low, double high, uint64_t& value) {
    const char* end = text.data() + text.size();
    auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc{} && result.ptr == end &&
           static_cast<double>(value) >= low && static_cast<double>(value) <= high;
}

bool option_decimal(std::string_view text, double low, double high, double& value) {
    char* end = nullptr;
    value = std::strtod(text.data(), &end);
    return !text.empty() && end == text.data() + text.size() && value >= low && value <= high;
}
