// Files, as the tool needs them: whole-file reads and writes through small buffers.
// Every call that fails leaves the reason in last_error().
#pragma once
#include <cstdint>

typedef intptr_t FileHandle;
const FileHandle kNoFile = -1;

// Opens an existing regular file for reading, shared with other readers: two runs may
// read one image at once. A file that a writer holds fails with an error for which
// error_is_in_use() is 1. A directory, FIFO or device is refused. kNoFile on failure.
FileHandle file_open_read(const char* path);

// Creates the file for reading and writing, replacing an existing regular file, and holds
// it exclusively until it is closed: no other reader or writer gets in meanwhile. A file
// that someone else holds is left whole and the call fails with an in-use error. A
// symbolic link (or other reparse point that redirects) at the path is never followed;
// it fails instead. kNoFile on failure.
FileHandle file_create(const char* path);

// Opens a regular file for appending, creating it when missing; shared for reading and
// writing, so that several runs may append to one file at once: each file_write then goes
// whole to the end of the file, never into the middle of another's. A directory, FIFO or
// device is refused. kNoFile on failure.
FileHandle file_open_append(const char* path);

// Opens a name to stream lines to: a regular file for appending (created when missing),
// a FIFO or pipe, a device; on Windows also a named pipe (\\.\pipe\...) or anything
// else the system opens for writing. A FIFO without a reader is waited for up to 5 s.
// A directory is refused. A reader that goes away later makes writes fail; it never
// ends the process. kNoFile on failure.
FileHandle file_open_stream(const char* path);

// Writes len bytes to a stream from file_open_stream in one write. A pipe that a slow
// reader keeps full is waited on for at most half a second in all. 1 when all went out.
int file_write_stream(FileHandle f, const void* buf, uint32_t len);

// Appends first_line to a file opened by file_open_append only when the file is empty;
// of several runs that do this on one new file at the same time exactly one writes it.
// 1 when the file now begins with a line (this one or another's), 0 on failure.
int file_append_first_line(FileHandle f, const void* first_line, uint32_t len);

// Puts everything written to f on the disk before it returns. 1 on success.
int file_sync(FileHandle f);

// Moves the file's position back to its start, so that what was written can be read
// back through the same handle. 1 on success, 0 on failure.
int file_rewind(FileHandle f);

// Deletes the file that f holds, by its name, then closes f. Another file that has come
// to bear the name meanwhile is never deleted. 1 when deleted and closed, 0 on failure
// (f is closed all the same).
int file_delete_held(FileHandle f, const char* path);

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

// 1 when a new file can be created in the folder: a file under a name of this process's
// own is created there exclusively (never over anything that bears a name already) and
// deleted at once. 0 with the reason in last_error(). No other file is touched.
int folder_takes_files(const char* folder);

// 1 when anything bears the name: a file, a directory, a link (even a dangling one).
int path_exists(const char* path);

// What bears a name, without following a link.
const int kPathAbsent = 0;   // nothing
const int kPathRegular = 1;  // a regular file (on Windows also one with a reparse tag
                             // that does not redirect: cloud-synced, deduplicated)
const int kPathOther = 2;    // a link, junction, directory, FIFO, device or socket
int path_kind(const char* path);

// 1 when both names lead to one and the same existing file (through links, other
// spellings of the path, or hard links); 0 otherwise, also when either does not exist.
int same_file(const char* a, const char* b);

// The operating system's error code of the last failed call of this thread
// (errno on POSIX, GetLastError on Windows).
uint32_t last_error();

// 1 when err says that the file exists but another program or run holds it (POSIX: a
// lock held elsewhere; Windows: a sharing or lock violation).
int error_is_in_use(uint32_t err);
