// Reading logs as the writers leave them: several files, a log's day files and the log
// itself in the order of their days, each line by line in a buffer of fixed size.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace czqic::diag {

// The files in the order to read them. The day files of a log ("Qor.2026-02-01.log",
// "Qor.2026-02-01.1.log") and the log itself ("Qor.log") go by date, copy and the log
// last, in the places the command line gave that log's files; everything else stays
// where it was given.
std::vector<std::string> reading_order(std::vector<std::string> files);

// A line longer than this is not one of the component's: it is passed on empty.
inline constexpr size_t kLongestLine = size_t{1} << 20;

// Calls each(line) for every line of in, its end of line left on, the last one also
// when it has none. False when reading failed.
template <class Each>
bool for_each_line(std::FILE* in, Each&& each) {
    constexpr size_t kBlock = size_t{1} << 20;
    std::vector<char> block(kBlock);
    std::string carry;  // a line begun in the previous block
    bool overlong = false;
    for (;;) {
        const size_t n = std::fread(block.data(), 1, kBlock, in);
        std::string_view rest(block.data(), n);
        while (!rest.empty()) {
            const char* end = static_cast<const char*>(std::memchr(rest.data(), '\n', rest.size()));
            if (!end) break;
            const size_t length = static_cast<size_t>(end - rest.data()) + 1;
            if (carry.empty() && !overlong) {
                each(rest.substr(0, length));
            } else {
                carry.append(rest.data(), overlong ? 0 : length);
                each(std::string_view(overlong ? std::string_view() : carry));
                carry.clear();
                overlong = false;
            }
            rest.remove_prefix(length);
        }
        if (!overlong) carry.append(rest);
        if (carry.size() > kLongestLine) {
            carry.clear();
            overlong = true;
        }
        if (n < kBlock) break;
    }
    if (!carry.empty() || overlong) each(std::string_view(overlong ? std::string_view() : carry));
    return !std::ferror(in);
}

}  // namespace czqic::diag
