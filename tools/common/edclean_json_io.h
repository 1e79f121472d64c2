// The JSON texts that the programs around the library (the command line, the
// benchmark and the tests) exchange with its exports, written and read in one
// place: a path array and an options object for the calls, and the lists of
// a scan result. The library itself never uses it.
#ifndef EDCLEAN_JSON_IO_H
#define EDCLEAN_JSON_IO_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace edclean_json_io {

// The array of paths that a scan or delete call takes.
inline std::string path_array(const std::vector<std::string> &paths) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartArray();
    for (const std::string &path : paths)
        writer.String(path.c_str(), static_cast<rapidjson::SizeType>(path.size()));
    writer.EndArray();
    return std::string(buffer.GetString(), buffer.GetSize());
}

// What a scan call is asked to do. The members after the first two are
// written only when given, so that a host that gives none of them sends what
// it always sent.
struct scan_settings {
    bool include_hidden = false;
    bool include_zero_byte = true;
    std::vector<std::string> exclude; // written when not empty
    std::optional<long long> min_age_seconds;
    std::optional<long long> threads;
    bool report_left_out = false; // written when true
    std::optional<long long> progress_fd;
};

// The options object of a scan call.
inline std::string scan_options(const scan_settings &settings) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("include_hidden");
    writer.Bool(settings.include_hidden);
    writer.Key("include_zero_byte");
    writer.Bool(settings.include_zero_byte);
    if (!settings.exclude.empty()) {
        writer.Key("exclude");
        writer.StartArray();
        for (const std::string &pattern : settings.exclude)
            writer.String(pattern.c_str(), static_cast<rapidjson::SizeType>(pattern.size()));
        writer.EndArray();
    }
    if (settings.min_age_seconds) {
        writer.Key("min_age_seconds");
        writer.Int64(*settings.min_age_seconds);
    }
    if (settings.threads) {
        writer.Key("threads");
        writer.Int64(*settings.threads);
    }
    if (settings.report_left_out) {
        writer.Key("report_left_out");
        writer.Bool(true);
    }
    if (settings.progress_fd) {
        writer.Key("progress_fd");
        writer.Int64(*settings.progress_fd);
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

// What a scan passed by, where the result says (its "left_out" member).
struct left_out_report {
    long long hidden = 0;
    long long excluded = 0;
    long long young = 0;
    long long invalid_names = 0;
    long long unreadable_dirs = 0;
    std::vector<std::string> unreadable_paths;
    // Set by a reader that knows the count may fall short: more folders
    // may be unreadable than unreadable_dirs says.
    bool unreadable_maybe_more = false;
};

// What a scan result lists, in the result's order.
struct scan_lists {
    std::vector<std::string> empty_dirs;
    std::vector<std::string> zero_files;
    long long scanned_dirs = -1;
    std::optional<left_out_report> left_out; // when the scan was asked for it
};

// The lists of the scan result `text`; nullopt when it is not one (not JSON,
// a list missing or holding a non-string, or no integral count).
inline std::optional<scan_lists> read_scan_result(const char *text) {
    rapidjson::Document parsed;
    parsed.Parse(text);
    if (parsed.HasParseError() || !parsed.IsObject())
        return std::nullopt;
    // Looked up through a const view: comparing a const member iterator with
    // a mutable one reads as ambiguous to clang in C++20.
    const rapidjson::Value &doc = parsed;
    const auto member = doc.FindMember("scanned_dirs");
    if (member == doc.MemberEnd() || !member->value.IsInt64())
        return std::nullopt;
    scan_lists lists;
    lists.scanned_dirs = member->value.GetInt64();
    for (const auto &[key, out] :
         {std::pair{"empty_dirs", &lists.empty_dirs}, std::pair{"zero_files", &lists.zero_files}}) {
        const auto list = doc.FindMember(key);
        if (list == doc.MemberEnd() || !list->value.IsArray())
            return std::nullopt;
        for (const auto &path : list->value.GetArray()) {
            if (!path.IsString())
                return std::nullopt;
            out->emplace_back(path.GetString(), path.GetStringLength());
        }
    }
    const auto left_out = doc.FindMember("left_out");
    if (left_out == doc.MemberEnd())
        return lists;
    if (!left_out->value.IsObject())
        return std::nullopt;
    const rapidjson::Value &report = left_out->value;
    left_out_report counts;
    for (const auto &[key, out] :
         {std::pair{"hidden", &counts.hidden}, std::pair{"excluded", &counts.excluded},
          std::pair{"young", &counts.young}, std::pair{"invalid_names", &counts.invalid_names},
          std::pair{"unreadable_dirs", &counts.unreadable_dirs}}) {
        const auto count = report.FindMember(key);
        if (count == report.MemberEnd() || !count->value.IsInt64())
            return std::nullopt;
        *out = count->value.GetInt64();
    }
    const auto paths = report.FindMember("unreadable_paths");
    if (paths == report.MemberEnd() || !paths->value.IsArray())
        return std::nullopt;
    for (const auto &path : paths->value.GetArray()) {
        if (!path.IsString())
            return std::nullopt;
        counts.unreadable_paths.emplace_back(path.GetString(), path.GetStringLength());
    }
    lists.left_out = std::move(counts);
    return lists;
}

} // namespace edclean_json_io

#endif
