#include "api/edclean_json.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include <rapidjson/reader.h>
#include <rapidjson/writer.h>

#include "core/ed_error.h"
#include "platform/ed_utf8.h"

namespace {

// The heap behind the reader's and writer's working stacks. It throws where
// the stock allocator would hand back null, so that running out of memory
// ends a parse or a write cleanly instead of writing through a null pointer.
struct throwing_allocator {
    [[maybe_unused]] static const bool kNeedFree = true;
    void *Malloc(size_t size) {
        if (size == 0)
            return nullptr;
        void *block = std::malloc(size);
        if (block == nullptr)
            throw std::bad_alloc();
        return block;
    }
    void *Realloc(void *block, size_t, size_t size) {
        if (size == 0) {
            std::free(block);
            return nullptr;
        }
        void *grown = std::realloc(block, size);
        if (grown == nullptr)
            throw std::bad_alloc();
        return grown;
    }
    static void Free(void *block) { std::free(block); }
};

using utf8 = rapidjson::UTF8<>;
using strict_reader = rapidjson::GenericReader<utf8, utf8, throwing_allocator>;
constexpr unsigned kReadFlags = rapidjson::kParseIterativeFlag;

// Tracks nesting for the two readers below and refuses, by ending the parse,
// any string or key that is not well-formed UTF-8 (an escaped lone surrogate
// included, which the tokenizer would otherwise pass on).
template <typename Derived> struct depth_handler : rapidjson::BaseReaderHandler<utf8, Derived> {
    size_t depth = 0;
    bool root_is_container = false;

    bool open_container(bool expected_root) {
        if (depth == 0)
            root_is_container = expected_root;
        ++depth;
        return true;
    }
    bool close_container() {
        --depth;
        return true;
    }
    bool Key(const char *text, rapidjson::SizeType length, bool) {
        return ed_utf8_valid(text, length);
    }
};

// The array of path strings. Strings are copied as they come; whether the
// text was valid JSON is known only at its end, so a failure found on the
// way is remembered and reported then, the first one in array order.
struct string_array_handler : depth_handler<string_array_handler> {
    enum class element_fault { none, not_a_string, holds_nul, out_of_memory };

    ed_strlist *out;
    element_fault fault = element_fault::none;

    explicit string_array_handler(ed_strlist *list) : out(list) {}

    void element_is_not_a_string() {
        if (depth == 1 && fault == element_fault::none)
            fault = element_fault::not_a_string;
    }
    bool Default() {
        element_is_not_a_string();
        return true;
    }
    bool String(const char *text, rapidjson::SizeType length, bool) {
        if (!ed_utf8_valid(text, length))
            return false;
        if (depth != 1 || fault != element_fault::none)
            return true;
        // An escaped NUL ("\u0000") would cut the path where the library
        // reads it, naming a wider tree or another object than the host's.
        if (std::memchr(text, '\0', length) != nullptr)
            fault = element_fault::holds_nul;
        else if (ed_strlist_push(out, text) != 0)
            fault = element_fault::out_of_memory;
        return true;
    }
    bool StartArray() {
        element_is_not_a_string();
        return open_container(true);
    }
    bool EndArray(rapidjson::SizeType) { return close_container(); }
    bool StartObject() {
        element_is_not_a_string();
        return open_container(false);
    }
    bool EndObject(rapidjson::SizeType) { return close_container(); }
};

// The options object. The first member of each name decides:
// "include_hidden", "include_zero_byte" and "report_left_out" when their
// value is a boolean or an integer, "exclude" when it is an array of
// strings, "min_age_seconds" when it is an integer of at least 0 (a negative
// one fails the call), "threads" when it is an integer (of any size: read as
// 1 when negative, as 64 above that), "progress_fd" when it is an integer
// from 0 to the largest signed 64-bit value. Any other value leaves the
// default.
struct options_handler : depth_handler<options_handler> {
    enum class member {
        none,
        include_hidden,
        include_zero_byte,
        exclude,
        min_age,
        threads,
        report_left_out,
        progress_fd,
    };
    static constexpr int64_t kMostThreads = 64;

    ed_scan_opts *opts;
    member pending = member::none; // the member the next top-level value decides
    bool seen_hidden = false;
    bool seen_zero_byte = false;
    bool seen_exclude = false;
    bool seen_min_age = false;
    bool seen_threads = false;
    bool seen_report_left_out = false;
    bool seen_progress_fd = false;
    bool negative_age = false; // an age that cannot be meant: the call fails
    // The "exclude" array being read, while every element so far is a string.
    std::shared_ptr<ed_name_filter> patterns;
    bool reading_exclude = false;

    explicit options_handler(ed_scan_opts *o) : opts(o) {}

