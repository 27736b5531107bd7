#include "log/log_files.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <tuple>

#include "platform/environment.h"

namespace czqic {
namespace {

// A path renamed again and again while this writer waits: after this many fresh opens
// the line goes into the file held rather than waiting on.
constexpr int kReopenLimit = 8;
// How far back from the end the start of the last line is looked for; a file whose last
// line is longer counts as last written on its modification date.
constexpr uint64_t kLastLineScanLimit = uint64_t{4} << 20;
// Copies of one day's file ("Qor.2026-02-01.1.log" ...) tried before the rename waits for
// the next line.
constexpr int kCopyLimit = 100;

std::chrono::sys_days days_of(LogDate date) {
    return std::chrono::sys_days(std::chrono::year(date.year) /
                                 std::chrono::month(static_cast<unsigned>(date.month)) /
                                 std::chrono::day(static_cast<unsigned>(date.day)));
}

// The digits of text as a number up to limit; nullopt for anything else.
std::optional<uint64_t> whole_number(std::string_view text, uint64_t limit) {
    uint64_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value > limit) return std::nullopt;
    return value;
}

std::optional<LogDate> parse_date(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
    const auto year = whole_number(text.substr(0, 4), 9999);
    const auto month = whole_number(text.substr(5, 2), 12);
    const auto day = whole_number(text.substr(8, 2), 31);
    if (!year || !month || !day) return std::nullopt;
    const std::chrono::year_month_day ymd{std::chrono::year(static_cast<int>(*year)),
                                          std::chrono::month(static_cast<unsigned>(*month)),
                                          std::chrono::day(static_cast<unsigned>(*day))};
    if (!ymd.ok()) return std::nullopt;
    return LogDate{static_cast<int>(*year), static_cast<int>(*month), static_cast<int>(*day)};
}

// "Qor.log" is stem "Qor" and extension ".log"; a name without a dot past its first
// character has no extension.
std::pair<std::string_view, std::string_view> split_name(std::string_view file_name) {
    const size_t dot = file_name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {file_name, {}};
    return {file_name.substr(0, dot), file_name.substr(dot)};
}

// The date of the file's first line; nothing for an empty file.
std::optional<LogDate> first_line_date(LogFile& file) {
    char head[11];
    const size_t n = file.read_at(0, head, sizeof head);
    if (n == 0) return std::nullopt;
    if (auto date = date_of_line(std::string_view(head, n))) return date;
    return file.modified_on();
}

// The date of the file's last line: back from the end, past the final line break, to
// the line break before it.
std::optional<LogDate> last_line_date(LogFile& file) {
    const uint64_t size = file.size();
    uint64_t pos = size;
    bool in_line = false;
    std::optional<uint64_t> line_start;
    char chunk[4096];
    while (pos > 0 && !line_start && size - pos < kLastLineScanLimit) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(pos, sizeof chunk));
        if (file.read_at(pos - n, chunk, n) != n) return file.modified_on();
        for (size_t i = n; i-- > 0;) {
            const char c = chunk[i];
            if (!in_line) {
                in_line = c != '\n' && c != '\r';
            } else if (c == '\n') {
                line_start = pos - n + i + 1;
                break;
            }
        }
        pos -= n;
    }
    if (!line_start && pos == 0 && in_line) line_start = 0;
    if (line_start) {
        char head[11];
        if (file.read_at(*line_start, head, sizeof head) == sizeof head)
            if (auto date = date_of_line(std::string_view(head, sizeof head))) return date;
    }
    return file.modified_on();
}

// Renames the file held after the date of its last line; false when that cannot be done
// now.
bool rotate(LogFile& file, LogDate fallback) {
    const LogDate date = last_line_date(file).value_or(fallback);
    const std::string name = file.file_name();
    for (int copy = 0; copy < kCopyLimit; ++copy) {
        const std::string day_file = day_file_name(name, date, copy);
        if (!file.exists_beside(day_file)) return file.rename_to(day_file);
    }
    return false;
}

// True when every day file due to go is gone.
bool remove_old_day_files(LogFile& file, LogDate today) {
    const std::string name = file.file_name();
    auto folder = file.list_folder([&](std::string_view entry) {
        return entry == name || parse_day_file_name(name, entry).has_value();
    });
    if (!folder) return false;
    bool all_gone = true;
    for (const std::string& old : day_files_to_remove(name, *folder, today, retention_limits()))
        all_gone = file.remove_beside(old) && all_gone;
    return all_gone;
}

}  // namespace

LogDate date_of(const LogTime& time) {
    return {time.year, time.month, time.day};
}

int days_between(LogDate from, LogDate to) {
    return static_cast<int>((days_of(to) - days_of(from)).count());
}

