#include "settings/file_replace.h"

#include <array>

#include "base/file_system.h"

bool file_replace(std::FILE* temp, const char* temp_path, const char* path) {
    // Without the sync a power cut soon after the rename can leave an empty file under
    // the new name: the rename may reach the disk before the data does.
    bool written = std::fflush(temp) == 0 && !std::ferror(temp) && file_sync(temp);
    written = std::fclose(temp) == 0 && written;
    if (written && file_rename_replacing(temp_path, path))
        return true;
    std::remove(temp_path);
    return false;
}

void file_rotate_past(const char* path, int64_t limit_bytes) {
    if (file_size(path) <= limit_bytes)
        return;
    std::array<char, kFileSuffixedPathSize> rotated;
    int length = std::snprintf(rotated.data(), rotated.size(), "%s.1", path);
    if (length < 0 || static_cast<size_t>(length) >= rotated.size())
        return;
    file_rename_replacing(path, rotated.data());
}

std::FILE* file_append_rotating(const char* path, int64_t limit_bytes) {
    file_rotate_past(path, limit_bytes);
    return std::fopen(path, "ab");
}
