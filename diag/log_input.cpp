#include "diag/log_input.h"

#include <algorithm>
#include <map>
#include <optional>
#include <tuple>

#include "log/log_files.h"

namespace czqic::diag {
namespace {

struct Place {
    std::string group;  // the folder and the log's own name
    bool live;          // the log itself rather than a day file
    DayFile day;
};

// "Qor.2026-02-01.1.log" is a day file of "Qor.log"; the log's name is found by trying
// each place a date can stand and letting parse_day_file_name confirm it.
std::optional<std::pair<std::string, DayFile>> day_file_of(std::string_view name) {
    for (size_t dot = name.find('.'); dot != std::string_view::npos;
         dot = name.find('.', dot + 1)) {
        if (name.size() < dot + 11) break;
        std::string_view after = name.substr(dot + 11);
        if (after.starts_with('.')) {
            const size_t digits = after.find_first_not_of("0123456789", 1);
            if (digits > 1) after.remove_prefix(std::min(digits, after.size()));
        }
        const std::string live = std::string(name.substr(0, dot)) + std::string(after);
        if (auto day = parse_day_file_name(live, name)) return std::pair{live, *day};
    }
    return std::nullopt;
}

Place place_of(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    const size_t name_at = slash == std::string::npos ? 0 : slash + 1;
    const std::string folder = path.substr(0, name_at);
    const std::string_view name = std::string_view(path).substr(name_at);
    if (auto day = day_file_of(name)) return {folder + day->first, false, day->second};
    return {path, true, {}};
}

}  // namespace

std::vector<std::string> reading_order(std::vector<std::string> files) {
    std::map<std::string, std::vector<size_t>> groups;
    std::vector<Place> places;
    for (size_t i = 0; i < files.size(); ++i) {
        places.push_back(place_of(files[i]));
        groups[places.back().group].push_back(i);
    }
    std::vector<std::string> ordered = files;
    for (const auto& [group, at] : groups) {
        std::vector<size_t> members = at;
        std::ranges::stable_sort(members, [&](size_t a, size_t b) {
            const Place &x = places[a], &y = places[b];
            return std::tuple(x.live, x.day.date, x.day.copy) <
                   std::tuple(y.live, y.day.date, y.day.copy);
        });
        for (size_t k = 0; k < at.size(); ++k) ordered[at[k]] = files[members[k]];
    }
    return ordered;
}

}  // namespace czqic::diag
