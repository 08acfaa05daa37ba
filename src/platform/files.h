// Files, as the tool needs them: whole-file reads and writes through small buffers.
// Every call that fails leaves the reason in last_error().
#pragma once
#include <cstdint>

typedef intptr_t FileHandle;
const FileHandle kNoFile = -1;

// Opens an existing regular file for reading and keeps other openers out where the OS
// allows it (no sharing). A directory, FIFO or device is refused. kNoFile on failure.
FileHandle file_open_read(const char* path);

// Creates the file for reading and writing, replacing an existing one, with no sharing.
// A symbolic link at the path is never followed (it fails instead). kNoFile on failure.
FileHandle file_create(const char* path);

// The file's size in bytes, 64-bit so that a file of 4 GiB or more can be told apart.
// 1 on success, 0 on failure.
int file_size(FileHandle f, uint64_t* size);

// Reads up to len bytes; *got is the count read, fewer than len only at the end of the
// file. 1 on success (also at the end of the file), 0 on failure.
int file_read(FileHandle f, void* buf, uint32_t len, uint32_t* got);

// Writes len bytes; *put is the count written. 1 on success, 0 on failure.
int file_write(FileHandle f, const void* buf, uint32_t len, uint32_t* put);

// Closes the file. 1 on success, 0 on failure.
int file_close(FileHandle f);

// Deletes the named file. 1 on success, 0 on failure.
int file_delete(const char* path);

// 1 when anything bears the name: a file, a directory, a link (even a dangling one).
int path_exists(const char* path);

// 1 when both names lead to one and the same existing file (through links, other
// spellings of the path, or hard links); 0 otherwise, also when either does not exist.
int same_file(const char* a, const char* b);

// The operating system's error code of the last failed call of this thread
// (errno on POSIX, GetLastError on Windows).
uint32_t last_error();
