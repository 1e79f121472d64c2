#include "census.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "output.h"

namespace edclean_tool {

namespace {

constexpr size_t kPathsKept = 3;

// The set at `pattern[i]` ('[' there): its length and whether `byte` is in
// it; nothing when the set is not well formed.
std::optional<size_t> match_set(std::string_view pattern, size_t i, unsigned char byte,
                                bool &member) {
    size_t k = i + 1;
    bool negated = false;
    if (k < pattern.size() && (pattern[k] == '!' || pattern[k] == '^')) {
        negated = true;
        ++k;
    }
    bool found = false;
    bool first = true;
    while (k < pattern.size() && (first || pattern[k] != ']')) {
        const auto low = static_cast<unsigned char>(pattern[k]);
        if (k + 2 < pattern.size() && pattern[k + 1] == '-' && pattern[k + 2] != ']') {
            const auto high = static_cast<unsigned char>(pattern[k + 2]);
            if (high < low)
                return std::nullopt;
            found = found || (byte >= low && byte <= high);
            k += 3;
        } else {
            found = found || byte == low;
            ++k;
        }
        first = false;
    }
    if (k >= pattern.size())
        return std::nullopt;
    member = found != negated;
    return k + 1 - i;
}

bool well_formed(std::string_view pattern) {
    for (size_t i = 0; i < pattern.size(); ++i)
        if (pattern[i] == '[') {
            bool member;
            const std::optional<size_t> length = match_set(pattern, i, 0, member);
            if (!length)
                return false;
            i += *length - 1;
        }
    return true;
}

std::optional<std::string> utf8_name(const std::filesystem::path &name) {
    try {
        const std::u8string text = name.u8string();
        std::string bytes(text.begin(), text.end());
        if (!valid_utf8(bytes))
            return std::nullopt;
        return bytes;
    } catch (const std::exception &) { // a name the platform cannot give as UTF-8
        return std::nullopt;
    }
}

} // namespace

bool glob_matches(std::string_view pattern, std::string_view name) {
    if (!well_formed(pattern))
        return pattern == name;
    size_t p = 0, n = 0;
    size_t star = std::string_view::npos, resume = 0;
    while (n < name.size()) {
        bool member = false;
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
            continue;
        }
        if (p < pattern.size() && pattern[p] == '[') {
            const std::optional<size_t> length =
                match_set(pattern, p, static_cast<unsigned char>(name[n]), member);
            if (member) {
                p += *length;
                ++n;
                continue;
            }
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
            continue;
        }
        if (star == std::string_view::npos)
            return false;
        p = star + 1;
        n = ++resume;
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

census take_census(const std::vector<std::string> &roots, const census_rules &rules) {
    census counts;
    std::vector<std::filesystem::path> pending;
    for (const std::string &root : roots)
        pending.emplace_back(std::u8string(root.begin(), root.end()));
    while (!pending.empty()) {
        const std::filesystem::path dir = std::move(pending.back());
        pending.pop_back();
        std::error_code error;
        std::filesystem::directory_iterator entries(dir, error);
        if (error) {
            ++counts.unreadable;
            if (counts.unreadable_paths.size() < kPathsKept)
                counts.unreadable_paths.push_back(utf8_name(dir).value_or(dir.string()));
            continue;
        }
        for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
            const std::optional<std::string> name = utf8_name(entries->path().filename());
            if (!name) {
                ++counts.invalid_name;
                continue;
            }
            if (!rules.include_hidden && !name->empty() && (*name)[0] == '.') {
                ++counts.hidden;
                continue;
            }
            bool excluded = false;
            for (const std::string &pattern : rules.exclude)
                excluded = excluded || glob_matches(pattern, *name);
            if (excluded) {
                ++counts.excluded;
                continue;
            }
            std::error_code status_error;
            if (entries->symlink_status(status_error).type() ==
                std::filesystem::file_type::directory)
                pending.push_back(entries->path());
        }
        if (error) { // the listing broke off
            ++counts.unreadable;
            if (counts.unreadable_paths.size() < kPathsKept)
                counts.unreadable_paths.push_back(utf8_name(dir).value_or(dir.string()));
        }
    }
    return counts;
}

} // namespace edclean_tool
