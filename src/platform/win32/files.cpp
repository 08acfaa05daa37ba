// Win32 files. Readers share with readers only (FILE_SHARE_READ), a created file shares
// with nobody (share mode 0): the system then refuses every conflicting open with
// ERROR_SHARING_VIOLATION, between runs of this tool and against any other program.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>

#include "platform/files.h"
#include "platform/win32/win32_error.h"
#include "platform/win32/win32_files.h"

#include <string>

static thread_local uint32_t g_last_error = 0;

void win32_set_error(uint32_t code) { g_last_error = code; }

int win32_fail() {
  g_last_error = static_cast<uint32_t>(GetLastError());
  return 0;
}

static HANDLE handle_of(FileHandle f) { return reinterpret_cast<HANDLE>(f); }

static FileHandle fail_with(DWORD err, HANDLE h) {
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  g_last_error = static_cast<uint32_t>(err);
  return kNoFile;
}

// Only a file on disk passes: "NUL", "CON", "COM1", pipes and the like are refused.
static FileHandle disk_file_only(HANDLE h) {
  SetLastError(NO_ERROR);
  DWORD type = GetFileType(h);
  if (type != FILE_TYPE_DISK) {
    DWORD err = GetLastError();
    return fail_with(err != NO_ERROR ? err : ERROR_INVALID_PARAMETER, h);
  }
  return reinterpret_cast<FileHandle>(h);
}

FileHandle file_open_read(const char* path) {
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened at all. A holder with
  // write access makes this fail with ERROR_SHARING_VIOLATION, as FILE_SHARE_WRITE is
  // not given.
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_with(GetLastError(), h);
  return disk_file_only(h);
}

// The last component of a path, after the last backslash or slash.
static const char* last_component(const char* path) {
  const char* last = path;
  for (const char* p = path; *p; ++p) {
    if (*p == '\\' || *p == '/') last = p + 1;
  }
  return last;
}

// The reparse tag of an open file, 0 when it carries none.
static DWORD reparse_tag(HANDLE h) {
  FILE_ATTRIBUTE_TAG_INFO info;
  if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info)) return 0;
  return (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? info.ReparseTag : 0;
}

// Only symbolic links and junctions send an open elsewhere. Other tags (OneDrive and
// other cloud files, deduplicated volumes) mark ordinary files whose filter driver
// supplies the data.
static bool is_link_tag(DWORD tag) { return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT; }

// True when the open handle is not the entry that path names in its own directory: a
// link was followed. Windows shows its links by their reparse tag (see is_link_tag), but
// Wine shows a Unix link to a file as the file itself, with no tag, and only the final
// path tells them apart.
static bool followed_link(HANDLE h, const char* path) {
  char full[MAX_PATH];
  char* name = nullptr;
  DWORD n = GetFullPathNameA(path, sizeof full, full, &name);
  if (n == 0 || n >= sizeof full || name == nullptr) return false;
  char long_name[MAX_PATH];
  n = GetLongPathNameA(full, long_name, sizeof long_name);
  const char* wanted = (n > 0 && n < sizeof long_name) ? last_component(long_name) : name;

  char final_path[MAX_PATH + 8];
  n = GetFinalPathNameByHandleA(h, final_path, sizeof final_path, FILE_NAME_NORMALIZED);
  if (n == 0 || n >= sizeof final_path) return false;  // nothing to compare with
  if (lstrcmpiA(last_component(final_path), wanted) != 0) return true;

  // Same name: it must also sit in the directory the path names.
  *name = '\0';
  HANDLE dir = CreateFileA(full, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (dir == INVALID_HANDLE_VALUE) return false;
  char dir_path[MAX_PATH + 8];
  n = GetFinalPathNameByHandleA(dir, dir_path, sizeof dir_path, FILE_NAME_NORMALIZED);
  CloseHandle(dir);
  if (n == 0 || n >= sizeof dir_path) return false;
  size_t dir_len = static_cast<size_t>(last_component(final_path) - final_path);
  if (dir_len > 0 && dir_path[n - 1] != '\\') --dir_len;  // the separator
  return dir_len != n || CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, final_path, static_cast<int>(n), dir_path,
                                        static_cast<int>(n)) != CSTR_EQUAL;
}

// Volume serial number and file index name a file uniquely while it is open.
static bool same_identity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// FileDispositionInfoEx, which MinGW declares for Windows 10 1709 targets only.
static const FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// Deletes the file that h holds. h needs DELETE access. The handle, not the name, picks
// the file: whatever bears the name meanwhile is never touched. With POSIX semantics
// (Windows 10 1709 on NTFS) the name goes at once and the handle stays usable; elsewhere
// (FAT, older Windows, Wine) the name goes as the last handle closes.
static bool mark_deleted(HANDLE h) {
  FILE_DISPOSITION_INFO_EX now = {FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
  if (SetFileInformationByHandle(h, kFileDispositionInfoEx, &now, sizeof now)) return true;
  FILE_DISPOSITION_INFO gone = {TRUE};
  return SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone) != 0;
}

