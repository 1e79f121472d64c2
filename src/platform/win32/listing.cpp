// Win32 backend: directory streams read in batches and the records of what they
// handed out.
#include "platform/win32/internal.h"

namespace ed_win32 {

// Stream records are large (one batch each) and a walk makes and drops one
// per directory: a few released records are kept per thread for the next
// streams instead of going back to the heap every time.
class stream_record_cache {
  public:
    stream_record_cache() = default;
    stream_record_cache(const stream_record_cache &) = delete;
    stream_record_cache &operator=(const stream_record_cache &) = delete;
    ~stream_record_cache() {
        for (size_t i = 0; i < count_; ++i)
            std::free(kept_[i]);
    }
    ed_dir *take() {
        return count_ > 0 ? kept_[--count_] : static_cast<ed_dir *>(std::malloc(sizeof(ed_dir)));
    }
    // Takes back a record, with nothing of its own left allocated: what it
    // kept of its entries goes now.
    void give(ed_dir *dir) {
        std::free(dir->records);
        dir->records = nullptr;
        if (count_ < kKept)
            kept_[count_++] = dir;
        else
            std::free(dir);
    }

  private:
    static constexpr size_t kKept = 8;
    ed_dir *kept_[kKept] = {};
    size_t count_ = 0;
};

thread_local stream_record_cache t_stream_records;

static const listed_entry *held_entry(const ed_dir *dir) {
    return reinterpret_cast<const listed_entry *>(dir->batch + dir->held);
}

// True when the directory `handle` holds is the root of a volume of the FAT
// family: the only directory that lists not even "." and "..", so that a
// first read finding nothing at all means it is empty.
static bool is_fat_volume_root(HANDLE handle) {
    wchar_t path[4];
    if (GetFinalPathNameByHandleW(handle, path, 4, FILE_NAME_NORMALIZED | VOLUME_NAME_NONE) != 1 ||
        path[0] != L'\\')
        return false;
    wchar_t file_system[MAX_PATH + 1];
    if (!GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, nullptr, file_system,
                                       MAX_PATH + 1))
        return false;
    const std::wstring_view name(file_system);
    return name == L"FAT" || name == L"FAT32" || name == L"exFAT";
}

// Reads the next batch; `restart` begins the listing anew, whatever the
// handle listed before. A failure other than the end breaks the stream.
static bool read_batch(ed_dir *dir, bool restart) {
    dir->held = 0;
    const unsigned long injected = restart ? at_test_moment(ED_TEST_FIRST_LISTING_READ) : 0;
    if (injected != 0)
        SetLastError(injected);
    else if (GetFileInformationByHandleEx(
                 dir->handle, restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo,
                 dir->batch, sizeof dir->batch))
        return true;
    // A first read finding no entry at all says "no such file"; only a
    // directory without "." and ".." can list nothing, and for any other
    // directory it means the listing failed.
    const DWORD error = GetLastError();
    const bool end = error == ERROR_NO_MORE_FILES ||
                     (restart && error == ERROR_FILE_NOT_FOUND && is_fat_volume_root(dir->handle));
    dir->state = end ? stream_state::done : stream_state::broken;
    return false;
}

static bool entry_fits(const ed_dir *dir) {
    const size_t name_offset = offsetof(listed_entry, FileName);
    return dir->held + name_offset <= sizeof dir->batch &&
           held_entry(dir)->FileNameLength <= sizeof dir->batch - dir->held - name_offset;
}

static bool is_dot_or_dotdot(const listed_entry *entry) {
    const DWORD units = entry->FileNameLength / sizeof(WCHAR);
    return entry->FileName[0] == L'.' && (units == 1 || (units == 2 && entry->FileName[1] == L'.'));
}

// Moves to the next entry other than "." and "..". A listing that breaks off
// leaves the stream broken: one unnameable entry then stands for whatever
// could not be read, so a directory that could not be listed to its end is
// never taken for empty.
static void advance(ed_dir *dir, bool first) {
    bool have;
    if (first) {
        have = read_batch(dir, true);
    } else {
        const DWORD next = held_entry(dir)->NextEntryOffset;
        dir->held += next;
        have = next != 0 || read_batch(dir, false);
    }
    while (have) {
        if (!entry_fits(dir)) {
            dir->state = stream_state::broken;
            return;
        }
        if (!is_dot_or_dotdot(held_entry(dir))) {
            dir->state = stream_state::holding;
            return;
        }
        const DWORD next = held_entry(dir)->NextEntryOffset;
        dir->held += next;
        have = next != 0 || read_batch(dir, false);
    }
}

