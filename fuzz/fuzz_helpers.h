// Shared by the fuzz targets: turning the fuzzer's bytes into the
// NUL-terminated texts the library takes.
#ifndef EDCLEAN_FUZZ_HELPERS_H
#define EDCLEAN_FUZZ_HELPERS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace edfuzz {

// The bytes up to the first NUL, and the rest after it.
inline std::pair<std::string, std::string> split_at_nul(const uint8_t *data, size_t size) {
    const std::string all(reinterpret_cast<const char *>(data), size);
    const size_t nul = all.find('\0');
    if (nul == std::string::npos)
        return {all, std::string()};
    return {all.substr(0, nul), all.substr(nul + 1)};
}

} // namespace edfuzz

#endif
