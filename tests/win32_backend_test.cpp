// The Win32 backend on the faults that only Windows has: names Win32 would
// rewrite, names that are not UTF-16, stream paths, final paths that cannot
// be had, bare drives, and the sharing rules removal relies on.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "clean/ed_registry.h"
#include "clean/ed_remove.h"
#include "core/ed_owners.h"
#include "edclean.h"
#include "platform/ed_platform.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

struct handle_closer {
    void operator()(HANDLE h) const noexcept {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};
using handle_guard = std::unique_ptr<void, handle_closer>;

std::wstring wide(const std::string &utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end())).wstring();
}

// The "\\?\" form of a test path: no Win32 rewriting of its names.
std::wstring extended(const std::string &utf8) {
    std::wstring text = L"\\\\?\\" + wide(utf8);
    for (wchar_t &c : text)
        if (c == L'/')
            c = L'\\';
    return text;
}

bool make_file(const std::wstring &path, const std::string &bytes) {
    handle_guard file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    DWORD written = 0;
    return file.get() != INVALID_HANDLE_VALUE &&
           (bytes.empty() || (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                        &written, nullptr) &&
                              written == bytes.size()));
}

bool exists_extended(const std::wstring &path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Removes, through their "\\?\" paths, entries that the tree's own cleanup
// would reach only by names Win32 rewrites (or opens as devices).
class odd_entries {
  public:
    odd_entries() = default;
    odd_entries(const odd_entries &) = delete;
    odd_entries &operator=(const odd_entries &) = delete;
    ~odd_entries() {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it)
            if (!DeleteFileW(it->c_str()))
                RemoveDirectoryW(it->c_str());
    }
    void add(const std::wstring &path) { made_.push_back(path); }

  private:
    std::vector<std::wstring> made_;
};

struct scan_result {
    bool ok = false;
    std::vector<std::string> empty_dirs, zero_files;
};

scan_result scan(const std::string &root) {
    scan_result result;
    ed_heap_text text(edclean_scan(edtest::json_array({root}).c_str(), nullptr));
    if (!text)
        return result;
    rapidjson::Document doc;
    doc.Parse(text.get());
    for (const auto &v : doc["empty_dirs"].GetArray())
        result.empty_dirs.emplace_back(v.GetString());
    for (const auto &v : doc["zero_files"].GetArray())
        result.zero_files.emplace_back(v.GetString());
    result.ok = true;
    return result;
}

bool starts_with(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::multiset<std::string> names_in(const std::string &path) {
    std::multiset<std::string> names;
    ed_dir_stream dir(ed_opendir(path.c_str()));
    EXPECT_TRUE(dir) << path;
    while (const char *name = dir ? ed_readdir(dir.get()) : nullptr)
        names.insert(name);
    return names;
}

class Win32Backend : public ::testing::Test {
  protected:
    void TearDown() override { ed_clear_roots(); }
};

TEST_F(Win32Backend, NamesWin32WouldRewriteKeepTheirDirectoryAndAreNeverListed) {
    edtest::temp_tree tree;
    struct {
        const wchar_t *name;
        bool directory;
        const char *bytes; // file content; for a directory, a zero-byte file "x" inside
    } const cases[] = {
        {L"f.", false, "data"},    {L"z.", false, ""},          {L"d.", true, "x"},
        {L"e.", true, nullptr},    {L"NUL", false, "data"},     {L"nul.txt", false, ""},
        {L"Com\u00b9", false, ""}, {L"lpt1 .log", false, ""},   {L"con", true, nullptr},
        {L"trail ", false, ""},    {L"sp ace ", true, nullptr},
    };
    tree.mkdir("ok"); // an ordinary empty sibling: the scan does list
    std::vector<std::string> case_dirs;
    odd_entries cleanup;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string dir = "c" + std::to_string(i);
        tree.mkdir(dir);
        case_dirs.push_back(dir);
        const std::wstring odd = extended(tree.path(dir)) + L"\\" + cases[i].name;
        bool made;
        if (cases[i].directory) {
            made = CreateDirectoryW(odd.c_str(), nullptr);
            if (made)
                cleanup.add(odd);
            if (made && cases[i].bytes != nullptr) {
                made = make_file(odd + L"\\x", "");
                cleanup.add(odd + L"\\x");
            }
        } else {
            made = make_file(odd, cases[i].bytes);
            cleanup.add(odd);
        }
        ASSERT_TRUE(made) << "case " << i << " error " << GetLastError();
        EXPECT_EQ(names_in(tree.path(dir)), std::multiset<std::string>{ed_unnameable_entry})
            << "case " << i;
    }
    const scan_result found = scan(tree.root());
    ASSERT_TRUE(found.ok) << edclean_last_error();
    EXPECT_EQ(found.empty_dirs, std::vector<std::string>{tree.canonical_path("ok")});
    EXPECT_TRUE(found.zero_files.empty());
    for (const std::string &dir : case_dirs)
        for (const auto *list : {&found.empty_dirs, &found.zero_files})
            for (const std::string &listed : *list)
                EXPECT_FALSE(starts_with(listed, tree.canonical_path(dir))) << listed;
}

