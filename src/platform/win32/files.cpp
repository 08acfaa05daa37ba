// Win32 files. Share mode 0 keeps every other opener out while the file is open.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/files.h"
#include "platform/win32/win32_error.h"

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
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened at all.
  HANDLE h = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_with(GetLastError(), h);
  return disk_file_only(h);
}

FileHandle file_create(const char* path) {
  DWORD attrs = GetFileAttributesA(path);
  if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT))
    return fail_with(ERROR_CANT_RESOLVE_FILENAME, INVALID_HANDLE_VALUE);
  // FILE_FLAG_OPEN_REPARSE_POINT: a link planted after the test above is opened itself,
  // not followed, and refused below.
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_with(GetLastError(), h);
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return fail_with(ERROR_CANT_RESOLVE_FILENAME, h);
  return disk_file_only(h);
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

// GetFileAttributesA reads a link's own entry, so a dangling link counts as well.
int path_exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? 1 : 0; }

uint32_t last_error() { return g_last_error; }
