// The scan call as a host sees it.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "edclean.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace {

struct result_deleter {
    void operator()(char *text) const noexcept { edclean_free_string(text); }
};
using result_text = std::unique_ptr<char, result_deleter>;

struct parsed_result {
    std::vector<std::string> empty_dirs;
    std::vector<std::string> zero_files;
    int64_t scanned_dirs = -1;
};

parsed_result parse(const char *text) {
    rapidjson::Document doc;
    doc.Parse(text);
    EXPECT_FALSE(doc.HasParseError()) << text;
    parsed_result r;
    for (const auto &v : doc["empty_dirs"].GetArray())
        r.empty_dirs.emplace_back(v.GetString());
    for (const auto &v : doc["zero_files"].GetArray())
        r.zero_files.emplace_back(v.GetString());
    r.scanned_dirs = doc["scanned_dirs"].GetInt64();
    return r;
}

parsed_result scan_ok(const std::string &dirs, const char *options = nullptr) {
    result_text text(edclean_scan(dirs.c_str(), options));
    EXPECT_TRUE(text) << edclean_last_error();
    if (!text)
        return {};
    EXPECT_STREQ(edclean_last_error(), "");
    return parse(text.get());
}

TEST(Scan, ResultTextIsExactlyTheDocumentedForm) {
    edtest::temp_tree tree;
    tree.file("archive/notes.txt");
    tree.mkdir("archive/old/tmp");
    result_text text(edclean_scan(edtest::json_array({tree.path("archive")}).c_str(), nullptr));
    ASSERT_TRUE(text) << edclean_last_error();
    const std::string c = tree.canonical_path("archive");
    EXPECT_EQ(std::string(text.get()), "{\"empty_dirs\":[\"" + c + "/old/tmp\",\"" + c +
                                           "/old\"],\"zero_files\":[\"" + c +
                                           "/notes.txt\"],\"scanned_dirs\":3}");
}

TEST(Scan, EmptyRootListsItsCanonicalPathAndCountsOne) {
    edtest::temp_tree tree;
    tree.mkdir("e");
    const parsed_result r = scan_ok(edtest::json_array({tree.path("e") + "/"}));
    EXPECT_EQ(r.empty_dirs, std::vector<std::string>{tree.canonical_path("e")});
    EXPECT_TRUE(r.zero_files.empty());
    EXPECT_EQ(r.scanned_dirs, 1);
}

TEST(Scan, KeysKeepTheirOrderWhenBothListsAreEmpty) {
    edtest::temp_tree tree;
    tree.write("data", "x");
    result_text text(edclean_scan(edtest::json_array({tree.root()}).c_str(), "{}"));
    ASSERT_TRUE(text);
    EXPECT_STREQ(text.get(), R"({"empty_dirs":[],"zero_files":[],"scanned_dirs":1})");
}

TEST(Scan, OptionsChangeWhatIsListed) {
    edtest::temp_tree tree;
    tree.file("z");
    tree.mkdir("d/.cache");
    const std::string dirs = edtest::json_array({tree.root()});
    for (const char *defaults :
         {static_cast<const char *>(nullptr), "", "{}", "{ }", "{\"other\":5}"}) {
        const parsed_result r = scan_ok(dirs, defaults);
        EXPECT_EQ(r.zero_files, std::vector<std::string>{tree.canonical_path("z")});
        EXPECT_TRUE(r.empty_dirs.empty());
    }
    EXPECT_TRUE(scan_ok(dirs, R"({"include_zero_byte":false})").zero_files.empty());
    const parsed_result hidden = scan_ok(dirs, R"({"include_hidden":true})");
    EXPECT_EQ(hidden.empty_dirs, (std::vector<std::string>{tree.canonical_path("d/.cache"),
                                                           tree.canonical_path("d")}));
}