TEST_F(Win32Backend, LoneSurrogateIsUnnameableBesideItsReplacementLookalike) {
    edtest::temp_tree tree;
    tree.mkdir("s");
    const std::wstring dir = extended(tree.path("s"));
    const std::wstring lone = dir + L"\\c\xD800";
    odd_entries cleanup;
    if (!make_file(lone, ""))
        GTEST_SKIP() << "the file system refused a name that is not UTF-16 (error "
                     << GetLastError() << ")";
    cleanup.add(lone);
    ASSERT_TRUE(make_file(dir + L"\\c\uFFFD", ""));
    EXPECT_EQ(names_in(tree.path("s")),
              (std::multiset<std::string>{ed_unnameable_entry, "c\xEF\xBF\xBD"}));

    const scan_result found = scan(tree.root());
    ASSERT_TRUE(found.ok) << edclean_last_error();
    EXPECT_TRUE(found.empty_dirs.empty());
    ASSERT_EQ(found.zero_files, std::vector<std::string>{tree.canonical_path("s/c\xEF\xBF\xBD")});
    EXPECT_EQ(edclean_delete_files(edtest::json_array(found.zero_files).c_str()), 1)
        << edclean_last_error();
    EXPECT_TRUE(exists_extended(lone)) << "the look-alike went, its namesake stays";
}

TEST_F(Win32Backend, StreamPathsAreNeitherFilesNorDirectoriesNorRoots) {
    edtest::temp_tree tree;
    tree.write("r/f.txt", "data");
    tree.mkdir("r/d");
    ASSERT_TRUE(scan(tree.path("r")).ok) << edclean_last_error();

    const std::string stream = tree.path("r/f.txt:s");
    char *canonical = nullptr;
    ASSERT_EQ(ed_final_path(stream.c_str(), &canonical), ED_FINAL_RESOLVED);
    EXPECT_STREQ(ed_heap_text(canonical).get(), (tree.canonical_path("r/f.txt") + ":s").c_str());

    struct {
        std::string path;
        bool directory;
        const char *message;
    } const deletes[] = {
        {stream, false, "refused: not a regular file"},
        {tree.path("r/f.txt::$DATA"), false, "refused: not a regular file"},
        {tree.path("r/d:s"), true, "refused: not a directory"},
    };
    for (const auto &c : deletes) {
        const std::string json = edtest::json_array({c.path});
        EXPECT_EQ(
            c.directory ? edclean_delete_dirs(json.c_str()) : edclean_delete_files(json.c_str()), 0)
            << c.path;
        EXPECT_STREQ(edclean_last_error(), c.message) << c.path;
    }
    for (const std::string &root :
         {stream, tree.path("r/d:s"), "\\\\?\\" + tree.canonical_path("r/f.txt") + ":s"}) {
        EXPECT_EQ(edclean_scan(edtest::json_array({root}).c_str(), nullptr), nullptr) << root;
        EXPECT_EQ(std::string(edclean_last_error()), "not a directory: " + root);
    }
    EXPECT_TRUE(tree.exists("r/f.txt"));
    EXPECT_TRUE(tree.exists("r/d"));
}

TEST_F(Win32Backend, RootWithoutAReportableFinalPathIsRefusedAndItsParentListsNothing) {
    edtest::temp_tree tree;
    std::string relative = "long";
    for (int i = 0; i < 4; ++i)
        relative += "/" + std::string(60, static_cast<char>('a' + i));
    std::wstring made = extended(tree.root());
    for (const std::string &part : {std::string("long"), std::string(60, 'a'), std::string(60, 'b'),
                                    std::string(60, 'c'), std::string(60, 'd')}) {
        made += L"\\" + wide(part);
        ASSERT_TRUE(CreateDirectoryW(made.c_str(), nullptr)) << GetLastError();
    }
    std::string host = "\\\\?\\" + tree.path(relative);
    for (char &c : host)
        if (c == '/')
            c = '\\';
    ASSERT_GT(host.size(), 270u);

    const scan_result deep = scan(host);
    if (edtest::running_under_wine()) {
        EXPECT_FALSE(deep.ok);
        EXPECT_EQ(std::string(edclean_last_error()), "realpath failed: " + host);
    } else {
        // Windows reports long final paths: the root is accepted as itself.
        ASSERT_TRUE(deep.ok) << edclean_last_error();
        EXPECT_EQ(deep.empty_dirs, std::vector<std::string>{tree.canonical_path(relative)});
    }
    // Walked from above, the chain outgrows the paths the scan may list: it
    // is content nobody can examine, and nothing above it is empty.
    const scan_result above = scan(tree.root());
    ASSERT_TRUE(above.ok) << edclean_last_error();
    EXPECT_TRUE(above.empty_dirs.empty());
    EXPECT_TRUE(above.zero_files.empty());
}

TEST_F(Win32Backend, BareDriveIsTheDrivesCurrentDirectoryNotItsRoot) {
    edtest::temp_tree tree;
    wchar_t saved[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, saved), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(wide(tree.root()).c_str()));
    const std::string drive = tree.canonical().substr(0, 2); // "C:"
    char *canonical = nullptr;
    const ed_final_path_status status = ed_final_path(drive.c_str(), &canonical);
    ed_heap_text final_text(canonical);
    char *inspected = nullptr;
    ed_file_id id;
    const ed_root_kind kind = ed_inspect_root(drive.c_str(), &inspected, &id);
    ed_heap_text inspected_text(inspected);
    SetCurrentDirectoryW(saved);

    ASSERT_EQ(status, ED_FINAL_RESOLVED);
    EXPECT_STREQ(final_text.get(), tree.canonical().c_str());
    ASSERT_EQ(kind, ED_ROOT_DIRECTORY);
    EXPECT_STREQ(inspected_text.get(), tree.canonical().c_str());
}

// A pinned root and the identity of an object below it, as removal gets them.
struct pinned {
    ed_file_id root_id{};
    ed_root_pin root;

    explicit pinned(const std::string &root_path) {
        char *canonical = nullptr;
        EXPECT_EQ(ed_inspect_root(root_path.c_str(), &canonical, &root_id), ED_ROOT_DIRECTORY);
        ed_heap_text text(canonical);
        root.reset(ed_pin_root(text.get(), &root_id));
        EXPECT_TRUE(root) << root_path;
    }
};