LogDate date_after(LogDate date, int64_t days) {
    const int64_t earliest = days_between(date, {1, 1, 1});
    const int64_t latest = days_between(date, {9999, 12, 31});
    const auto moved = days_of(date) + std::chrono::days(std::clamp(days, earliest, latest));
    const std::chrono::year_month_day ymd{moved};
    return {static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
            static_cast<int>(static_cast<unsigned>(ymd.day()))};
}

std::optional<LogDate> date_of_line(std::string_view line) {
    if (line.size() < 11 || line[10] != ' ') return std::nullopt;
    return parse_date(line.substr(0, 10));
}

std::string day_file_name(std::string_view file_name, LogDate date, int copy) {
    const auto [stem, extension] = split_name(file_name);
    char middle[32];
    if (copy > 0)
        std::snprintf(middle, sizeof middle, ".%04d-%02d-%02d.%d", date.year, date.month, date.day,
                      copy);
    else
        std::snprintf(middle, sizeof middle, ".%04d-%02d-%02d", date.year, date.month, date.day);
    std::string name(stem);
    name += middle;
    name += extension;
    return name;
}

std::optional<DayFile> parse_day_file_name(std::string_view file_name, std::string_view name) {
    const auto [stem, extension] = split_name(file_name);
    if (name.size() < stem.size() + 1 + 10 + extension.size() || !name.starts_with(stem) ||
        name[stem.size()] != '.' || !name.ends_with(extension))
        return std::nullopt;
    std::string_view middle = name.substr(stem.size() + 1);
    middle.remove_suffix(extension.size());
    const auto date = parse_date(middle.substr(0, 10));
    if (!date) return std::nullopt;
    if (middle.size() == 10) return DayFile{*date, 0};
    const std::string_view copy = middle.substr(10);
    // ".N" as day_file_name writes it: no sign, no leading zero.
    if (copy.size() < 2 || copy[0] != '.' || copy[1] == '0') return std::nullopt;
    const auto n = whole_number(copy.substr(1), kCopyLimit);
    if (!n) return std::nullopt;
    return DayFile{*date, static_cast<int>(*n)};
}

RetentionLimits retention_limits_from(std::string_view keep_days, std::string_view max_mb) {
    RetentionLimits limits;
    // A century of days; 4 GiB of mebibytes (the largest registry number) is 4 PiB.
    if (auto days = whole_number(keep_days, 36525)) limits.keep_days = static_cast<int>(*days);
    if (auto mb = whole_number(max_mb, 0xFFFFFFFFu)) limits.max_bytes = *mb << 20;
    return limits;
}

RetentionLimits retention_limits() {
    auto setting = [](const char* variable, const char* machine_value) {
        std::string value = environment_variable(variable);
        return value.empty() ? machine_setting(machine_value) : value;
    };
    return retention_limits_from(setting("CZQIC_LOG_KEEP_DAYS", "LogKeepDays"),
                                 setting("CZQIC_LOG_MAX_MB", "LogMaxMB"));
}

std::vector<std::string> day_files_to_remove(std::string_view file_name,
                                             const std::vector<FolderEntry>& folder, LogDate today,
                                             const RetentionLimits& limits) {
    struct Candidate {
        DayFile day;
        const FolderEntry* entry;
    };
    std::vector<Candidate> days;
    uint64_t total = 0;
    for (const FolderEntry& entry : folder) {
        if (entry.name == file_name) {
            total += entry.size;
        } else if (auto day = parse_day_file_name(file_name, entry.name)) {
            total += entry.size;
            days.push_back({*day, &entry});
        }
    }
    std::ranges::sort(days, [](const Candidate& a, const Candidate& b) {
        return std::tie(a.day.date, a.day.copy) < std::tie(b.day.date, b.day.copy);
    });
    std::vector<std::string> remove;
    for (const Candidate& c : days) {
        if (days_between(c.day.date, today) <= limits.keep_days && total <= limits.max_bytes)
            continue;
        remove.push_back(c.entry->name);
        total -= c.entry->size;
    }
    return remove;
}

void DailyLog::write(LogFile& file, const std::function<LogTime()>& now, std::string_view tag,
                     std::string_view message, std::string_view end_of_line,
                     const std::function<LogTime()>& kept_by) {
    LogTime time{};
    bool regular = false;
    for (int attempt = 0;; ++attempt) {
        file.open_and_lock();
        const bool settled = attempt >= kReopenLimit;
        if (!settled && !file.still_named()) continue;
        time = now();
        regular = file.regular();
        if (settled || !regular) break;
        const LogDate today = date_of(time);
        const auto begun = first_line_date(file);
        if (!begun || *begun >= today) break;
        // The file is an earlier day's. Processes waiting for its lock find it renamed
        // and open the new one; a failed rename is tried again at the next line.
        if (!rotate(file, *begun)) break;
        retention_due_ = true;
    }
    file.append(log_line(time, tag, message, end_of_line));
    file.close();
    if (retention_due_ && regular)
        retention_due_ = !remove_old_day_files(file, date_of(kept_by ? kept_by() : time));
}

}  // namespace czqic
