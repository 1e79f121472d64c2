#include "journal.h"

#include <utility>

#include <rapidjson/error/en.h>

#include "edclean.h"
#include "edclean_json_io.h"
#include "journal_internal.h"

namespace edclean_tool {

namespace {

const char *kind_name(entry_kind kind) { return kind == entry_kind::dir ? "dir" : "file"; }

bool read_path(const rapidjson::Value &line, journal_entry &entry, std::string &error) {
    const auto member = line.FindMember("path");
    if (member == line.MemberEnd() || !member->value.IsString()) {
        error = "\"path\" missing or not a string";
        return false;
    }
    entry.path.assign(member->value.GetString(), member->value.GetStringLength());
    if (entry.path.find('\0') != std::string::npos) {
        error = "\"path\" holds a NUL";
        return false;
    }
    if (!is_absolute_path(entry.path)) {
        error = "\"path\" is not an absolute path";
        return false;
    }
    // The library never lists such a path: a line with one was not written
    // by a clean, and recreating it could reach outside the tree it names.
    for (const std::string_view name : path_names(entry.path))
        if (name == "..") {
            error = "refused: path contains ..";
            return false;
        }
    return true;
}

bool read_kind(const rapidjson::Value &line, entry_kind &kind, std::string &error) {
    const auto member = line.FindMember("kind");
    if (member != line.MemberEnd() && member->value.IsString()) {
        const std::string name(member->value.GetString(), member->value.GetStringLength());
        for (const entry_kind k : {entry_kind::dir, entry_kind::file})
            if (name == kind_name(k)) {
                kind = k;
                return true;
            }
    }
    error = "\"kind\" missing or neither \"dir\" nor \"file\"";
    return false;
}

// A member's name in a message: "\"mtime\"".
std::string quoted(const char *key) {
    std::string text = "\"";
    text += key;
    text += '"';
    return text;
}

} // namespace

std::vector<std::string_view> path_names(const std::string &path) {
    std::vector<std::string_view> names;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = start;
        while (end < path.size() && !is_path_separator(path[end]))
            ++end;
        if (end > start)
            names.emplace_back(path.data() + start, end - start);
        start = end + 1;
    }
    return names;
}

void write_time(json_writer &writer, const char *key, const journal_time &time) {
    writer.Key(key);
    writer.StartObject();
    writer.Key("sec");
    writer.Int64(time.sec);
    writer.Key("nsec");
    writer.Uint(time.nsec);
    writer.EndObject();
}

bool read_time(const rapidjson::Value &line, const char *key, journal_time &time,
               std::string &error) {
    const auto member = line.FindMember(key);
    if (member != line.MemberEnd() && member->value.IsObject()) {
        const rapidjson::Value &value = member->value;
        const auto sec = value.FindMember("sec");
        const auto nsec = value.FindMember("nsec");
        // A nanosecond count of a second or more is no time; the system
        // would read some such values as "now" or "leave as it is".
        if (sec != value.MemberEnd() && sec->value.IsInt64() && nsec != value.MemberEnd() &&
            nsec->value.IsUint() && nsec->value.GetUint() < 1000000000u) {
            time.sec = sec->value.GetInt64();
            time.nsec = nsec->value.GetUint();
            return true;
        }
    }
    error = quoted(key) + " missing or not {\"sec\": integer, \"nsec\": 0 to 999999999}";
    return false;
}

bool read_uint32(const rapidjson::Value &line, const char *key, uint32_t &value,
                 std::string &error) {
    const auto member = line.FindMember(key);
    if (member == line.MemberEnd() || !member->value.IsUint()) {
        error = quoted(key) + " missing or not an integer from 0 to 4294967295";
        return false;
    }
    value = member->value.GetUint();
    return true;
}

std::string journal_line(const journal_entry &entry) {
    rapidjson::StringBuffer buffer;
    json_writer writer(buffer);
    writer.StartObject();
    writer.Key("path");
    writer.String(entry.path.c_str(), static_cast<rapidjson::SizeType>(entry.path.size()));
    writer.Key("kind");
    writer.String(kind_name(entry.kind));
    write_platform_members(writer, entry);
    write_time(writer, "atime", entry.atime);
    write_time(writer, "mtime", entry.mtime);
    writer.EndObject();
    std::string line(buffer.GetString(), buffer.GetSize());
    line += '\n';
    return line;
}