    bool Key(const char *text, rapidjson::SizeType length, bool copy) {
        if (!depth_handler::Key(text, length, copy))
            return false;
        if (depth != 1)
            return true;
        pending = member::none;
        const std::string_view name(text, length);
        if (name == "include_hidden" && !seen_hidden) {
            seen_hidden = true;
            pending = member::include_hidden;
        } else if (name == "include_zero_byte" && !seen_zero_byte) {
            seen_zero_byte = true;
            pending = member::include_zero_byte;
        } else if (name == "exclude" && !seen_exclude) {
            seen_exclude = true;
            pending = member::exclude;
        } else if (name == "min_age_seconds" && !seen_min_age) {
            seen_min_age = true;
            pending = member::min_age;
        } else if (name == "threads" && !seen_threads) {
            seen_threads = true;
            pending = member::threads;
        } else if (name == "report_left_out" && !seen_report_left_out) {
            seen_report_left_out = true;
            pending = member::report_left_out;
        } else if (name == "progress_fd" && !seen_progress_fd) {
            seen_progress_fd = true;
            pending = member::progress_fd;
        }
        return true;
    }
    // The member the value at hand decides: at the top level, the pending
    // one, which is settled by it.
    member take_pending() {
        if (depth != 1)
            return member::none;
        const member which = pending;
        pending = member::none;
        return which;
    }
    // An element of the "exclude" array that is not a string: the array
    // leaves the default.
    void element_is_not_a_string() {
        if (reading_exclude && depth == 2)
            patterns.reset();
    }
    // A boolean or an integer: a boolean member takes either, the age an
    // integer only.
    bool scalar(bool is_integer, bool truth, int64_t integer, bool integer_clamped = false) {
        element_is_not_a_string();
        switch (take_pending()) {
        case member::include_hidden:
            opts->include_hidden = truth ? 1 : 0;
            break;
        case member::include_zero_byte:
            opts->include_zero_byte = truth ? 1 : 0;
            break;
        case member::min_age:
            if (is_integer && integer >= 0)
                opts->min_age_seconds = integer;
            negative_age = negative_age || (is_integer && integer < 0);
            break;
        case member::threads:
            if (is_integer)
                opts->threads =
                    static_cast<int32_t>(std::clamp<int64_t>(integer, -1, kMostThreads));
            break;
        case member::report_left_out:
            opts->report_left_out = truth ? 1 : 0;
            break;
        case member::progress_fd:
            // A descriptor or handle is never negative; one beyond the
            // signed range names nothing a host holds.
            if (is_integer && integer >= 0 && !integer_clamped)
                opts->progress_target = integer;
            break;
        case member::exclude:
        case member::none:
            break;
        }
        return true;
    }
    static bool low_word_set(uint64_t value) { return static_cast<uint32_t>(value) != 0; }

    bool Default() {
        element_is_not_a_string();
        take_pending();
        return true;
    }
    bool Bool(bool value) { return scalar(false, value, 0); }
    bool Int(int value) { return scalar(true, value != 0, value); }
    bool Uint(unsigned value) { return scalar(true, value != 0, value); }
    bool Int64(int64_t value) {
        return scalar(true, low_word_set(static_cast<uint64_t>(value)), value);
    }
    bool Uint64(uint64_t value) {
        // Beyond the largest signed count: as many seconds as can be counted.
        const int64_t clamped =
            value > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(value);
        return scalar(true, low_word_set(value), clamped, value > static_cast<uint64_t>(INT64_MAX));
    }
    bool String(const char *text, rapidjson::SizeType length, bool) {
        if (!ed_utf8_valid(text, length))
            return false;
        if (reading_exclude && depth == 2) {
            if (patterns)
                patterns->add(std::string_view(text, length));
            return true;
        }
        take_pending();
        return true;
    }
    bool StartArray() {
        element_is_not_a_string();
        if (take_pending() == member::exclude) {
            reading_exclude = true;
            patterns = std::make_shared<ed_name_filter>();
        }
        return open_container(false);
    }
    bool EndArray(rapidjson::SizeType) {
        close_container();
        if (reading_exclude && depth == 1) {
            reading_exclude = false;
            // An empty array excludes nothing, as no array does.
            if (patterns && !patterns->empty())
                opts->exclude = std::move(patterns);
            patterns.reset();
        }
        return true;
    }
    bool StartObject() {
        element_is_not_a_string();
        take_pending();
        return open_container(true);
    }
    bool EndObject(rapidjson::SizeType) { return close_container(); }
};

enum class read_outcome { ok, invalid, out_of_memory };

template <typename Handler> read_outcome read_strict(const char *json, Handler &handler) {
    try {
        strict_reader reader;
        rapidjson::StringStream stream(json);
        return reader.Parse<kReadFlags>(stream, handler).IsError() ? read_outcome::invalid
                                                                   : read_outcome::ok;
    } catch (const std::bad_alloc &) {
        // Whether the text was valid is unknown: say what happened.
        return read_outcome::out_of_memory;
    }
}

// Output stream of the writer: one growing malloc block that becomes the
// result text itself, so the result is never copied.
class malloc_text_stream {
  public:
    using Ch = char;
    malloc_text_stream() = default;
    ~malloc_text_stream() { std::free(text_); }
    malloc_text_stream(const malloc_text_stream &) = delete;
    malloc_text_stream &operator=(const malloc_text_stream &) = delete;

