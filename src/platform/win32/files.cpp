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

// The last component of a path, after the last backslash or slash.
static const char* last_component(const char* path) {
  const char* last = path;
  for (const char* p = path; *p; ++p) {
    if (*p == '\\' || *p == '/') last = p + 1;
  }
  return last;
}

// True when the open handle is not the entry that path names in its own directory: a
// link was followed. Windows flags its links as reparse points, but Wine shows a Unix
// link to a file as the file itself, and only the final path tells them apart.
static bool followed_link(HANDLE h, const char* path) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
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
  return dir_len != n || CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, final_path, static_cast<int>(n),
                                        dir_path, static_cast<int>(n)) != CSTR_EQUAL;
}

FileHandle file_create(const char* path) {
  DWORD attrs = GetFileAttributesA(path);
  if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT))
    return fail_with(ERROR_CANT_RESOLVE_FILENAME, INVALID_HANDLE_VALUE);
  if (attrs != INVALID_FILE_ATTRIBUTES) {
    // Look before CREATE_ALWAYS truncates: a link's target must stay whole.
    HANDLE look = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (look != INVALID_HANDLE_VALUE) {
      bool link = followed_link(look, path);
      CloseHandle(look);
      if (link) return fail_with(ERROR_CANT_RESOLVE_FILENAME, INVALID_HANDLE_VALUE);
    }
  }
  // FILE_FLAG_OPEN_REPARSE_POINT: a link planted after the tests above is opened
  // itself, not followed, and refused below.
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_with(GetLastError(), h);
  bool created = GetLastError() != ERROR_ALREADY_EXISTS;
  if (followed_link(h, path)) {
    // Wine creates the missing target of a dangling link; take back what this call made.
    if (created) {
      FILE_DISPOSITION_INFO gone = {TRUE};
      SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone);
    }
    return fail_with(ERROR_CANT_RESOLVE_FILENAME, h);
  }
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

// Volume serial number and file index name a file uniquely while both are open.
static bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}

int same_file(const char* a, const char* b) {
  BY_HANDLE_FILE_INFORMATION ia, ib;
  if (!file_identity(a, &ia) || !file_identity(b, &ib)) return 0;
  return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
                 ia.nFileIndexLow == ib.nFileIndexLow
             ? 1
             : 0;
}
