// The file calls the C library lacks, on POSIX systems.
#include "base/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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

std::FILE* file_create_beside(const char* path, std::span<char> temp_path) {
    // mkstemp makes a fresh name with O_EXCL: a link planted under any name is never
    // followed.
    int length = std::snprintf(temp_path.data(), temp_path.size(), "%s.XXXXXX", path);
    if (length < 0 || static_cast<size_t>(length) >= temp_path.size())
        return nullptr;
    int fd = mkstemp(temp_path.data());
    if (fd < 0)
        return nullptr;
    fchmod(fd, 0644);  // for monitoring tools; mkstemp makes it the owner's alone
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        close(fd);
        unlink(temp_path.data());
    }
    return file;
}
