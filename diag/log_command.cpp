#include "diag/log_command.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "diag/call_builder.h"
#include "diag/log_input.h"
#include "diag/outputs.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace czqic::diag {
namespace {

// Standard input as bytes: the Windows writer's CR LF stays for the reader to take off.
std::FILE* binary_stdin() {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    return stdin;
}

// Reads one file into the builder; false (said on err) when it cannot be read.
bool read_file(const std::string& name, uint32_t index, CallBuilder& builder, std::ostream& err) {
    const bool standard_input = name == "-";
    std::FILE* in = standard_input ? binary_stdin() : std::fopen(name.c_str(), "rb");
    if (!in) {
        err << "czqic: log: cannot read " << name << ": " << std::strerror(errno) << '\n';
        return false;
    }
    uint64_t number = 0;
    const bool read =
        for_each_line(in, [&](std::string_view text) { builder.line(text, index, ++number); });
    if (!standard_input) std::fclose(in);
    if (!read) err << "czqic: log: reading " << name << " failed\n";
    return read;
}

std::unique_ptr<LogOutput> make_output(const LogOptions& options, std::ostream& out,
                                       std::ostream& page, const std::vector<std::string>& files) {
    switch (options.output) {
        case LogOptions::Output::Json:
            return json_output(out, files, options.show_card_data);
        case LogOptions::Output::Summary:
            return summary_output(out, files);
        case LogOptions::Output::Html:
            return html_output(page, files, options.show_card_data);
        case LogOptions::Output::Table:
            break;
    }
    return table_output(out, files, options.show_card_data);
}

}  // namespace

int run_log(const LogOptions& options, std::ostream& out, std::ostream& err) {
    const std::vector<std::string> files =
        options.files.empty() ? std::vector<std::string>{"-"} : reading_order(options.files);
    std::ofstream page;
    if (options.output == LogOptions::Output::Html) {
        page.open(options.html_file, std::ios::binary | std::ios::trunc);
        if (!page) {
            err << "czqic: log: cannot write " << options.html_file << '\n';
            return 1;
        }
    }
    const auto output = make_output(options, out, page, files);
    CallBuilder builder(*output);
    int status = 0;
    for (size_t i = 0; i < files.size(); ++i)
        if (!read_file(files[i], static_cast<uint32_t>(i), builder, err)) status = 1;
    builder.finish();
    output->finish(builder.unrecognised());
    if (page.is_open() && !page.flush()) {
        err << "czqic: log: writing " << options.html_file << " failed\n";
        status = 1;
    }
    return status;
}

}  // namespace czqic::diag