FileHandle file_create(const char* path) {
  // OPEN_ALWAYS and a truncation after the checks, not CREATE_ALWAYS: that cannot be
  // combined with FILE_FLAG_OPEN_REPARSE_POINT, which opens a link at the name itself
  // instead of following it, also one planted a moment ago. Share mode 0 fails on a
  // file someone holds (ERROR_SHARING_VIOLATION) before anything has changed in it.
  const DWORD access = GENERIC_READ | GENERIC_WRITE | DELETE;
  // Wine hides a dangling Unix link from every call, yet follows it on open, creates its
  // target and then reports ERROR_ALREADY_EXISTS; so whether this call made the file is
  // also judged by whether anything bore the name before.
  const bool named_before = GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
  HANDLE h =
      CreateFileA(path, access, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_with(GetLastError(), h);
  const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
  const DWORD tag = reparse_tag(h);
  if (is_link_tag(tag)) return fail_with(ERROR_CANT_RESOLVE_FILENAME, h);
  if (tag != 0) {
    // A cloud or deduplicated file: opened past its filter driver, its data would be
    // bypassed. Open it again through the filter, and only if the name still leads to
    // the file just examined.
    BY_HANDLE_FILE_INFORMATION seen;
    if (!GetFileInformationByHandle(h, &seen)) return fail_with(GetLastError(), h);
    CloseHandle(h);
    h = CreateFileA(path, access, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail_with(GetLastError(), h);
    BY_HANDLE_FILE_INFORMATION now;
    if (!GetFileInformationByHandle(h, &now)) return fail_with(GetLastError(), h);
    if (!same_identity(seen, now)) return fail_with(ERROR_CANT_RESOLVE_FILENAME, h);
  }
  if (followed_link(h, path)) {
    // Wine follows a Unix link even here, and creates the missing target of a dangling
    // one; take back what this call made, unless someone has written to it meanwhile.
    LARGE_INTEGER size;
    if (created || (!named_before && GetFileSizeEx(h, &size) && size.QuadPart == 0)) mark_deleted(h);
    return fail_with(ERROR_CANT_RESOLVE_FILENAME, h);
  }
  if (disk_file_only(h) == kNoFile) return kNoFile;
  // Only now is the old content dropped: the file is ours alone and no link led here.
  if (!created && !SetEndOfFile(h)) return fail_with(GetLastError(), h);
  return reinterpret_cast<FileHandle>(h);
}

FileHandle file_open_append(const char* path) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: the file system puts every write at the
  // end of the file as it stands then, so writers sharing the file never overwrite one
  // another. FILE_READ_DATA for the look at the last byte, and because LockFileEx wants
  // read or write access. FILE_SHARE_DELETE lets the log be renamed while it is open.
  HANDLE h = CreateFileA(path, FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_with(GetLastError(), h);
  return disk_file_only(h);
}

FileHandle file_open_stream(const char* path) {
  // A name in the device namespace (a named pipe, \\.\pipe\...) is opened as it is: an
  // open for appending would take up the pipe's instance and then fail to write.
  const bool device = (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/') &&
                      (path[2] == '.' || path[2] == '?') && (path[3] == '\\' || path[3] == '/');
  if (!device) {
    // A file on disk: every write goes to its end (see file_open_append).
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail_with(GetLastError(), h);
    if (GetFileType(h) == FILE_TYPE_DISK) return reinterpret_cast<FileHandle>(h);
    CloseHandle(h);  // "NUL", "CON" and the like are written like a pipe
  }
  // Overlapped, so that a write to a reader that has stopped reading can be given up on.
  HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_with(GetLastError(), h);
  return reinterpret_cast<FileHandle>(h);
}

// Writes to a pipe overlapped, each part waited on until wait_ms have passed in all, then
// cancelled: *put counts what went. 1 unless the pipe failed; a write given up on is not a
// failure here (the caller decides).
static int write_pipe_bounded(HANDLE h, const void* buf, uint32_t len, DWORD wait_ms, uint32_t* put) {
  *put = 0;
  HANDLE done_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (done_event == nullptr) return win32_fail();
  const ULONGLONG give_up = GetTickCount64() + wait_ms;
  int ok = 1;
  while (ok && *put < len) {
    OVERLAPPED o;
    ZeroMemory(&o, sizeof o);
    o.hEvent = done_event;
    ResetEvent(done_event);
    DWORD n = 0;
    if (!WriteFile(h, static_cast<const char*>(buf) + *put, len - *put, &n, &o)) {
      if (GetLastError() != ERROR_IO_PENDING) {
        ok = win32_fail();
        break;
      }
      ULONGLONG now = GetTickCount64();
      DWORD left = now < give_up ? static_cast<DWORD>(give_up - now) : 0;
      bool in_time = WaitForSingleObject(done_event, left) == WAIT_OBJECT_0;
      if (!in_time) CancelIoEx(h, &o);
      // The record must outlive the write: wait for its end, cancelled or not.
      if (!GetOverlappedResult(h, &o, &n, TRUE)) {
        DWORD err = GetLastError();
        *put += n;
        if (err == ERROR_OPERATION_ABORTED) break;  // given up on: what went, went
        win32_set_error(err);
        ok = 0;
        break;
      }
    } else if (n == 0) {
      win32_set_error(ERROR_WRITE_FAULT);
      ok = 0;
    }
    *put += n;
  }
  CloseHandle(done_event);
  return ok;
}

int file_write_stream(FileHandle f, const void* buf, uint32_t len) {
  HANDLE h = handle_of(f);
  uint32_t put = 0;
  if (GetFileType(h) == FILE_TYPE_DISK) return file_write(f, buf, len, &put);
  // A pipe that its reader keeps full would hold a plain write for ever: half a second in
  // all, then the write is given up on.
  if (!write_pipe_bounded(h, buf, len, 500, &put)) return 0;
  if (put < len) {
    win32_set_error(ERROR_TIMEOUT);
    return 0;
  }
  return 1;
}

int file_write_stream_now(FileHandle f, const void* buf, uint32_t len, uint32_t* put) {
  HANDLE h = handle_of(f);
  if (GetFileType(h) == FILE_TYPE_DISK) return file_write(f, buf, len, put);
  // What the pipe takes within a few milliseconds goes; the rest is the caller's.
  return write_pipe_bounded(h, buf, len, 10, put);
}

int file_append_line(FileHandle f, const char* first_line, const char* line) {
  HANDLE h = handle_of(f);
  // Windows locks keep others' reads and writes out of the locked bytes, so the lock is
  // on one byte far past any end the file will reach: every appender takes that one.
  OVERLAPPED at;
  ZeroMemory(&at, sizeof at);
  at.Offset = 0xFFFFFFFEu;
  at.OffsetHigh = 0x7FFFFFFFu;
  bool locked = true;
  for (int tries = 0; !LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at); ++tries) {
    DWORD err = GetLastError();
    if (err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION) {
      locked = false;  // a share that keeps no locks
      break;
    }
    if (err != ERROR_LOCK_VIOLATION || tries == 500) {
      win32_set_error(static_cast<uint32_t>(err));
      return 0;
    }
    Sleep(10);
  }
  LARGE_INTEGER size;
  int ok = GetFileSizeEx(h, &size) ? 1 : win32_fail();
  char last = '\n';
  if (ok && size.QuadPart > 0) {
    OVERLAPPED from;
    ZeroMemory(&from, sizeof from);
    from.Offset = static_cast<DWORD>(size.QuadPart - 1);
    from.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(size.QuadPart - 1) >> 32);
    DWORD n = 0;
    if (!ReadFile(h, &last, 1, &n, &from) || n != 1) ok = win32_fail();
  }
  std::string text = ok && size.QuadPart == 0 ? first_line : last != '\n' ? "\r\n" : "";
  text += line;
  uint32_t put = 0;
  if (ok) ok = file_write(f, text.data(), static_cast<uint32_t>(text.size()), &put);
  if (locked) UnlockFileEx(h, 0, 1, 0, &at);
  return ok;
}

FileHandle file_lock_hold(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_with(GetLastError(), h);
  if (is_link_tag(reparse_tag(h))) return fail_with(ERROR_CANT_RESOLVE_FILENAME, h);
  OVERLAPPED at;
  ZeroMemory(&at, sizeof at);
  for (int tries = 0; !LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at); ++tries) {
    DWORD err = GetLastError();
    if (err != ERROR_LOCK_VIOLATION) return fail_with(err, h);
    if (tries == 1000) return fail_with(ERROR_LOCK_VIOLATION, h);
    Sleep(10);
  }
  return reinterpret_cast<FileHandle>(h);
}

