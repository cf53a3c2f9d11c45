#include "settings/file_replace.h"

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

namespace {

// Long enough for any settings or log path and a suffix.
constexpr size_t kPathCapacity = 1040;

#ifdef _WIN32
// Paths are narrow strings in the ANSI code page, as fopen takes them.
bool to_wide(const char* path, std::array<wchar_t, kPathCapacity>& wide) {
    return MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), static_cast<int>(wide.size())) > 0;
}

bool rename_replacing(const char* from, const char* to) {
    std::array<wchar_t, kPathCapacity> wide_from;
    std::array<wchar_t, kPathCapacity> wide_to;
    if (!to_wide(from, wide_from) || !to_wide(to, wide_to))
        return false;
    // Write-through: the rename is on the disk when the call returns.
    return MoveFileExW(wide_from.data(), wide_to.data(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool sync_to_disk(std::FILE* file) {
    return _commit(_fileno(file)) == 0;
}

int64_t file_size(const char* path) {
    struct _stat64 info;
    return _stat64(path, &info) == 0 ? info.st_size : -1;
}
#else
bool rename_replacing(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

bool sync_to_disk(std::FILE* file) {
    return fsync(fileno(file)) == 0;
}

int64_t file_size(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 ? info.st_size : -1;
}
#endif

}  // namespace

bool file_replace(std::FILE* temp, const char* temp_path, const char* path) {
    // Without the sync a power cut soon after the rename can leave an empty file under
    // the new name: the rename may reach the disk before the data does.
    bool written = std::fflush(temp) == 0 && !std::ferror(temp) && sync_to_disk(temp);
    written = std::fclose(temp) == 0 && written;
    if (written && rename_replacing(temp_path, path))
        return true;
    std::remove(temp_path);
    return false;
}

void file_rotate_past(const char* path, int64_t limit_bytes) {
    if (file_size(path) <= limit_bytes)
        return;
    std::array<char, kPathCapacity> rotated;
    int length = std::snprintf(rotated.data(), rotated.size(), "%s.1", path);
    if (length < 0 || static_cast<size_t>(length) >= rotated.size())
        return;
    rename_replacing(path, rotated.data());
}

std::FILE* file_append_rotating(const char* path, int64_t limit_bytes) {
    file_rotate_past(path, limit_bytes);
    return std::fopen(path, "ab");
}
