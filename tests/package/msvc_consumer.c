/* A program built the way Microsoft's toolchain builds one, linked against
 * the import library made for it (.lib): no C runtime, only the library and
 * kernel32. Each of the five imports is called and its refusal checked. */
#include <edclean.h>

typedef void *handle;
__declspec(dllimport) handle __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(handle file, const void *data, unsigned long size,
                                              unsigned long *written, void *overlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);

static int same(const char *a, const char *b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

static void say(const char *text) {
    unsigned long size = 0, written = 0;
    while (text[size] != '\0')
        ++size;
    WriteFile(GetStdHandle((unsigned long)-11), text, size, &written, 0);
}

void __stdcall mainCRTStartup(void) {
    char *result = edclean_scan(0, 0);
    int ok = result == 0 && same(edclean_last_error(), "NULL dirs_json");
    edclean_free_string(result);
    ok = ok && edclean_delete_dirs("[]") == -1 && same(edclean_last_error(), "invalid dirs list");
    ok = ok && edclean_delete_files("[]") == -1 && same(edclean_last_error(), "invalid files list");
    say(ok ? "msvc consumer ok\n" : "msvc consumer: unexpected result\n");
    ExitProcess(ok ? 0 : 1);
}
