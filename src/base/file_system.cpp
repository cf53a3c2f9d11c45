#include "base/file_system.h"

#include <sys/stat.h>
#include <array>

#ifdef _WIN32
// The one call the core needs beyond the C library: a rename that replaces.
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#ifdef _WIN32

namespace {

bool to_wide(const char* path, std::array<wchar_t, kFileSuffixedPathSize>& wide) {
    return MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), static_cast<int>(wide.size())) > 0;
}

}  // namespace

bool file_rename_replacing(const char* from, const char* to) {
    std::array<wchar_t, kFileSuffixedPathSize> wide_from;
    std::array<wchar_t, kFileSuffixedPathSize> wide_to;
    if (!to_wide(from, wide_from) || !to_wide(to, wide_to))
        return false;
    // Write-through: the rename is on the disk when the call returns.
    return MoveFileExW(wide_from.data(), wide_to.data(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool file_sync(std::FILE* file) {
    return _commit(_fileno(file)) == 0;
}

int64_t file_size(const char* path) {
    struct _stat64 info;
    return _stat64(path, &info) == 0 ? info.st_size : -1;
}

#else

bool file_rename_replacing(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

bool file_sync(std::FILE* file) {
    return fsync(fileno(file)) == 0;
}

int64_t file_size(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 ? info.st_size : -1;
}

#endif
