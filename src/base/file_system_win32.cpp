// The file calls the C library lacks, on Windows.
#include "base/file_system.h"

#include <sys/stat.h>

#include <array>
#include <cstdio>

// The calls the core needs beyond the C library: a rename that replaces, a sync.
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>

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

std::FILE* file_create_beside(const char* path, std::span<char> temp_path) {
    // "x": the open fails rather than take over a file that is already there.
    int length = std::snprintf(temp_path.data(), temp_path.size(), "%s.tmp", path);
    if (length < 0 || static_cast<size_t>(length) >= temp_path.size())
        return nullptr;
    std::remove(temp_path.data());  // left by a crash
    return std::fopen(temp_path.data(), "wbx");
}
