// Win32 backend: the user's home, the system directory and the per-call scope
// that shows placeholders as they are.
#include "platform/win32/internal.h"

using namespace ed_win32;

namespace {

// An environment variable as the process block holds it (the CRT's narrow
// copy would be in the ANSI code page); empty when unset or empty.
std::wstring environment_value(const wchar_t *name) {
    const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed <= 1)
        return {};
    std::wstring value(needed, L'\0');
    const DWORD units = GetEnvironmentVariableW(name, value.data(), needed);
    if (units == 0 || units >= needed)
        return {};
    value.resize(units);
    return value;
}

} // namespace

char *ed_user_home_text() {
    std::wstring home = environment_value(L"HOME");
    if (home.empty())
        home = environment_value(L"USERPROFILE");
    return home.empty() ? nullptr : utf8_of(home, SIZE_MAX);
}

char *ed_system_directory_canonical() {
    // The Windows directory where this system has it (on D:, or in a folder
    // of another name), shared by every user: GetWindowsDirectoryW may give
    // a user's private copy under Remote Desktop Services. "C:/Windows" only
    // when the system cannot say; its literal spellings are protected
    // anyway.
    std::wstring directory(MAX_PATH + 1, L'\0');
    const UINT units =
        GetSystemWindowsDirectoryW(directory.data(), static_cast<UINT>(directory.size()));
    std::string text = "C:/Windows";
    if (units > 0 && units < directory.size()) {
        directory.resize(units);
        ed_heap_text utf8(utf8_of(directory, ED_MAX_CANONICAL_BYTES));
        if (utf8)
            text = utf8.get();
    }
    char *canonical = nullptr;
    // Only the directory itself: an ancestor would protect a wider tree
    // under the wrong name.
    return ed_final_path(text.c_str(), &canonical) == ED_FINAL_RESOLVED ? canonical : nullptr;
}

namespace {

// RtlSetThreadPlaceholderCompatibilityMode, where ntdll has it (Windows 10
// 1709 and later); null elsewhere, where no placeholder is ever disguised.
using set_placeholder_mode_fn = CHAR(NTAPI *)(CHAR mode);
constexpr CHAR kExposePlaceholders = 2; // PHCM_EXPOSE_PLACEHOLDERS

set_placeholder_mode_fn set_placeholder_mode() {
    static const set_placeholder_mode_fn set = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        FARPROC found = ntdll != nullptr
                            ? GetProcAddress(ntdll, "RtlSetThreadPlaceholderCompatibilityMode")
                            : nullptr;
        return reinterpret_cast<set_placeholder_mode_fn>(reinterpret_cast<void (*)()>(found));
    }();
    return set;
}

} // namespace

// A process may be set to see placeholders disguised as plain files and
// directories; for the length of a call this thread sees them as they are,
// so that the attributes above tell them apart.
ed_platform_call_scope::ed_platform_call_scope() noexcept {
    if (const set_placeholder_mode_fn set = set_placeholder_mode())
        previous_ = set(kExposePlaceholders); // negative: an error, nothing changed
}

ed_platform_call_scope::~ed_platform_call_scope() {
    if (previous_ >= 0)
        if (const set_placeholder_mode_fn set = set_placeholder_mode())
            set(static_cast<CHAR>(previous_));
}
