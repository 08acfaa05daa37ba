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

// Opens a regular file for appending, creating it when missing; shared for reading, writing
// and renaming, so that several runs may append to one file at once and the file may be
// rotated (renamed or deleted) while they do. A directory, FIFO or device is refused.
// kNoFile on failure.
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

// Writes to a stream from file_open_stream what it takes now, without waiting: *put is the
// count that went, fewer than len (even 0) while a pipe is full; the rest is the caller's
// to send later, in order. 1 unless the stream failed (its reader has gone).
int file_write_stream_now(FileHandle f, const void* buf, uint32_t len, uint32_t* put);

// Appends to a file opened by file_open_append under an exclusive lock of the file, which
// every run appending this way takes, so appends from several runs (also on several
// computers, where the file system keeps locks across them) come whole and one after the
// other. Under the lock: an empty file gets first_line; a last line without its line end
// (a write cut short) is ended with CR LF; then line is written. A file system that keeps
// no locks gets the same writes unlocked. A lock that another keeps for long is given up
// on after about 5 s (an in-use error). 1 when all is written, 0 on failure.
int file_append_line(FileHandle f, const char* first_line, const char* line);

// Opens (creating when missing) a file that serves only as a lock and takes its exclusive
// lock, which every run doing the same takes too (also on other computers, where the file
// system keeps locks across them); another's hold is waited for up to about 10 s (then an
// in-use error). Unlike file_append_line, a file system that keeps no locks is a failure,
// for which error_is_no_lock() is 1. Closing the handle releases the lock. kNoFile on failure.
FileHandle file_lock_hold(const char* path);

// 1 when err says that the file system keeps no locks.
int error_is_no_lock(uint32_t err);

// Puts the file `from` in place of `to` in one step: whoever opens `to` meanwhile gets the
// old file or the new one, whole, never a mix; the change is on the disk when it returns.
// 1 on success, 0 on failure.
int file_replace(const char* from, const char* to);

// Puts everything written to f on the disk before it returns. 1 on success.
int file_sync(FileHandle f);

// Moves the file's position back to its start, so that what was written can be read
// back through the same handle. 1 on success, 0 on failure.
int file_rewind(FileHandle f);

// Creates a private temporary file in folder for reading and writing: no other run or
// program can name or open it, and it is gone when it is closed or when the process ends,
// however it ends (POSIX: a file without a name, or with a random one removed at once;
// Windows: shared with nobody and deleted on close, its name removed at once where the
// file system allows). kNoFile on failure.
FileHandle file_create_private(const char* folder);

// Which file it is and how it stands: stamps differ when a name has come to lead to
// another file, or the file has grown, shrunk or been written to.
struct FileStamp {
  uint64_t volume, index;  // the file itself, whatever its name
  uint64_t size;
  int64_t modified;  // time of the last write, in the system's own units
};
inline bool same_file_stamp(const FileStamp& a, const FileStamp& b) {
  return a.volume == b.volume && a.index == b.index && a.size == b.size && a.modified == b.modified;
}

// The stamp of an open file, or of the file that path leads to now (links followed).
// 1 on success, 0 on failure.
int file_stamp(FileHandle f, FileStamp* s);
int path_stamp(const char* path, FileStamp* s);

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

// 1 when err says that the file exists but another program or run holds it (POSIX: a
// lock held elsewhere; Windows: a sharing or lock violation).
int error_is_in_use(uint32_t err);

// 1 when err says that there is no readable file at a path: nothing, a folder, a device,
// no permission. 0 for other failures (a file system or lock service that fails).
int error_is_missing(uint32_t err);
