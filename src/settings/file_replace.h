// Replacing and rotating files so that a crash, a full disk or a power cut never leaves
// a file half written: what is on disk is always either the old whole file or the new.
#pragma once

#include <cstdint>
#include <cstdio>

// Closes `temp`, the new file's content written into `temp_path`, once it is on the
// disk, and then makes it the file at `path` in one step that replaces any file there.
// If a write failed (a full disk) or the replace fails, `temp_path` is removed and
// `path` stays as it was. Returns whether `path` now holds the new content.
bool file_replace(std::FILE* temp, const char* temp_path, const char* path);

// Opens the file at `path` for appending, binary, after rotating it as below; nullptr
// if it cannot be opened.
std::FILE* file_append_rotating(const char* path, int64_t limit_bytes);

// When the file at `path` has grown past `limit_bytes`, renames it to `path` + ".1",
// replacing an older one there, so that the next append begins a new file. A file that
// is missing or not past the limit stays as it is.
void file_rotate_past(const char* path, int64_t limit_bytes);