ed_file_id id_of(const std::string &path) {
    ed_stat st;
    ed_file_id id{};
    EXPECT_EQ(ed_fill_stat_id(path.c_str(), &st, &id), 0) << path;
    return id;
}

TEST_F(Win32Backend, DirectoryRemovalHoldsItsChainAndDeletesThroughTheRecheckedHandle) {
    edtest::temp_tree tree;
    tree.mkdir("a/b/empty");
    tree.write("a/b/full/x", "x");
    pinned at(tree.root());
    ASSERT_TRUE(at.root);
    ed_target_status status;

    // Not empty: listed from the start on every re-check, refused by the platform.
    const ed_file_id full_id = id_of(tree.path("a/b/full"));
    ed_target_owner full(ed_target_open_dir(at.root.get(), "a/b/full", &full_id, &status));
    ASSERT_TRUE(full);
    for (int pass = 0; pass < 2; ++pass) {
        ed_dir_stream entries(ed_target_opendir(full.get()));
        ASSERT_TRUE(entries);
        EXPECT_STREQ(ed_readdir(entries.get()), "x") << "pass " << pass;
    }
    EXPECT_EQ(ed_target_remove_dir(full.get()), -1);
    full.reset();
    EXPECT_TRUE(tree.exists("a/b/full/x"));

    const ed_file_id examined = id_of(tree.path("a/b/empty"));
    ed_target_owner target(ed_target_open_dir(at.root.get(), "a/b/empty", &examined, &status));
    ASSERT_TRUE(target);
    EXPECT_EQ(status, ED_TARGET_OK);
    {
        ed_dir_stream entries(ed_target_opendir(target.get()));
        ASSERT_TRUE(entries);
        EXPECT_EQ(ed_readdir(entries.get()), nullptr);
        // Held: neither the target nor a directory on its way can be renamed.
        EXPECT_FALSE(
            MoveFileW(wide(tree.path("a/b/empty")).c_str(), wide(tree.path("moved")).c_str()));
        EXPECT_FALSE(MoveFileW(wide(tree.path("a")).c_str(), wide(tree.path("moved")).c_str()));
    }
    EXPECT_EQ(ed_target_remove_dir(target.get()), 0);
    EXPECT_FALSE(tree.exists("a/b/empty")) << "gone before the target is released";
    target.reset();
    EXPECT_TRUE(MoveFileW(wide(tree.path("a")).c_str(), wide(tree.path("moved")).c_str()))
        << "the chain is released";
}

TEST_F(Win32Backend, RootItselfIsRemovedThroughItsOwnReopenedHandle) {
    edtest::temp_tree tree;
    tree.mkdir("r");
    tree.file("zero");
    pinned at(tree.path("r"));
    ASSERT_TRUE(at.root);
    ed_target_status status;
    ed_target_owner target(ed_target_open_dir(at.root.get(), "", &at.root_id, &status));
    ASSERT_TRUE(target) << status;
    { ed_dir_stream entries(ed_target_opendir(target.get())); }
    EXPECT_EQ(ed_target_remove_dir(target.get()), 0);
    target.reset();
    EXPECT_FALSE(tree.exists("r"));
    // The pin cannot come back: its root is gone.
    const ed_file_id zero = id_of(tree.path("zero"));
    EXPECT_EQ(ed_remove_file_beneath(at.root.get(), "zero", &zero), ED_TARGET_FAILED);
    EXPECT_TRUE(tree.exists("zero"));
}