int error_is_no_lock(uint32_t err) { return err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION ? 1 : 0; }

int file_replace(const char* from, const char* to) {
  if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return win32_fail();
  return 1;
}

int file_sync(FileHandle f) {
  if (!FlushFileBuffers(handle_of(f))) return win32_fail();
  return 1;
}

int file_rewind(FileHandle f) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(handle_of(f), zero, nullptr, FILE_BEGIN)) return win32_fail();
  return 1;
}

// The identity of whatever path names now, links followed; the handle is opened with no
// access, so no holder's share mode keeps it out.
static bool identity_of_name(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}

int win32_mark_held_deleted(FileHandle f, const char* path) {
  HANDLE h = handle_of(f);
  BY_HANDLE_FILE_INFORMATION held, named;
  if (!GetFileInformationByHandle(h, &held)) return win32_fail();
  if (!identity_of_name(path, &named) || !same_identity(held, named)) {
    win32_set_error(ERROR_FILE_NOT_FOUND);  // our file no longer bears the name; the one that does is not ours
    return 0;
  }
  if (!mark_deleted(h)) return win32_fail();
  return 1;
}

FileHandle file_create_private(const char* folder) {
  // A name no other run can have chosen, made with CREATE_NEW and shared with nobody;
  // FILE_FLAG_DELETE_ON_CLOSE removes it as the handle closes, also when the process is
  // ended, and the POSIX delete removes the name at once where NTFS allows it.
  static LONG counter = 0;
  for (int tries = 0;; ++tries) {
    char name[MAX_PATH];
    wsprintfA(name, "%s\\~vorla-%lx-%lx-%lx.tmp", folder, GetCurrentProcessId(), GetTickCount(),
              static_cast<unsigned long>(InterlockedIncrement(&counter)));
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS && tries < 100) continue;
      return fail_with(GetLastError(), h);
    }
    mark_deleted(h);
    return reinterpret_cast<FileHandle>(h);
  }
}

