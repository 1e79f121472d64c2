// The Windows walk benchmark: edclean_scan against a walk that reads nothing
// but directory listings (FindFirstFileExW with FindExInfoBasic and
// FIND_FIRST_EX_LARGE_FETCH), on a generated tree of about 60,000 entries:
// directories holding files with data, zero-byte files and empty
// directories. The scan should cost at most 1.5 times the listing walk.
//
// Usage: edclean_win32_walk_bench [RUNS]   (default 5; the median is shown)
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "edclean.h"
#include "edclean_json_io.h"

namespace {

namespace fs = std::filesystem;

constexpr int kTopDirs = 30;
constexpr int kLeafDirsEach = 50;
constexpr int kDataFiles = 25;
constexpr int kZeroFiles = 8;
constexpr int kEmptyDirs = 6;

bool make_file(const std::wstring &path, bool with_data) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = !with_data || WriteFile(file, "data", 4, &written, nullptr);
    CloseHandle(file);
    return ok;
}

// The tree; returns the number of entries made below the root.
long generate(const std::wstring &root) {
    long entries = 0;
    for (int t = 0; t < kTopDirs; ++t) {
        const std::wstring top = root + L"\\t" + std::to_wstring(t);
        CreateDirectoryW(top.c_str(), nullptr);
        ++entries;
        for (int l = 0; l < kLeafDirsEach; ++l) {
            const std::wstring leaf = top + L"\\l" + std::to_wstring(l);
            CreateDirectoryW(leaf.c_str(), nullptr);
            ++entries;
            for (int f = 0; f < kDataFiles; ++f)
                entries += make_file(leaf + L"\\data" + std::to_wstring(f) + L".bin", true);
            for (int z = 0; z < kZeroFiles; ++z)
                entries += make_file(leaf + L"\\zero" + std::to_wstring(z), false);
            for (int e = 0; e < kEmptyDirs; ++e)
                entries +=
                    CreateDirectoryW((leaf + L"\\empty" + std::to_wstring(e)).c_str(), nullptr) ? 1
                                                                                                : 0;
        }
    }
    return entries;
}

// Reads every listing below `dir` and nothing else; returns the entries seen.
long find_data_walk(const std::wstring &dir) {
    WIN32_FIND_DATAW data;
    const std::wstring pattern = dir + L"\\*";
    HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    long entries = 0;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        ++entries;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            entries += find_data_walk(dir + L"\\" + name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return entries;
}

double elapsed_ms(const std::chrono::steady_clock::time_point &start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

double median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

std::string utf8_of(const fs::path &path) {
    const std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

} // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const fs::path root =
        fs::temp_directory_path() / ("edclean-walk-bench-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(root);
    const long made = generate(root.wstring());
    const std::string root_json = edclean_json_io::path_array({utf8_of(root)});

    long listed = 0;
    bool scan_ok = true;
    find_data_walk(root.wstring()); // warm both up once
    if (char *warm = edclean_scan(root_json.c_str(), nullptr))
        edclean_free_string(warm);
    // The two alternate round by round, so that a load that comes and goes
    // falls on both alike.
    std::vector<double> walk_times;
    std::vector<double> scan_times;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        listed = find_data_walk(root.wstring());
        walk_times.push_back(elapsed_ms(start));
        start = std::chrono::steady_clock::now();
        char *result = edclean_scan(root_json.c_str(), nullptr);
        scan_times.push_back(elapsed_ms(start));
        scan_ok = scan_ok && result != nullptr;
        edclean_free_string(result);
    }
    const double walk_ms = median(walk_times);
    const double scan_ms = median(scan_times);

    std::printf("tree: %ld entries made, %ld listed by the find-data walk\n", made, listed);
    std::printf("find-data walk (FindFirstFileExW, basic, large fetch): %9.1f ms\n", walk_ms);
    std::printf("edclean_scan:                                          %9.1f ms%s\n", scan_ms,
                scan_ok ? "" : "  (FAILED)");
    std::printf("ratio scan / walk: %.2f (median of %d runs)\n", scan_ms / walk_ms, runs);

    std::error_code ignored;
    fs::remove_all(root, ignored);
    return scan_ok ? 0 : 1;
}
