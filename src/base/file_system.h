// The few file calls the C library does not have, on Windows and on POSIX; with the
// socket layer, the only place where the core meets a platform header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

// Every file path the program makes (a settings file, the client log) fits in this many
// bytes with its NUL; a path that does not is not opened at all, since a cut path could
// name another file. Paths are narrow strings in the ANSI code page, as fopen takes them.
constexpr size_t kFilePathSize = 1024;

// Such a path with a suffix of up to 15 bytes (".1", ".new") and its NUL.
constexpr size_t kFileSuffixedPathSize = kFilePathSize + 16;

// Renames `from` to `to` in one step that replaces any file at `to`; on Windows the
// rename is on the disk when the call returns. Either path fits kFileSuffixedPathSize.
// Returns whether it was renamed.
bool file_rename_replacing(const char* from, const char* to);

// Waits until what was written to `file` (already flushed) is on the disk.
bool file_sync(std::FILE* file);

// The size of the file at `path` in bytes, or -1 when there is none.
int64_t file_size(const char* path);

// Creates a new file beside `path` for writing its next content, with a name nobody can
// have planted beforehand (no link is followed, no existing file taken over), readable by
// all; its name goes to `temp_path`. nullptr when it cannot be made.
std::FILE* file_create_beside(const char* path, std::span<char> temp_path);