static void stamp_of(const BY_HANDLE_FILE_INFORMATION& info, FileStamp* s) {
  s->volume = info.dwVolumeSerialNumber;
  s->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  s->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  s->modified = static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                     info.ftLastWriteTime.dwLowDateTime);
}

int file_stamp(FileHandle f, FileStamp* s) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle_of(f), &info)) return win32_fail();
  stamp_of(info, s);
  return 1;
}

int path_stamp(const char* path, FileStamp* s) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!identity_of_name(path, &info)) return win32_fail();
  stamp_of(info, s);
  return 1;
}

int file_size(FileHandle f, uint64_t* size) {
  LARGE_INTEGER n;
  if (!GetFileSizeEx(handle_of(f), &n)) return win32_fail();
  *size = static_cast<uint64_t>(n.QuadPart);
  return 1;
}

int file_read(FileHandle f, void* buf, uint32_t len, uint32_t* got) {
  uint32_t done = 0;
  while (done < len) {
    DWORD n = 0;
    if (!ReadFile(handle_of(f), static_cast<char*>(buf) + done, len - done, &n, nullptr)) {
      *got = done;
      return win32_fail();
    }
    if (n == 0) break;  // end of file
    done += n;
  }
  *got = done;
  return 1;
}

int file_write(FileHandle f, const void* buf, uint32_t len, uint32_t* put) {
  uint32_t done = 0;
  while (done < len) {
    DWORD n = 0;
    if (!WriteFile(handle_of(f), static_cast<const char*>(buf) + done, len - done, &n, nullptr)) {
      *put = done;
      return win32_fail();
    }
    if (n == 0) {  // a disk file never takes nothing; do not spin on it
      *put = done;
      win32_set_error(ERROR_WRITE_FAULT);
      return 0;
    }
    done += n;
  }
  *put = done;
  return 1;
}

int file_close(FileHandle f) {
  if (!CloseHandle(handle_of(f))) return win32_fail();
  return 1;
}

int file_delete(const char* path) {
  if (!DeleteFileA(path)) return win32_fail();
  return 1;
}

// GetFileAttributesA reads a link's own entry, so a dangling link counts as well (not
// under Wine, which hides a dangling Unix link).
int path_exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? 1 : 0; }

uint32_t last_error() { return g_last_error; }

int same_file(const char* a, const char* b) {
  BY_HANDLE_FILE_INFORMATION ia, ib;
  if (!identity_of_name(a, &ia) || !identity_of_name(b, &ib)) return 0;
  return same_identity(ia, ib) ? 1 : 0;
}

int error_is_in_use(uint32_t err) { return err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION ? 1 : 0; }

// Every failure of an open but a share or lock violation counts as no readable file: the
// system keeps no advisory locks that could fail otherwise.
int error_is_missing(uint32_t err) { return error_is_in_use(err) ? 0 : 1; }