    void Put(char c) {
        Reserve(1);
        text_[length_++] = c;
    }
    // The writer reserves room for a whole string before it puts its bytes.
    void Reserve(size_t count) {
        while (length_ + count >= capacity_)
            if (!grow())
                throw std::bad_alloc();
    }
    void PutUnsafe(char c) { text_[length_++] = c; }
    void Flush() {}
    // The terminated text, now owned by the caller.
    char *release() {
        Put('\0');
        char *text = text_;
        text_ = nullptr;
        return text;
    }

  private:
    bool grow() {
        const size_t capacity = capacity_ == 0 ? 256 : capacity_ * 2;
        void *grown = std::realloc(text_, capacity);
        if (grown == nullptr)
            return false;
        text_ = static_cast<char *>(grown);
        capacity_ = capacity;
        return true;
    }

    char *text_ = nullptr;
    size_t length_ = 0;
    size_t capacity_ = 0;
};

// Found by the writer through argument-dependent lookup, in place of its
// byte-at-a-time defaults.
void PutReserve(malloc_text_stream &stream, size_t count) { stream.Reserve(count); }
void PutUnsafe(malloc_text_stream &stream, char c) { stream.PutUnsafe(c); }

template <typename Writer> void write_string_array(Writer &writer, const ed_strlist *list) {
    writer.StartArray();
    for (int32_t i = 0; i < list->n; ++i)
        if (list->strs[i] != nullptr)
            writer.String(list->strs[i],
                          static_cast<rapidjson::SizeType>(std::strlen(list->strs[i])));
    writer.EndArray();
}

} // namespace

int parse_string_array(const char *json, ed_strlist *out) {
    ed_strlist_init(out);
    if (json == nullptr) {
        ed_set_error("NULL json array");
        return -1;
    }
    string_array_handler handler(out);
    const char *message = nullptr;
    const read_outcome outcome = read_strict(json, handler);
    if (outcome == read_outcome::out_of_memory)
        message = "out of memory";
    else if (outcome == read_outcome::invalid)
        message = "invalid json array";
    else if (!handler.root_is_container)
        message = "expected JSON array";
    else if (handler.fault == string_array_handler::element_fault::not_a_string)
        message = "array elements must be strings";
    else if (handler.fault == string_array_handler::element_fault::holds_nul)
        message = "array elements must not contain NUL";
    else if (handler.fault == string_array_handler::element_fault::out_of_memory)
        message = "out of memory";
    if (message == nullptr)
        return 0;
    ed_strlist_free(out);
    ed_set_error("%s", message);
    return -1;
}

int ed_read_scan_options(const char *json, ed_scan_opts *opts) {
    ed_scan_opts read = *opts;
    options_handler handler(&read);
    const read_outcome outcome = read_strict(json, handler);
    if (outcome != read_outcome::ok) {
        ed_set_error(outcome == read_outcome::out_of_memory ? "out of memory"
                                                            : "invalid options_json");
        return -1;
    }
    if (!handler.root_is_container) {
        ed_set_error("options_json must be object");
        return -1;
    }
    if (handler.negative_age) {
        ed_set_error("min_age_seconds must not be negative");
        return -1;
    }
    *opts = read;
    return 0;
}

char *ed_write_scan_result(const ed_strlist *empty_dirs, const ed_strlist *zero_files,
                           int32_t scanned_dirs, const ed_left_out *left_out) {
    try {
        malloc_text_stream text;
        rapidjson::Writer<malloc_text_stream, utf8, utf8, throwing_allocator> writer(text);
        writer.StartObject();
        writer.Key("empty_dirs");
        write_string_array(writer, empty_dirs);
        writer.Key("zero_files");
        write_string_array(writer, zero_files);
        writer.Key("scanned_dirs");
        writer.Int(scanned_dirs);
        if (left_out != nullptr) {
            const ed_left_out_counts &counts = left_out->counts;
            writer.Key("left_out");
            writer.StartObject();
            for (const auto &[key, count] :
                 {std::pair{"hidden", counts.hidden}, std::pair{"excluded", counts.excluded},
                  std::pair{"young", counts.young},
                  std::pair{"invalid_names", counts.invalid_names},
                  std::pair{"unreadable_dirs", counts.unreadable_dirs}}) {
                writer.Key(key);
                writer.Int64(count);
            }
            writer.Key("unreadable_paths");
            writer.StartArray();
            for (const std::string &path : left_out->unreadable_paths)
                writer.String(path.c_str(), static_cast<rapidjson::SizeType>(path.size()));
            writer.EndArray();
            writer.EndObject();
        }
        writer.EndObject();
        return text.release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}