// A stream on an open directory handle, holding its first entry; it will
// close the handle when `owns`. Null when memory is short or the directory
// cannot be listed at all; the handle is then left to the caller, so that
// one owner alone ever closes it.
ed_dir *stream_on(HANDLE handle, bool owns, volume_streams known, std::wstring_view path) {
    ed_dir *dir = t_stream_records.take();
    if (dir == nullptr)
        return nullptr;
    dir->path_units = path.size() < kStreamPathUnits ? path.size() : 0;
    if (dir->path_units != 0)
        std::memcpy(dir->path, path.data(), dir->path_units * sizeof(wchar_t));
    InitializeSRWLock(&dir->records_lock);
    dir->records = nullptr;
    dir->records_held = 0;
    dir->records_room = 0;
    dir->handle = handle;
    dir->owns_handle = owns;
    dir->volume = known;
    dir->name[0] = '\0';
    dir->unnameable = ED_UNNAMEABLE_NAME;
    advance(dir, true);
    if (dir->state == stream_state::broken) {
        t_stream_records.give(dir);
        return nullptr;
    }
    // A named data stream is content of the directory that no listing shows.
    dir->named_streams = streams_of(handle, &dir->volume) != streams_verdict::plain;
    return dir;
}

// A stream that takes over `directory`, which it then closes; only when
// the stream is set up does the handle leave the caller's guard.
ed_dir *stream_from(unique_hfile &directory, volume_streams known, std::wstring_view path) {
    ed_dir *dir = stream_on(directory.get(), true, known, path);
    if (dir != nullptr)
        directory.release();
    return dir;
}

// The kind a listing tells for free. A nonzero listed size means data; a
// listed zero may lag behind a writer, so the walk confirms it on the object.
static ed_entry_hint hint_of(const listed_entry *entry) {
    if (is_link_like(entry->FileAttributes))
        return ED_HINT_LNK;
    if (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return ED_HINT_DIR;
    return entry->EndOfFile.QuadPart != 0 ? ED_HINT_REG_DATA : ED_HINT_REG;
}

static void set_unnameable(char *name) {
    std::memcpy(name, ed_unnameable_entry, std::strlen(ed_unnameable_entry) + 1);
}

// The held entry's name as UTF-8 in `out`; false when it cannot be handed
// out faithfully (see "Names" at the head of internal.h).
static bool faithful_name(const listed_entry *entry, char *out) {
    const size_t units = entry->FileNameLength / sizeof(WCHAR);
    if (units == 0 || units >= ED_NAME_BUFFER_BYTES || win32_alters_name(entry->FileName, units))
        return false;
    const int bytes =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, entry->FileName, static_cast<int>(units),
                            out, static_cast<int>(ED_NAME_BUFFER_BYTES - 1), nullptr, nullptr);
    if (bytes <= 0)
        return false;
    out[bytes] = '\0';
    return true;
}

uint64_t name_hash(const char *name) {
    uint64_t hash = 0xcbf29ce484222325ULL; // FNV-1a
    for (; *name != '\0'; ++name)
        hash = (hash ^ static_cast<unsigned char>(*name)) * 0x100000001b3ULL;
    return hash;
}

// Keeps what the listing said of the entry just handed out as `name`. When
// memory is short nothing is kept, and every later query on the entry
// refuses it.
static void keep_listed(ed_dir *dir, const char *name, const listed_entry *entry) {
    const listed_record record{name_hash(name), static_cast<uint64_t>(entry->FileId.QuadPart),
                               (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0};
    AcquireSRWLockExclusive(&dir->records_lock);
    if (dir->records_held == dir->records_room) {
        const size_t room = dir->records_room == 0 ? 64 : dir->records_room * 2;
        void *grown = room <= SIZE_MAX / sizeof(listed_record)
                          ? std::realloc(dir->records, room * sizeof(listed_record))
                          : nullptr;
        if (grown != nullptr) {
            dir->records = static_cast<listed_record *>(grown);
            dir->records_room = room;
        }
    }
    if (dir->records_held < dir->records_room)
        dir->records[dir->records_held++] = record;
    ReleaseSRWLockExclusive(&dir->records_lock);
}

// What the listing said of the entry `name` the stream handed out; false
// when it kept nothing for that name. The latest entry of that name counts:
// a name listed twice (two objects that Win32 names alike) then matches at
// most one object, and the other entry is refused.
bool listed_as(ed_dir *dir, const char *name, listed_record *out) {
    const uint64_t hash = name_hash(name);
    bool found = false;
    AcquireSRWLockShared(&dir->records_lock);
    for (size_t i = dir->records_held; i > 0; --i)
        if (dir->records[i - 1].name_hash == hash) {
            *out = dir->records[i - 1];
            found = true;
            break;
        }
    ReleaseSRWLockShared(&dir->records_lock);
    return found;
}

// The 8-byte file reference number of the object `handle` holds: the number
// a listing of its directory gives for it (see "Listing" at the head of the
// file).
static bool reference_of(HANDLE handle, uint64_t *reference) {
    const nt_query_information_file_fn query = nt_query_information_file();
    if (query == nullptr)
        return false;
    constexpr auto kFileInternalInformation = static_cast<FILE_INFORMATION_CLASS>(6);
    LARGE_INTEGER index{};
    IO_STATUS_BLOCK io{};
    if (!NT_SUCCESS(query(handle, &io, &index, sizeof index, kFileInternalInformation)))
        return false;
    *reference = static_cast<uint64_t>(index.QuadPart);
    return true;
}

// True when `object`, opened by the name `name` beneath the stream's
// directory, is the object the listing handed out under that name: same
// file reference number, and a directory exactly when it listed one. An
// entry swapped since it was listed (for a link that the open went through,
// say), or a second entry Win32 names like another, fails.
bool is_listed_object(ed_dir *dir, const char *name, HANDLE object, listed_record *listed) {
    uint64_t reached = 0;
    return listed_as(dir, name, listed) && listed->file_id != 0 && reference_of(object, &reached) &&
           reached == listed->file_id;
}

// "\\?\X:\dir\name" for the entry `component` of the stream's directory,
// when the stream knows its own path; else empty.
std::wstring entry_path(const ed_dir *dir, const std::wstring &component) {
    if (dir->path_units == 0)
        return {};
    std::wstring path(dir->path, dir->path_units);
    if (path.back() != L'\\') // a drive root ends in one already
        path.push_back(L'\\');
    path.append(component);
    return path;
}

} // namespace ed_win32

