// Hostile and unusual input through the exports: each gets its message or
// the documented result, and nothing outside what was asked is touched.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "edclean.h"
#include "edclean_json_io.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

std::string message() { return edclean_last_error(); }

TEST(BadInput, MalformedTextsGetTheParserMessageFromEveryExport) {
    struct {
        const char *name;
        std::string text;
        const char *message;
    } const cases[] = {
        {"invalid UTF-8", "[\"\xc3\x28\"]", "invalid json array"},
        {"truncated UTF-8", "[\"\xe2\x82\"]", "invalid json array"},
        {"lone high surrogate", R"(["\ud83d"])", "invalid json array"},
        {"lone low surrogate", R"(["\ude00x"])", "invalid json array"},
        {"reversed surrogates", R"(["\ude00\ud83d"])", "invalid json array"},
        {"nested arrays", "[[[[\"a\"]]]]", "array elements must be strings"},
        {"object", R"({"a":["b"]})", "expected JSON array"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(edclean_scan(c.text.c_str(), nullptr), nullptr) << c.name;
        EXPECT_EQ(message(), c.message) << c.name;
        EXPECT_EQ(edclean_delete_dirs(c.text.c_str()), -1) << c.name;
        EXPECT_EQ(message(), c.message) << c.name;
        EXPECT_EQ(edclean_delete_files(c.text.c_str()), -1) << c.name;
        EXPECT_EQ(message(), c.message) << c.name;
    }
}

TEST(BadInput, EscapedNulInAPathRefusesTheWholeCall) {
    // Read as a C text, "e\u0000/../../etc" would be "e": a wider tree, or
    // another object, than the host named.
    edtest::temp_tree tree;
    tree.mkdir("e");
    tree.mkdir("e/inner");
    const std::string dirs = edtest::json_array({tree.path("e")});
    std::string with_nul = dirs;
    with_nul.insert(with_nul.size() - 2, "\\u0000/inner");
    EXPECT_EQ(edclean_scan(with_nul.c_str(), nullptr), nullptr);
    EXPECT_EQ(message(), "array elements must not contain NUL");
    char *listed = edclean_scan(edtest::json_array({tree.path("e/inner")}).c_str(), nullptr);
    ASSERT_NE(listed, nullptr) << message();
    edclean_free_string(listed);
    std::string inner_nul = edtest::json_array({tree.path("e/inner")});
    inner_nul.insert(inner_nul.size() - 2, "\\u0000x");
    for (const auto call : {edclean_delete_dirs, edclean_delete_files}) {
        EXPECT_EQ(call(inner_nul.c_str()), -1);
        EXPECT_EQ(message(), "array elements must not contain NUL");
    }
    EXPECT_TRUE(tree.exists("e/inner"));
}

TEST(BadInput, FiftyMegabyteArrayIsJudgedPathByPath) {
    const std::string entry = "\"" + std::string(1000, 'n') + "\"";
    std::string huge = "[";
    while (huge.size() < 50u * 1024 * 1024)
        huge += (huge.size() > 1 ? "," : "") + entry;
    huge += "]";
    EXPECT_EQ(edclean_delete_files(huge.c_str()), 0);
    EXPECT_EQ(message(), "refused: outside scanned roots");
    EXPECT_EQ(edclean_scan(huge.c_str(), nullptr), nullptr);
    EXPECT_EQ(message(), "root not found: " + std::string(1000, 'n').substr(0, 511 - 16));
}

TEST(BadInput, TenThousandBytePaths) {
    edtest::temp_tree tree;
    const std::string long_path = tree.root() + "/" + std::string(10000, 'p');
    EXPECT_EQ(edclean_scan(edtest::json_array({long_path}).c_str(), nullptr), nullptr);
    EXPECT_EQ(message(), ("root not found: " + long_path).substr(0, 511));
    char *text = edclean_scan(edtest::json_array({tree.root()}).c_str(), nullptr);
    ASSERT_NE(text, nullptr);
    edclean_free_string(text);
    EXPECT_EQ(edclean_delete_dirs(edtest::json_array({long_path}).c_str()), 0);
    EXPECT_EQ(message(), "path not found");
    EXPECT_EQ(edclean_delete_files(edtest::json_array({long_path}).c_str()), 0);
    EXPECT_EQ(message(), "path not found");
}

#if !defined(_WIN32)
TEST(BadInput, NamesWithNewlinesRoundTrip) {
    edtest::temp_tree tree;
    tree.mkdir("line\nbreak");
    tree.file("new\nline");
    char *text = edclean_scan(edtest::json_array({tree.root()}).c_str(), nullptr);
    ASSERT_NE(text, nullptr) << message();
    const auto lists = edclean_json_io::read_scan_result(text);
    edclean_free_string(text);
    ASSERT_TRUE(lists);
    ASSERT_EQ(lists->empty_dirs.size(), 1u);
    EXPECT_EQ(lists->empty_dirs[0], tree.canonical_path("line\nbreak"));
    EXPECT_EQ(edclean_delete_dirs(edtest::json_array({tree.canonical_path("line\nbreak")}).c_str()),
              1);
    EXPECT_EQ(edclean_delete_files(edtest::json_array({tree.canonical_path("new\nline")}).c_str()),
              1);
    EXPECT_FALSE(tree.exists("line\nbreak"));
    EXPECT_FALSE(tree.exists("new\nline"));
}

TEST(BadInput, SpecialFilesAreNeverOpenedNorRemoved) {
    edtest::temp_tree tree;
    const std::string fifo = tree.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string socket_path = tree.path("sock");
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socket_path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);

    for (const std::string &special : {fifo, socket_path, std::string("/dev/null")}) {
        EXPECT_EQ(edclean_scan(edtest::json_array({special}).c_str(), nullptr), nullptr);
        EXPECT_EQ(message(), "not a directory: " + special);
    }
    char *text = edclean_scan(edtest::json_array({tree.root()}).c_str(), nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text).find("fifo"), std::string::npos);
    edclean_free_string(text);
    for (const std::string &special : {fifo, socket_path}) {
        EXPECT_EQ(edclean_delete_files(edtest::json_array({special}).c_str()), 0);
        EXPECT_EQ(message(), "refused: not a regular file");
        EXPECT_EQ(edclean_delete_dirs(edtest::json_array({special}).c_str()), 0);
        EXPECT_EQ(message(), "refused: not a directory");
    }
    EXPECT_EQ(edclean_delete_files(R"(["/dev/null"])"), 0);
    EXPECT_EQ(message(), "refused: outside scanned roots");
    close(fd);
    EXPECT_TRUE(tree.exists("fifo"));
    EXPECT_TRUE(tree.exists("sock"));
}
#endif

TEST(BadInput, RootRemovedWhileItIsScanned) {
    edtest::temp_tree tree;
    for (int i = 0; i < 200; ++i)
        tree.mkdir(edtest::numbered("r/a", i) + "/b/c");
    const std::string dirs = edtest::json_array({tree.path("r")});
    std::thread remover([&] {
        std::error_code ignored;
        std::filesystem::remove_all(tree.path("r"), ignored);
    });
    for (int i = 0; i < 20; ++i) {
        char *text = edclean_scan(dirs.c_str(), nullptr);
        if (text == nullptr) {
            EXPECT_EQ(message(), "root not found: " + tree.path("r"));
            continue;
        }
        EXPECT_TRUE(edclean_json_io::read_scan_result(text)) << text;
        edclean_free_string(text);
    }
    remover.join();
}

} // namespace
