#include "journal.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>

#include <rapidjson/error/en.h>

#include "console.h"
#include "edclean.h"
#include "edclean_json_io.h"
#include "journal_internal.h"

namespace edclean_tool {

namespace {

// The first line's own member, which no entry line has.
constexpr const char *kHeaderKey = "edclean_journal";
constexpr unsigned kJournalFormat = 1;

const char *kind_name(entry_kind kind) {
    switch (kind) {
    case entry_kind::dir:
        return "dir";
    case entry_kind::file:
        return "file";
    case entry_kind::parent:
        break;
    }
    return "parent";
}

// An absolute path without NUL or ".." component; false with `error`, which
// names the member as `what`.
bool check_path(const std::string &path, const char *what, std::string &error) {
    if (path.find('\0') != std::string::npos) {
        error = what;
        error += " holds a NUL";
        return false;
    }
    if (!is_absolute_path(path)) {
        error = what;
        error += " is not an absolute path";
        return false;
    }
    // The library never lists such a path: a line with one was not written
    // by a clean, and recreating it could reach outside the tree it names.
    for (const std::string_view name : path_names(path))
        if (name == "..") {
            error = "refused: path contains ..";
            return false;
        }
    return true;
}

bool read_path(const rapidjson::Value &line, journal_entry &entry, std::string &error) {
    const auto member = line.FindMember("path");
    if (member == line.MemberEnd() || !member->value.IsString()) {
        error = "\"path\" missing or not a string";
        return false;
    }
    entry.path.assign(member->value.GetString(), member->value.GetStringLength());
    return check_path(entry.path, "\"path\"", error);
}

bool read_identity(const rapidjson::Value &line, object_identity &id, std::string &error) {
    const auto member = line.FindMember("id");
    if (member != line.MemberEnd() && member->value.IsObject()) {
        const rapidjson::Value &value = member->value;
        const auto volume = value.FindMember("volume");
        const auto object = value.FindMember("object");
        if (volume != value.MemberEnd() && volume->value.IsUint64() &&
            object != value.MemberEnd() && object->value.IsUint64()) {
            id.volume = volume->value.GetUint64();
            id.object = object->value.GetUint64();
            return true;
        }
    }
    error = "\"id\" missing or not {\"volume\": integer, \"object\": integer}";
    return false;
}

bool parse_object(const std::string &text, rapidjson::Document &line, std::string &error) {
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
    return true;
}

bool read_kind(const rapidjson::Value &line, entry_kind &kind, std::string &error) {
    const auto member = line.FindMember("kind");
    if (member != line.MemberEnd() && member->value.IsString()) {
        const std::string name(member->value.GetString(), member->value.GetStringLength());
        for (const entry_kind k : {entry_kind::dir, entry_kind::file, entry_kind::parent})
            if (name == kind_name(k)) {
                kind = k;
                return true;
            }
    }
    error = "\"kind\" missing or not \"dir\", \"file\" or \"parent\"";
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
        if (end > start && !(end - start == 1 && path[start] == '.'))
            names.emplace_back(path.data() + start, end - start);
        start = end + 1;
    }
    return names;
}

std::string parent_path(const std::string &path) {
    const std::vector<std::string_view> names = path_names(path);
    if (names.empty() || (names.size() == 1 && names[0].back() == ':'))
        return std::string();
    const std::string_view last = names.back();
    size_t end = static_cast<size_t>(last.data() - path.data());
    while (end > 0 && is_path_separator(path[end - 1]))
        --end;
    std::string parent = path.substr(0, end);
    // "/" and "C:/" keep their separator: without it they are no path.
    if (parent.empty() || parent.back() == ':')
        parent += path[end];
    return parent;
}

bool is_at_or_beneath(const std::string &path, const std::string &root) {
    const std::vector<std::string_view> inner = path_names(path);
    const std::vector<std::string_view> outer = path_names(root);
    if (outer.size() > inner.size() || is_path_separator(path[0]) != is_path_separator(root[0]))
        return false;
    for (size_t i = 0; i < outer.size(); ++i)
        if (inner[i] != outer[i])
            return false;
    return true;
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
    if (entry.kind == entry_kind::parent) {
        writer.Key("id");
        writer.StartObject();
        writer.Key("volume");
        writer.Uint64(entry.id.volume);
        writer.Key("object");
        writer.Uint64(entry.id.object);
        writer.EndObject();
    } else {
        write_platform_members(writer, entry);
    }
    write_time(writer, "atime", entry.atime);
    write_time(writer, "mtime", entry.mtime);
    writer.EndObject();
    std::string line(buffer.GetString(), buffer.GetSize());
    line += '\n';
    return line;
}

std::string journal_header_line(const std::vector<std::string> &roots) {
    rapidjson::StringBuffer buffer;
    json_writer writer(buffer);
    writer.StartObject();
    writer.Key(kHeaderKey);
    writer.Uint(kJournalFormat);
    writer.Key("roots");
    writer.StartArray();
    for (const std::string &root : roots)
        writer.String(root.c_str(), static_cast<rapidjson::SizeType>(root.size()));
    writer.EndArray();
    writer.Key("user");
    write_user(writer);
    writer.EndObject();
    std::string line(buffer.GetString(), buffer.GetSize());
    line += '\n';
    return line;
}

header_status read_journal_header(const std::string &text, std::vector<std::string> &roots,
                                  std::string &error) {
    rapidjson::Document line;
    if (!parse_object(text, line, error))
        return header_status::not_header;
    const auto format = line.FindMember(kHeaderKey);
    if (format == line.MemberEnd())
        return header_status::not_header;
    if (!format->value.IsUint() || format->value.GetUint() != kJournalFormat) {
        error = "a journal of another format than ";
        error += std::to_string(kJournalFormat);
        return header_status::damaged;
    }
    const auto list = line.FindMember("roots");
    if (list == line.MemberEnd() || !list->value.IsArray() || list->value.Empty()) {
        error = "\"roots\" missing or not an array of paths";
        return header_status::damaged;
    }
    for (const rapidjson::Value &root : list->value.GetArray()) {
        if (!root.IsString()) {
            error = "\"roots\" holds something other than a path";
            return header_status::damaged;
        }
        std::string path(root.GetString(), root.GetStringLength());
        if (!check_path(path, "a root", error))
            return header_status::damaged;
        roots.push_back(std::move(path));
    }
    return header_status::header;
}

bool read_journal_line(const std::string &text, journal_entry &entry, std::string &error) {
    rapidjson::Document line;
    if (!parse_object(text, line, error))
        return false;
    if (line.HasMember(kHeaderKey)) {
        error = "a first line where an entry belongs";
        return false;
    }
    if (!read_path(line, entry, error) || !read_kind(line, entry.kind, error))
        return false;
    if (entry.kind == entry_kind::parent ? !read_identity(line, entry.id, error)
                                         : !read_platform_members(line, entry, error))
        return false;
    return read_time(line, "atime", entry.atime, error) &&
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

bool journal_writer::begin(const std::vector<std::string> &roots, std::vector<std::string> &files,
                           std::string &error) {
    // Created before the scan, the journal is an empty file the scan may
    // list, under any name (a link to it too): it must not remove itself.
    if (!file_->identity(self_)) {
        error = "journal " + path_ + ": cannot tell which file it is";
        return false;
    }
    std::erase_if(files, [this](const std::string &path) {
        journal_entry entry;
        entry.path = path;
        std::string ignored;
        return read_entry_metadata(entry, ignored) && entry.id == self_;
    });
    roots_.clear();
    for (const std::string &root : roots) {
        std::string canonical;
        if (!canonical_root(root, canonical, error)) {
            error = "journal " + path_ + ": cannot record the root " + root + " (" + error + ")";
            return false;
        }
        roots_.push_back(std::move(canonical));
    }
    if (!file_->append(journal_header_line(roots_), error)) {
        error = "journal " + path_ + ": cannot write (" + error + ")";
        return false;
    }
    return true;
}

bool journal_writer::append(const journal_entry &entry, removal_outcome &outcome) {
    std::string error;
    if (file_->append(journal_line(entry), error))
        return true;
    outcome.journal_error = "journal ";
    outcome.journal_error += path_;
    outcome.journal_error += ": cannot write (";
    outcome.journal_error += error;
    outcome.journal_error += "); ";
    outcome.journal_error += entry.path;
    outcome.journal_error += entry.kind == entry_kind::parent
                                 ? " held a removed entry but its times are not in it"
                                 : " was removed but is not in it";
    outcome.journal_error += ", and nothing more was removed";
    return false;
}

namespace {

// An entry to remove, with what its line needs, the directory that holds
// it (an index into the parents, or none) and its place in the outcome.
struct planned_entry {
    journal_entry entry;
    size_t parent = SIZE_MAX;
    size_t index = 0;
};

// A directory that holds entries to remove, with its times before any went;
// its line is written once, after the first of them went.
struct planned_parent {
    journal_entry entry;
    bool written = false;
};

// Why the journal did not hand an entry to the library.
std::string refusal(const char *why, const std::string &detail) {
    std::string message = why;
    if (!detail.empty()) {
        message += " (";
        message += detail;
        message += ')';
    }
    return message;
}

} // namespace

void journal_writer::remove(std::initializer_list<removal_list> lists, removal_outcome &outcome,
                            std::atomic<long long> *removed_so_far) {
    std::vector<std::vector<planned_entry>> plans;
    std::vector<planned_parent> parents;
    std::map<std::string, size_t> parent_index;
    size_t total = 0;
    for (const removal_list &list : lists)
        total += list.paths.size();
    // What an entry that is never reached says: the journal stopped first.
    outcome.entries.assign(total, {0, "the journal stopped the clean before it"});
    size_t index = 0;
    for (const removal_list &list : lists) {
        std::vector<planned_entry> &plan = plans.emplace_back();
        for (const std::string &path : list.paths) {
            entry_outcome &result = outcome.entries[index++];
            const auto beneath = [&path](const std::string &root) {
                return is_at_or_beneath(path, root);
            };
            if (std::none_of(roots_.begin(), roots_.end(), beneath)) {
                result.message = refusal("it is not beneath a root the journal records", "");
                continue;
            }
            journal_entry entry;
            entry.path = path;
            entry.kind = list.kind;
            std::string error;
            if (!read_entry_metadata(entry, error)) {
                result.message = refusal("what restoring it needs cannot be read", error);
                continue;
            }
            if (entry.id == self_) { // under a name begin() did not see
                result.message = refusal("it is the journal itself", "");
                continue;
            }
            planned_entry &planned = plan.emplace_back();
            planned.index = index - 1;
            result.not_reached = true; // until the removal loop takes it up
            planned.entry = std::move(entry);
            // The times of the directory that holds it, read before anything
            // in it goes: removing an entry moves them. The directory above
            // a root is outside the tree and keeps what removal does.
            const std::string parent = parent_path(path);
            if (parent.empty() || std::none_of(roots_.begin(), roots_.end(), [&](const auto &r) {
                    return is_at_or_beneath(parent, r);
                }))
                continue;
            const auto [known, added] = parent_index.try_emplace(parent, parents.size());
            if (added) {
                journal_entry &held = parents.emplace_back().entry;
                held.path = parent;
                held.kind = entry_kind::parent;
                if (!read_entry_metadata(held, error)) {
                    parents.pop_back();
                    parent_index.erase(known);
                    continue;
                }
            }
            planned.parent = known->second;
        }
    }
    test_pause("metadata-read");
    auto plan = plans.begin();
    for (const removal_list &list : lists) {
        for (const planned_entry &planned : *plan++) {
            const journal_entry &entry = planned.entry;
            if (interrupt_requested()) {
                outcome.interrupted = true;
                sync(outcome, "");
                return;
            }
            // The metadata was read before the first removal; what is at the
            // path now must still be that object, or its line would describe
            // another. The library re-checks the object it removes itself,
            // but cannot say which one it was.
            entry_outcome &result = outcome.entries[planned.index];
            result.not_reached = false;
            journal_entry now;
            now.path = entry.path;
            now.kind = entry.kind;
            std::string error;
            if (!read_entry_metadata(now, error) || now.id != entry.id) {
                result.message = refusal("it is not the object whose metadata was read", error);
                continue;
            }
            // One path per call: the count then says whether this very
            // entry went, which a count over a longer list cannot, and the
            // message is this entry's.
            const int32_t count = list.call(edclean_json_io::path_array({entry.path}).c_str());
            result.count = count;
            if (count != 1) {
                outcome.call_failed = outcome.call_failed || count < 0;
                result.message = edclean_last_error();
                continue;
            }
            result.message.clear();
            ++outcome.removed;
            if (removed_so_far != nullptr)
                removed_so_far->store(outcome.removed, std::memory_order_relaxed);
            if (outcome.removed == 1)
                test_pause("one-removed");
            if (!append(entry, outcome))
                return;
            if (planned.parent != SIZE_MAX && !parents[planned.parent].written) {
                parents[planned.parent].written = true;
                if (!append(parents[planned.parent].entry, outcome))
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