using namespace ed_win32;

ed_dir *ed_opendir(const char *path) {
    if (path == nullptr || *path == '\0' || names_stream(path))
        return nullptr;
    unique_hfile directory =
        open_host_path(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0);
    const DWORD attributes = directory ? attributes_of(directory.get()) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return nullptr;
    return stream_from(directory);
}

ed_dir *ed_opendir_root(const char *canonical, const ed_file_id *id) {
    unique_hfile root = open_registered_root(canonical, id, FILE_LIST_DIRECTORY, kShareAll);
    if (!root)
        return nullptr;
    // Reached by this text as itself (open_registered_root checked its final
    // path), so entries beneath it may be asked about by their full paths.
    return stream_from(root, volume_streams::not_asked, extended_form(canonical));
}

const char *ed_readdir_hint(ed_dir *dir, ed_entry_hint *hint) {
    *hint = ED_HINT_UNKNOWN;
    if (dir == nullptr)
        return nullptr;
    if (dir->named_streams) {
        dir->named_streams = false;
        dir->unnameable = ED_UNNAMEABLE_OTHER;
        set_unnameable(dir->name);
        return dir->name;
    }
    if (dir->state == stream_state::done)
        return nullptr;
    if (dir->state == stream_state::broken) {
        dir->unnameable = ED_UNNAMEABLE_LISTING;
        set_unnameable(dir->name);
        dir->state = stream_state::done;
        return dir->name;
    }
    const listed_entry *entry = held_entry(dir);
    if (faithful_name(entry, dir->name)) {
        *hint = hint_of(entry);
        keep_listed(dir, dir->name, entry);
    } else {
        dir->unnameable = ED_UNNAMEABLE_NAME;
        set_unnameable(dir->name);
    }
    advance(dir, false); // read one ahead
    return dir->name;
}

ed_dir *ed_opendir_at(ed_dir *dir, const char *name) {
    std::wstring component;
    if (dir == nullptr || !component_of(name, component))
        return nullptr;
    unique_hfile child =
        open_beneath(dir->handle, component, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, kShareAll,
                     FILE_DIRECTORY_FILE);
    // Opened as itself, a junction would list as an empty directory; opened
    // as another object than the one listed, the listing would be of that
    // other object.
    listed_record listed;
    if (!child || !is_listed_object(dir, name, child.get(), &listed) || !listed.directory ||
        !is_plain_directory(attributes_of(child.get())))
        return nullptr;
    return stream_from(child, dir->volume, entry_path(dir, component));
}

int ed_dir_has_next(const ed_dir *dir) {
    return dir != nullptr && (dir->named_streams || dir->state != stream_state::done) ? 1 : 0;
}

void ed_closedir(ed_dir *dir) {
    if (dir == nullptr)
        return;
    if (dir->owns_handle)
        CloseHandle(dir->handle);
    t_stream_records.give(dir);
}

// A path holds at most ED_PATH_LIMIT bytes here, so a walk keeps every level
// of its path open (ed_walk_resumes is false) and never suspends a stream.
ed_dir *ed_walk_opendir_at(ed_dir *dir, const char *name) { return ed_opendir_at(dir, name); }

void ed_dir_note(const ed_dir *, ed_dir_mark *mark) { *mark = ed_dir_mark{}; }

ed_dir *ed_dir_resume(const ed_dir_mark *, ed_dir *, ed_dir *, const char *) { return nullptr; }

ed_unnameable_cause ed_dir_unnameable_cause(const ed_dir *dir) {
    return dir != nullptr ? dir->unnameable : ED_UNNAMEABLE_NAME;
}
