#include "scan_call.h"

#include <chrono>
#include <memory>
#include <optional>
#include <utility>

#include "census.h"
#include "edclean.h"
#include "journal_internal.h"
#include "output.h"
#include "policy.h"
#include "progress.h"

namespace edclean_tool {

namespace {

struct result_deleter {
    void operator()(char *text) const noexcept { edclean_free_string(text); }
};
using result_text = std::unique_ptr<char, result_deleter>;

} // namespace

std::string options_text(bool include_hidden, bool zero_files, const scan_filters &filters,
                         bool left_out, std::optional<long long> progress) {
    edclean_json_io::scan_settings settings;
    settings.include_hidden = include_hidden;
    settings.include_zero_byte = zero_files;
    settings.exclude = exclude_patterns(filters);
    if (!filters.min_age.empty())
        settings.min_age_seconds = duration_seconds(filters.min_age);
    settings.threads = filters.threads;
    settings.report_left_out = left_out;
    settings.progress_fd = progress;
    return edclean_json_io::scan_options(settings);
}

bool run_scan(const std::vector<std::string> &roots, bool include_hidden, bool zero_files,
              const scan_filters &filters, bool left_out, scan_result &out) {
    const std::string dirs = edclean_json_io::path_array(roots);
    const auto start = std::chrono::steady_clock::now();
    result_text text;
    {
        progress_line progress("scanning");
        const std::string options =
            options_text(include_hidden, zero_files, filters, left_out, progress.scan_target());
        text.reset(edclean_scan(dirs.c_str(), options.c_str()));
        // Test builds: holds the line up, as a long scan would.
        test_pause("scanned");
    }
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!text) {
        say(shown(edclean_last_error()));
        return false;
    }
    out.text = text.get();
    std::optional<edclean_json_io::scan_lists> lists =
        edclean_json_io::read_scan_result(text.get());
    if (!lists) {
        say("unreadable scan result");
        return false;
    }
    out.lists = std::move(*lists);
    if (out.lists.left_out)
        count_unreadable_once(*out.lists.left_out, roots);
    return true;
}

} // namespace edclean_tool