TEST(Scan, OptionErrorsComeBeforeArrayErrors) {
    struct {
        const char *options, *message;
    } const cases[] = {
        {"[]", "options_json must be object"},
        {"null", "options_json must be object"},
        {"1", "options_json must be object"},
        {"{", "invalid options_json"},
        {R"({"include_hidden":})", "invalid options_json"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(edclean_scan("not json", c.options), nullptr);
        EXPECT_STREQ(edclean_last_error(), c.message) << c.options;
    }
}

TEST(Scan, RootRefusalsInOrderWithTheHostText) {
    edtest::temp_tree tree;
    tree.mkdir("a");
    tree.file("file");
    tree.mkdir("home");
    edtest::scoped_env home("HOME", tree.path("home"));
    struct {
        std::string dirs, message;
    } const cases[] = {
        {edtest::json_array({tree.path("a"), ""}), "empty path in dirs"},
        {edtest::json_array({tree.path("a/../a")}), "refused: path contains .."},
        {edtest::json_array({"/"}), "refused: system root (/)"},
        {edtest::json_array({tree.path("home")}),
         "refused: system root (" + tree.path("home") + ")"},
        {edtest::json_array({tree.path("a"), tree.path("missing")}),
         "root not found: " + tree.path("missing")},
        {edtest::json_array({tree.path("file")}), "not a directory: " + tree.path("file")},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(edclean_scan(c.dirs.c_str(), nullptr), nullptr) << c.dirs;
        EXPECT_EQ(std::string(edclean_last_error()), c.message) << c.dirs;
    }
}

TEST(Scan, RefusedRootsRegisterNothing) {
    edtest::temp_tree tree;
    tree.mkdir("a/e");
    EXPECT_EQ(
        edclean_scan(edtest::json_array({tree.path("a"), tree.path("missing")}).c_str(), nullptr),
        nullptr);
    EXPECT_EQ(edclean_delete_dirs(edtest::json_array({tree.path("a/e")}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: outside scanned roots");
    EXPECT_TRUE(tree.exists("a/e"));
}

TEST(Scan, OverlappingAndRepeatedRootsListEachPathOnce) {
    edtest::temp_tree tree;
    tree.mkdir("inner/e");
    tree.file("inner/z");
    tree.write("keep", "x");
    const parsed_result r = scan_ok(edtest::json_array(
        {tree.root(), tree.path("inner"), tree.root() + "/", tree.path("inner")}));
    EXPECT_EQ(r.empty_dirs, std::vector<std::string>{tree.canonical_path("inner/e")});
    EXPECT_EQ(r.zero_files, std::vector<std::string>{tree.canonical_path("inner/z")});
    EXPECT_EQ(r.scanned_dirs, 3 + 2 + 3 + 2);
}

TEST(Scan, NamesAreEscapedOnlyWhereJsonRequires) {
    edtest::temp_tree tree;
    std::vector<std::string> names = {"caf\xc3\xa9", "a/b"};
#if !defined(_WIN32)
    names.push_back("q\"uote");
    names.push_back("back\\slash");
    names.push_back("new\nline");
#endif
    for (const std::string &n : names)
        tree.file("d/" + n);
    result_text text(edclean_scan(edtest::json_array({tree.path("d")}).c_str(), nullptr));
    ASSERT_TRUE(text) << edclean_last_error();
    const std::string body(text.get());
    for (const std::string &n : names)
        EXPECT_NE(body.find(edtest::json_quote(tree.canonical_path("d/" + n))), std::string::npos)
            << n << " in " << body;
    EXPECT_EQ(body.find("\\/"), std::string::npos) << "the solidus is never escaped";
}

#if !defined(_WIN32)
TEST(Scan, SpecialFilesAsRootsAreNotDirectories) {
    edtest::temp_tree tree;
    const std::string fifo = tree.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(edclean_scan(edtest::json_array({fifo}).c_str(), nullptr), nullptr);
    EXPECT_EQ(std::string(edclean_last_error()), "not a directory: " + fifo);
    EXPECT_EQ(edclean_scan(R"(["/dev/null"])", nullptr), nullptr);
    EXPECT_STREQ(edclean_last_error(), "not a directory: /dev/null");
}
#endif

TEST(Scan, SymlinkRootIsRefused) {
    if (edtest::running_under_wine())
        GTEST_SKIP() << "Wine reports symbolic-link creation as done but creates nothing";
    edtest::temp_tree tree;
    tree.mkdir("target");
    if (!tree.symlink(tree.path("target"), "link", true))
        GTEST_SKIP() << "this account may not create symbolic links";
    for (const std::string &root : {tree.path("link"), tree.path("link") + "/"}) {
        EXPECT_EQ(edclean_scan(edtest::json_array({root}).c_str(), nullptr), nullptr);
        EXPECT_STREQ(edclean_last_error(), "refused: symlink root");
    }
}

} // namespace