TEST_F(Win32Backend, FileRemovalGivesWayToOtherHolders) {
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    struct {
        const char *holder;
        DWORD access, share;
        int removed;
    } const cases[] = {
        {"reader without share-delete", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0},
        {"writer sharing everything", GENERIC_WRITE, kShareAll, 0},
        {"reader sharing everything", GENERIC_READ, kShareAll, 1},
        // Could rename the checked file out of the tree before it is deleted.
        {"holder of delete access", DELETE, kShareAll, 0},
    };
    for (const auto &c : cases) {
        edtest::temp_tree tree;
        const std::string zero = tree.file("r/zero");
        const scan_result found = scan(tree.path("r"));
        ASSERT_EQ(found.zero_files, std::vector<std::string>{tree.canonical_path("r/zero")});
        {
            handle_guard holder(CreateFileW(wide(zero).c_str(), c.access, c.share, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
            ASSERT_NE(holder.get(), INVALID_HANDLE_VALUE) << c.holder;
            EXPECT_EQ(edclean_delete_files(edtest::json_array(found.zero_files).c_str()), c.removed)
                << c.holder;
            EXPECT_STREQ(edclean_last_error(), c.removed ? "" : "unlink failed") << c.holder;
            // Deleted with POSIX semantics, the name goes at once; Wine
            // refuses them and keeps the name until the last handle closes.
            if (c.removed && !edtest::running_under_wine()) {
                EXPECT_FALSE(tree.exists("r/zero")) << "the name goes even while it is held";
            }
        }
        EXPECT_EQ(tree.exists("r/zero"), c.removed == 0) << c.holder;
    }
}

TEST_F(Win32Backend, ListingHintsAndIdentitiesAgree) {
    edtest::temp_tree tree;
    tree.mkdir("d/sub");
    tree.write("d/data", "x");
    tree.file("d/zero");
    ed_dir_stream dir(ed_opendir(tree.path("d").c_str()));
    ASSERT_TRUE(dir);
    std::set<std::pair<std::string, int>> seen;
    ed_entry_hint hint;
    while (const char *name = ed_readdir_hint(dir.get(), &hint))
        seen.emplace(name, hint);
    EXPECT_EQ(seen, (std::set<std::pair<std::string, int>>{
                        {"sub", ED_HINT_DIR}, {"data", ED_HINT_REG_DATA}, {"zero", ED_HINT_REG}}));
    ed_stat st;
    ASSERT_EQ(ed_fill_stat_at(dir.get(), "zero", &st), 0);
    EXPECT_EQ(st.st_mode, ED_S_IFREG);
    EXPECT_EQ(ed_fill_stat_at(dir.get(), "sub/..", &st), -1) << "one component only";

    ed_file_id by_status = id_of(tree.path("d")), by_identify{}, by_root{};
    ASSERT_EQ(ed_identify(tree.path("d").c_str(), &by_identify), 0);
    char *canonical = nullptr;
    ASSERT_EQ(ed_inspect_root(tree.path("d").c_str(), &canonical, &by_root), ED_ROOT_DIRECTORY);
    std::free(canonical);
    EXPECT_TRUE(ed_same_file(by_status, by_identify));
    EXPECT_TRUE(ed_same_file(by_status, by_root));
    EXPECT_FALSE(ed_same_file(by_status, id_of(tree.path("d/sub"))));
}

TEST_F(Win32Backend, NamesCompareByTheSystemsUpperCaseTable) {
    struct {
        const char *a, *b;
        int equal;
    } const cases[] = {
        {"Old", "old", 1},
        {"\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89", 1}, // "été" / "ÉTÉ"
        {"stra\xC3\x9F"
         "e",
         "STRASSE", 0}, // no linguistic folding
        {"a", "b", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ed_names_equal(c.a, std::strlen(c.a), c.b, std::strlen(c.b)), c.equal) << c.a;
}

// A test hook that acts at one moment only, `skip` times later than its
// first call there.
struct hook_plan {
    ed_test_moment moment;
    int skip = 0;
    unsigned long answer = 0;             // for ED_TEST_FIRST_LISTING_READ
    std::function<void()> action = [] {}; // run when it acts
    int acted = 0;
};

unsigned long run_hook(ed_test_moment moment, void *context) {
    auto *plan = static_cast<hook_plan *>(context);
    if (moment != plan->moment || plan->skip-- > 0)
        return 0;
    ++plan->acted;
    plan->action();
    return plan->answer;
}

class scoped_hook {
  public:
    explicit scoped_hook(hook_plan &plan) { ed_set_test_hook(run_hook, &plan); }
    ~scoped_hook() { ed_set_test_hook(nullptr, nullptr); }
    scoped_hook(const scoped_hook &) = delete;
    scoped_hook &operator=(const scoped_hook &) = delete;
};

TEST_F(Win32Backend, StreamThatCannotBeSetUpClosesItsHandleOnce) {
    edtest::temp_tree tree;
    tree.mkdir("d/sub");
    char *canonical = nullptr;
    ed_file_id id{};
    ASSERT_EQ(ed_inspect_root(tree.path("d").c_str(), &canonical, &id), ED_ROOT_DIRECTORY);
    const ed_heap_text root(canonical);
    ed_dir_stream parent(ed_opendir(tree.path("d").c_str()));
    ASSERT_TRUE(parent);
    ASSERT_STREQ(ed_readdir(parent.get()), "sub"); // entries are opened once listed
    const std::function<ed_dir *()> opens[] = {
        [&] { return ed_opendir(tree.path("d").c_str()); },
        [&] { return ed_opendir_root(root.get(), &id); },
        [&] { return ed_opendir_at(parent.get(), "sub"); },
    };
    for (size_t i = 0; i < std::size(opens); ++i) {
        hook_plan plan{ED_TEST_FIRST_LISTING_READ};
        plan.answer = ERROR_ACCESS_DENIED;
        scoped_hook hook(plan);
        SetLastError(ERROR_SUCCESS);
        ed_dir_stream dir(opens[i]());
        // A second CloseHandle of the value, the last call made, fails with
        // ERROR_INVALID_HANDLE; by then the value may name another handle.
        const DWORD error = GetLastError();
        EXPECT_EQ(plan.acted, 1) << "open " << i;
        EXPECT_FALSE(dir) << "open " << i;
        EXPECT_NE(error, static_cast<DWORD>(ERROR_INVALID_HANDLE)) << "open " << i;
    }
}

TEST_F(Win32Backend, DirectoryWhoseFirstListingFindsNothingIsNotTakenForEmpty) {
    // Only a volume root lists not even "." and ".."; anywhere else "no such
    // file" on the first read is a listing that failed.
    edtest::temp_tree tree;
    tree.mkdir("r/d");
    {
        hook_plan plan{ED_TEST_FIRST_LISTING_READ};
        plan.answer = ERROR_FILE_NOT_FOUND;
        scoped_hook hook(plan);
        EXPECT_FALSE(ed_dir_stream(ed_opendir(tree.path("r/d").c_str())));
    }
    hook_plan plan{ED_TEST_FIRST_LISTING_READ};
    plan.skip = 1; // the root lists; its subdirectory "finds nothing"
    plan.answer = ERROR_FILE_NOT_FOUND;
    scoped_hook hook(plan);
    const scan_result found = scan(tree.path("r"));
    ASSERT_TRUE(found.ok) << edclean_last_error();
    EXPECT_EQ(plan.acted, 1);
    EXPECT_TRUE(found.empty_dirs.empty());
}

TEST_F(Win32Backend, NamedStreamsAreNeverRemovedWithTheirObject) {
    if (edtest::running_under_wine())
        GTEST_SKIP() << "Wine keeps no named streams: \"f:s\" makes a file of that name";
    // A scan lists a file by the size Windows reports for it, its unnamed
    // stream's; removal opens it anyway and counts every named stream as
    // data, so a zone mark or any other named stream never goes with it.
    edtest::temp_tree tree;
    tree.mkdir("r");
    struct {
        const char *name;
        bool directory;
        const char *stream_bytes;
    } const cases[] = {
        {"zone", false, "[ZoneTransfer]\r\nZoneId=3\r\n"},
        {"empty_stream", false, ""},
        {"dir_with_stream", true, "x"},
    };
    for (const auto &c : cases) {
        const std::wstring object = extended(tree.path(std::string("r/") + c.name));
        ASSERT_TRUE(c.directory ? CreateDirectoryW(object.c_str(), nullptr) != 0
                                : make_file(object, ""))
            << c.name;
        ASSERT_TRUE(make_file(object + L":s", c.stream_bytes)) << c.name << " " << GetLastError();
    }
    scan_result found = scan(tree.path("r"));
    ASSERT_TRUE(found.ok) << edclean_last_error();
    EXPECT_TRUE(found.empty_dirs.empty());
    std::sort(found.zero_files.begin(), found.zero_files.end());
    EXPECT_EQ(found.zero_files, (std::vector<std::string>{tree.canonical_path("r/empty_stream"),
                                                          tree.canonical_path("r/zone")}));
    for (const auto &c : cases) {
        const std::string relative = std::string("r/") + c.name;
        const std::string json = edtest::json_array({tree.path(relative)});
        if (c.directory) {
            EXPECT_EQ(edclean_delete_dirs(json.c_str()), 0) << c.name;
            EXPECT_STREQ(edclean_last_error(), "refused: directory no longer empty (TOCTOU)");
        } else {
            EXPECT_EQ(edclean_delete_files(json.c_str()), 0) << c.name;
            EXPECT_STREQ(edclean_last_error(), "refused: file size != 0");
            // The handle removal deletes through judges the streams itself.
            pinned at(tree.path("r"));
            ASSERT_TRUE(at.root);
            const ed_file_id examined = id_of(tree.path(relative));
            EXPECT_EQ(ed_remove_file_beneath(at.root.get(), c.name, &examined), ED_TARGET_NOT_EMPTY)
                << c.name;
        }
        EXPECT_TRUE(tree.exists(relative)) << c.name;
    }
}

TEST_F(Win32Backend, FileChangedOnceMarkedForDeletionStays) {
    // Changes that reach a file past the share mode of the handle that
    // deletes it, through a handle opened before with no data access. Each
    // platform offers its own: Wine lets such a handle set the size (Windows
    // asks write access for that), Windows keeps the offline mark of a
    // placeholder (Wine keeps no such attribute).
    struct {
        const char *change;
        bool on_wine;
        FILE_INFO_BY_HANDLE_CLASS info_class;
        const char *message;
    } const cases[] = {
        {"size set", true, FileEndOfFileInfo, "refused: file size != 0"},
        {"offline mark set", false, FileBasicInfo, "refused: symlink"},
    };
    for (const auto &c : cases) {
        if (c.on_wine != edtest::running_under_wine()) {
            std::printf("not on this platform: %s through a handle without data access\n",
                        c.change);
            continue;
        }
        edtest::temp_tree tree;
        const std::string zero = tree.file("r/zero");
        const scan_result found = scan(tree.path("r"));
        ASSERT_EQ(found.zero_files, std::vector<std::string>{tree.canonical_path("r/zero")});
        handle_guard holder(CreateFileW(wide(zero).c_str(), FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_NE(holder.get(), INVALID_HANDLE_VALUE) << c.change;
        hook_plan plan{ED_TEST_DISPOSITION_SET};
        bool changed = false;
        plan.action = [&] {
            FILE_END_OF_FILE_INFO size{};
            size.EndOfFile.QuadPart = 4;
            FILE_BASIC_INFO basic{};
            basic.FileAttributes = FILE_ATTRIBUTE_OFFLINE;
            changed = c.info_class == FileEndOfFileInfo
                          ? SetFileInformationByHandle(holder.get(), c.info_class, &size,
                                                       sizeof size) != 0
                          : SetFileInformationByHandle(holder.get(), c.info_class, &basic,
                                                       sizeof basic) != 0;
        };
        {
            scoped_hook hook(plan);
            EXPECT_EQ(edclean_delete_files(edtest::json_array(found.zero_files).c_str()), 0)
                << c.change;
        }
        EXPECT_EQ(plan.acted, 1) << c.change;
        EXPECT_TRUE(changed) << c.change << ": error " << GetLastError();
        EXPECT_STREQ(edclean_last_error(), c.message) << c.change;
        holder.reset();
        EXPECT_TRUE(tree.exists("r/zero")) << c.change;
    }
}

TEST_F(Win32Backend, PlaceholderMarksMakeALink) {
    if (edtest::running_under_wine())
        GTEST_SKIP() << "Wine keeps no offline attribute";
    edtest::temp_tree tree;
    const std::string zero = tree.file("r/zero");
    tree.mkdir("r/d");
    for (const std::string &path : {zero, tree.path("r/d")})
        ASSERT_TRUE(SetFileAttributesW(wide(path).c_str(),
                                       FILE_ATTRIBUTE_OFFLINE |
                                           (path == zero ? 0 : FILE_ATTRIBUTE_DIRECTORY)));
    const scan_result found = scan(tree.path("r"));
    ASSERT_TRUE(found.ok) << edclean_last_error();
    EXPECT_TRUE(found.empty_dirs.empty());
    EXPECT_TRUE(found.zero_files.empty());
    EXPECT_EQ(edclean_delete_files(edtest::json_array({zero}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: symlink");
    EXPECT_EQ(edclean_delete_dirs(edtest::json_array({tree.path("r/d")}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: symlink");
    EXPECT_TRUE(tree.exists("r/zero"));
    EXPECT_TRUE(tree.exists("r/d"));
}

TEST_F(Win32Backend, CallsSeePlaceholdersAsTheyAre) {
    using mode_fn = CHAR(NTAPI *)(CHAR);
    using query_fn = CHAR(NTAPI *)();
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto set = reinterpret_cast<mode_fn>(reinterpret_cast<void (*)()>(
        GetProcAddress(ntdll, "RtlSetThreadPlaceholderCompatibilityMode")));
    const auto query = reinterpret_cast<query_fn>(reinterpret_cast<void (*)()>(
        GetProcAddress(ntdll, "RtlQueryThreadPlaceholderCompatibilityMode")));
    if (set == nullptr || query == nullptr)
        GTEST_SKIP() << "no placeholder modes here (Wine, or Windows before 10 1709)";
    edtest::temp_tree tree;
    tree.mkdir("r");
    const CHAR before = set(1); // PHCM_DISGUISE_PLACEHOLDER
    hook_plan plan{ED_TEST_FIRST_LISTING_READ};
    CHAR during = -1;
    plan.action = [&] { during = query(); };
    {
        scoped_hook hook(plan);
        EXPECT_TRUE(scan(tree.path("r")).ok) << edclean_last_error();
    }
    const CHAR after = query();
    set(before);
    EXPECT_EQ(plan.acted, 1);
    EXPECT_EQ(during, 2); // PHCM_EXPOSE_PLACEHOLDERS
    EXPECT_EQ(after, 1);
}

TEST_F(Win32Backend, DevicesAndPipesAreNeverOpened) {
    const std::wstring pipe_name =
        L"\\\\.\\pipe\\edclean-test-" + std::to_wstring(GetCurrentProcessId());
    handle_guard server(CreateNamedPipeW(pipe_name.c_str(),
                                         PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE,
                                         1, 0, 0, 0, nullptr));
    ASSERT_NE(server.get(), INVALID_HANDLE_VALUE) << GetLastError();
    handle_guard connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED waiting{};
    waiting.hEvent = connected.get();
    ASSERT_FALSE(ConnectNamedPipe(server.get(), &waiting));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    const std::string pipe = "edclean-test-" + std::to_string(GetCurrentProcessId());
    edtest::temp_tree tree;
    const std::string drive = tree.canonical().substr(0, 2);
    // Namespace forms are refused as such, whatever they name; the others
    // are some other kind than a directory.
    const struct {
        std::string path;
        bool device_namespace;
    } cases[] = {
        {"\\\\.\\pipe\\" + pipe, true},
        {"//./pipe/" + pipe, true},
        {"\\\\?\\pipe\\" + pipe, true},
        {"\\??\\pipe\\" + pipe, true},
        {"\\\\localhost\\pipe\\" + pipe, false},
        {"\\\\?\\UNC\\localhost\\PIPE\\" + pipe, false},
        {"NUL", false},
        {"con", false},
        {tree.path("COM1"), false},
        {tree.path("nul.txt"), false},
        {tree.path("lpt1 .log/x"), false},
        {"\\\\.\\PhysicalDrive0", true},
        {"\\\\.\\" + drive, true},
        {"\\\\?\\" + drive, true},
        {"\\\\?\\GLOBALROOT\\Device\\Null", true},
        {"\\\\.\\" + tree.canonical(), true}, // a directory, reached as a device's
    };
    for (const auto &c : cases) {
        const std::string &path = c.path;
        ed_stat st{0xFFFF, -1};
        EXPECT_EQ(ed_fill_stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode, 0) << "some other kind: " << path;
        char *canonical = nullptr;
        ed_file_id id{};
        EXPECT_EQ(ed_final_path(path.c_str(), &canonical), ED_FINAL_UNNAMEABLE) << path;
        EXPECT_EQ(ed_inspect_root(path.c_str(), &canonical, &id),
                  c.device_namespace ? ED_ROOT_DEVICE_NAMESPACE : ED_ROOT_OTHER)
            << path;
        EXPECT_EQ(ed_identify(path.c_str(), &id), -1) << path;
        EXPECT_FALSE(ed_dir_stream(ed_opendir(path.c_str()))) << path;
        EXPECT_EQ(edclean_scan(edtest::json_array({path}).c_str(), nullptr), nullptr) << path;
        EXPECT_EQ(std::string(edclean_last_error()),
                  (c.device_namespace ? "refused: device namespace path: " : "not a directory: ") +
                      path);
        EXPECT_EQ(edclean_delete_files(edtest::json_array({path}).c_str()), 0) << path;
    }
    EXPECT_EQ(WaitForSingleObject(connected.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the pipe's server saw a client";
    // The pipe's only instance is still free for the first client that
    // does come (one that came and went leaves it busy until the server
    // lets go), and the server sees that client.
    handle_guard client(
        CreateFileW(pipe_name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(client.get(), INVALID_HANDLE_VALUE)
        << "the instance was taken before: error " << GetLastError();
    EXPECT_EQ(WaitForSingleObject(connected.get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
}

} // namespace

namespace {

TEST_F(Win32Backend, EntryReplacedSinceItWasListedIsNotTakenForTheListedOne) {
    // Each entry is listed, then another object takes its name (as an
    // exchange with a link that opens as its target would): what the name
    // reaches now is not what the listing described.
    edtest::temp_tree tree;
    tree.mkdir("p/dir");
    tree.file("p/zero");
    tree.mkdir("p/kept");
    tree.write("elsewhere/dir/data", "data");
    tree.file("elsewhere/zero");
    ed_dir_stream dir(ed_opendir(tree.path("p").c_str()));
    ASSERT_TRUE(dir);
    while (ed_readdir(dir.get()) != nullptr) {
    }
    for (const char *name : {"dir", "zero"}) {
        const std::string listed = "p/" + std::string(name);
        ASSERT_TRUE(
            MoveFileW(wide(tree.path(listed)).c_str(), wide(tree.path(listed + ".gone")).c_str()));
        ASSERT_TRUE(MoveFileW(wide(tree.path("elsewhere/" + std::string(name))).c_str(),
                              wide(tree.path(listed)).c_str()));
    }
    ed_dir_stream swapped(ed_opendir_at(dir.get(), "dir"));
    EXPECT_FALSE(swapped) << "the listing of another directory would pass for this one's";
    ed_stat st{};
    EXPECT_EQ(ed_fill_stat_at(dir.get(), "dir", &st), -1);
    EXPECT_EQ(ed_fill_stat_at(dir.get(), "zero", &st), -1);
    ed_time modified = 0;
    EXPECT_EQ(ed_modified_at(dir.get(), "zero", &modified), -1);
    EXPECT_EQ(ed_fill_stat_at(dir.get(), "never-listed", &st), -1);

    ed_dir_stream kept(ed_opendir_at(dir.get(), "kept"));
    EXPECT_TRUE(kept) << "an entry still the listed object opens";
    EXPECT_EQ(ed_fill_stat_at(dir.get(), "kept", &st), 0);
    EXPECT_EQ(st.st_mode, ED_S_IFDIR);
}

TEST_F(Win32Backend, ListedZeroIsConfirmedByWhatItsPathHoldsWhenAsked) {
    // A stream from a root knows each entry's full path, and a listed zero
    // is confirmed there without opening the file: what counts is what the
    // path holds when the walk asks, not what the listing said.
    edtest::temp_tree tree;
    for (const char *name : {"kept", "grown", "now_dir", "gone"})
        tree.file(std::string("r/") + name);
    tree.mkdir("r/dir");
    char *canonical = nullptr;
    ed_file_id id{};
    ASSERT_EQ(ed_inspect_root(tree.path("r").c_str(), &canonical, &id), ED_ROOT_DIRECTORY);
    const ed_heap_text root(canonical);
    ed_dir_stream dir(ed_opendir_root(root.get(), &id));
    ASSERT_TRUE(dir);
    while (ed_readdir(dir.get()) != nullptr) {
    }
    tree.write("r/grown", "data");
    ASSERT_TRUE(DeleteFileW(wide(tree.path("r/now_dir")).c_str()));
    tree.mkdir("r/now_dir");
    ASSERT_TRUE(DeleteFileW(wide(tree.path("r/gone")).c_str()));
    const struct {
        const char *name;
        int result;
        uint16_t mode;
        int64_t size;
    } cases[] = {
        {"kept", 0, ED_S_IFREG, 0}, {"grown", 0, ED_S_IFREG, 4},
        {"dir", 0, ED_S_IFDIR, 0},  {"now_dir", -1, 0, 0}, // another kind than the listing showed
        {"gone", -1, 0, 0},
    };
    for (const auto &c : cases) {
        ed_stat st{0xFFFF, -1};
        EXPECT_EQ(ed_fill_stat_at(dir.get(), c.name, &st), c.result) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(st.st_mode, c.mode) << c.name;
            EXPECT_EQ(st.st_size, c.size) << c.name;
        }
    }
}

TEST_F(Win32Backend, RemovalRefusesAnObjectWhoseFinalPathIsNotWhereTheTreeSaysEvenIfTheIdMatches) {
    // Removal reaches a chain directory by name beneath the pinned root and
    // checks where it ended up. A rename moves the examined file below
    // another name: the identity still matches, the place does not.
    edtest::temp_tree tree;
    tree.file("r/a/zero");
    pinned at(tree.path("r"));
    ASSERT_TRUE(at.root);
    const ed_file_id examined = id_of(tree.path("r/a/zero"));
    EXPECT_EQ(ed_remove_file_beneath(at.root.get(), "a/zero", &examined), ED_TARGET_OK);
    tree.file("r/a/zero2");
    const ed_file_id second = id_of(tree.path("r/a/zero2"));
    // Same object, reached by a name the canonical path does not have.
    EXPECT_EQ(ed_remove_file_beneath(at.root.get(), "a/ZERO2", &second), ED_TARGET_FAILED);
    EXPECT_TRUE(tree.exists("r/a/zero2"));
    tree.mkdir("r/b/empty");
    const ed_file_id empty = id_of(tree.path("r/b/empty"));
    ed_target_status status;
    ed_target_owner wrong(ed_target_open_dir(at.root.get(), "B/empty", &empty, &status));
    EXPECT_FALSE(wrong);
    EXPECT_EQ(status, ED_TARGET_FAILED);
}

// The tree CTest makes on the build machine's side (tests/make_link_fixture.cmake).
std::string host_fixture(const char *relative) {
    const char *fixture = std::getenv("EDCLEAN_LINK_FIXTURE");
    if (fixture == nullptr)
        return {};
    return *relative != '\0' ? std::string(fixture) + "/" + relative : std::string(fixture);
}

TEST_F(Win32Backend, TwoEntriesWin32NamesAlikeNeverMakeTheirDirectoryEmpty) {
    const std::string root = host_fixture("alike_names");
    if (root.empty())
        GTEST_SKIP() << "needs the host-made fixture (run through CTest under Wine)";
    // "d\xff" (empty) and "d\x80" (holds a file) both list as "d\uFFFD"; the
    // name opens the empty one for either entry.
    ASSERT_EQ(names_in(root).size(), 2u);
    const scan_result found = scan(root);
    ASSERT_TRUE(found.ok);
    const std::string leaf = "/alike_names";
    for (const std::string &listed : found.empty_dirs)
        EXPECT_FALSE(listed.size() >= leaf.size() &&
                     listed.compare(listed.size() - leaf.size(), leaf.size(), leaf) == 0)
            << listed << ": a directory holding a file was listed as empty";
}

TEST_F(Win32Backend, LinkThatOpensAsItsTargetIsNeverRemovedInItsPlace) {
    const std::string root = host_fixture("");
    if (root.empty())
        GTEST_SKIP() << "needs the host-made fixture (run through CTest under Wine)";
    // Wine opens a host link beneath a directory as its target, and shows a
    // link to a file as a plain file: an identity taken through the link
    // (as a path judged by its text gets it) matches what the removal opens.
    // Only the final path tells that the object lies elsewhere.
    pinned at(root);
    ASSERT_TRUE(at.root);
    const ed_file_id file_behind = id_of(host_fixture("outside/zero"));
    EXPECT_EQ(ed_remove_file_beneath(at.root.get(), "files/zero_link", &file_behind),
              ED_TARGET_FAILED);
    const ed_file_id directory_behind = id_of(host_fixture("target"));
    ed_target_status status;
    ed_target_owner directory(
        ed_target_open_dir(at.root.get(), "dir_link", &directory_behind, &status));
    EXPECT_FALSE(directory);
    EXPECT_NE(status, ED_TARGET_OK);
    ed_stat st{};
    EXPECT_EQ(ed_fill_stat(host_fixture("outside/zero").c_str(), &st), 0)
        << "the file behind the link was removed";
    EXPECT_EQ(ed_fill_stat(host_fixture("target").c_str(), &st), 0)
        << "the directory behind the link was removed";
}

} // namespace

namespace {

// Sets the process's current directory for the length of a test.
class current_directory {
  public:
    explicit current_directory(const std::string &path) {
        wchar_t saved[MAX_PATH + 1];
        const DWORD units = GetCurrentDirectoryW(MAX_PATH + 1, saved);
        if (units > 0 && units <= MAX_PATH)
            saved_.assign(saved, units);
        set_ = SetCurrentDirectoryW(wide(path).c_str()) != 0;
    }
    ~current_directory() {
        if (!saved_.empty())
            SetCurrentDirectoryW(saved_.c_str());
    }
    current_directory(const current_directory &) = delete;
    current_directory &operator=(const current_directory &) = delete;
    bool set() const { return set_; }

  private:
    std::wstring saved_;
    bool set_ = false;
};

TEST_F(Win32Backend, DriveRelativePathsAreJudgedByTheirNamesNotTheDriveDesignator) {
    edtest::temp_tree tree;
    tree.mkdir("rel2/d2/e");
    tree.mkdir("rel2/d2/e2");
    tree.mkdir("rel2/d2/e3");
    tree.mkdir("rel2/link_like/e");
    ASSERT_TRUE(scan(tree.path("rel2")).ok) << edclean_last_error();
    const std::string drive = tree.canonical().substr(0, 2); // "X:"
    struct {
        const char *current; // below the tree
        std::string path;
        int removed;
        const char *message;
    } const cases[] = {
        {"rel2", drive + "d2/e", 1, ""},
        {"rel2/d2", drive + "e2", 1, ""},
        {"rel2/d2", drive + "./e3", 1, ""},
        // Not there below that drive's current directory: with no '/', no
        // ancestor stands in for it.
        {"rel2/link_like", drive + "e2", 0, "refused: outside scanned roots"},
    };
    for (const auto &c : cases) {
        current_directory at(tree.path(c.current));
        ASSERT_TRUE(at.set()) << c.current;
        EXPECT_EQ(edclean_delete_dirs(edtest::json_array({c.path}).c_str()), c.removed) << c.path;
        if (c.removed == 0) {
            EXPECT_STREQ(edclean_last_error(), c.message) << c.path;
        }
    }
    EXPECT_FALSE(tree.exists("rel2/d2/e"));
    EXPECT_FALSE(tree.exists("rel2/d2/e2"));
    EXPECT_TRUE(tree.exists("rel2/link_like/e"));
}

// A non-blocking pipe takes what fits of a line: "written" must mean the
// whole line, and a line cut short ends the lines, so that the next is never
// glued to the cut one.
TEST(Win32Progress, ALineThePipeTakesOnlyPartOfEndsTheLines) {
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 4096));
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    if (!SetNamedPipeHandleState(write_end, &mode, nullptr, nullptr)) {
        CloseHandle(read_end);
        CloseHandle(write_end);
        GTEST_SKIP() << "this system does not set a pipe's mode";
    }
    // Full to the brim, then room for a few bytes only.
    const char byte = 'x';
    DWORD written = 1;
    size_t held = 0;
    while (held < (1u << 24) && WriteFile(write_end, &byte, 1, &written, nullptr) && written == 1)
        ++held;
    char room[8];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(read_end, room, sizeof room, &got, nullptr));
    held -= got;
    const std::string line = "{\"seen\":4,\"listed\":4}\n";
    const int answer =
        ed_progress_write(reinterpret_cast<intptr_t>(write_end), line.data(), line.size());
    DWORD available = 0;
    ASSERT_TRUE(PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr));
    CloseHandle(read_end);
    CloseHandle(write_end);
    const size_t taken = available - held;
    if (answer == 0 && taken == 0 && edtest::running_under_wine())
        GTEST_SKIP() << "Wine's non-blocking pipe takes a line whole or not at all";
    EXPECT_GT(taken, 0u);
    EXPECT_LT(taken, line.size());
    EXPECT_EQ(answer, -1) << "a cut line was reported as written";
}

} // namespace
