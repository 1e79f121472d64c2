// The scan command: list what a scan found.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "options.h"
#include "output.h"
#include "policy.h"
#include "scan_call.h"
#include "views.h"

namespace edclean_tool {

int command_scan(const scan_options &o) {
    root_plan plan;
    if (const std::optional<int> refused = plan_roots(o.roots, {}, plan))
        return *refused;
    scan_result r;
    if (!run_scan(plan.real, o.include_hidden, !o.dirs_only, o.filters, !o.view.json, r))
        return exit_call_failed;
    if (o.files_only)
        r.lists.empty_dirs.clear();
    if (o.view.json) {
        out(r.text);
        out("\n");
        return exit_success;
    }
    if (o.view.nul) {
        for (const auto *list : {&r.lists.empty_dirs, &r.lists.zero_files})
            for (const std::string &p : *list)
                out(std::string_view(p.c_str(), p.size() + 1));
        return exit_success;
    }
    out(scan_summary(r, r.lists.empty_dirs.size(), r.lists.zero_files.size()));
    const size_t left_out_lines = report_left_out(r.lists.left_out, to_stdout);
    const list_view view = chosen_view(o.view.summary, o.view.collapse, o.view.full,
                                       r.lists.empty_dirs.size() + r.lists.zero_files.size());
    if (view == list_view::summary)
        return exit_success;
    const auto root_mark = [&plan](const std::string &p) {
        return is_root(p, plan) ? std::string("  (root)") : std::string();
    };
    std::vector<view_section> sections;
    if (!o.files_only)
        sections.push_back(
            list_section("Empty directories", r.lists.empty_dirs, false, view, root_mark));
    if (!o.dirs_only)
        sections.push_back(
            list_section("Zero-byte files", r.lists.zero_files, true, view, no_mark));
    // The summary and what was left alone above, the shell's prompt below.
    print_sections(std::move(sections), view, 2 + left_out_lines, to_stdout);
    return exit_success;
}

} // namespace edclean_tool