bool read_journal_line(const std::string &text, journal_entry &entry, std::string &error) {
    rapidjson::Document line;
    line.Parse<rapidjson::kParseValidateEncodingFlag>(text.c_str(), text.size());
    if (line.HasParseError()) {
        error = "not JSON: ";
        error += rapidjson::GetParseError_En(line.GetParseError());
        return false;
    }
    if (!line.IsObject()) {
        error = "not a JSON object";
        return false;
    }
    return read_path(line, entry, error) && read_kind(line, entry.kind, error) &&
           read_platform_members(line, entry, error) &&
           read_time(line, "atime", entry.atime, error) &&
           read_time(line, "mtime", entry.mtime, error);
}

journal_writer::journal_writer(std::string path, std::unique_ptr<journal_file> file)
    : path_(std::move(path)), file_(std::move(file)), last_sync_(std::chrono::steady_clock::now()) {
}

journal_writer::~journal_writer() = default;

std::unique_ptr<journal_writer> journal_writer::create(const std::string &path,
                                                       std::string &error) {
    std::unique_ptr<journal_file> file = create_journal_file(path, error);
    if (!file)
        return nullptr;
    return std::unique_ptr<journal_writer>(new journal_writer(path, std::move(file)));
}

void journal_writer::remove(std::initializer_list<removal_list> lists, removal_outcome &outcome) {
    std::vector<std::vector<journal_entry>> entries;
    for (const removal_list &list : lists) {
        std::vector<journal_entry> &metadata = entries.emplace_back(list.paths.size());
        for (size_t i = 0; i < list.paths.size(); ++i) {
            metadata[i].path = list.paths[i];
            metadata[i].kind = list.kind;
            std::string error;
            if (!read_entry_metadata(metadata[i], error)) {
                metadata[i].path.clear(); // not to be removed
                outcome.last_refusal = "not removed, what restoring it needs cannot be read (";
                outcome.last_refusal += error;
                outcome.last_refusal += "): ";
                outcome.last_refusal += list.paths[i];
            }
        }
    }
    auto metadata = entries.begin();
    for (const removal_list &list : lists) {
        for (const journal_entry &entry : *metadata++) {
            if (entry.path.empty())
                continue;
            // One path per call: the count then says whether this very
            // entry went, which a count over a longer list cannot.
            const int32_t count = list.call(edclean_json_io::path_array({entry.path}).c_str());
            if (count != 1) {
                outcome.call_failed = outcome.call_failed || count < 0;
                if (*edclean_last_error() != '\0')
                    outcome.last_refusal = edclean_last_error();
                continue;
            }
            ++outcome.removed;
            std::string error;
            if (!file_->append(journal_line(entry), error)) {
                outcome.journal_error = "journal ";
                outcome.journal_error += path_;
                outcome.journal_error += ": cannot write (";
                outcome.journal_error += error;
                outcome.journal_error += "); ";
                outcome.journal_error += entry.path;
                outcome.journal_error +=
                    " was removed but is not in it, and nothing more was removed";
                return;
            }
            if (std::chrono::steady_clock::now() - last_sync_ >= std::chrono::seconds(1) &&
                !sync(outcome, ", and nothing more was removed"))
                return;
        }
    }
    sync(outcome, "");
}

bool journal_writer::sync(removal_outcome &outcome, const char *consequence) {
    std::string error;
    if (!file_->sync(error)) {
        outcome.journal_error = "journal ";
        outcome.journal_error += path_;
        outcome.journal_error += ": cannot force it to the disk (";
        outcome.journal_error += error;
        outcome.journal_error += ')';
        outcome.journal_error += consequence;
        return false;
    }
    last_sync_ = std::chrono::steady_clock::now();
    return true;
}

} // namespace edclean_tool
