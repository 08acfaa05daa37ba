// POSIX files. Sharing is an advisory lock: readers take it shared, writers exclusive, so
// copies of this tool (and any program that takes the same lock) keep out of each other.
#include "platform/files.h"
#include "platform/posix/posix_error.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>

static FileHandle fail_with(int err, int fd) {
  if (fd >= 0) close(fd);
  set_last_error(static_cast<uint32_t>(err));
  return kNoFile;
}

static bool same_inode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

static FileHandle lock_regular(int fd, int how) {
  struct stat st;
  if (fstat(fd, &st) != 0) return fail_with(errno, fd);
  if (S_ISDIR(st.st_mode)) return fail_with(EISDIR, fd);
  if (!S_ISREG(st.st_mode)) return fail_with(EINVAL, fd);
  if (flock(fd, how | LOCK_NB) != 0) return fail_with(errno == EWOULDBLOCK ? EBUSY : errno, fd);
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}

FileHandle file_open_read(const char* path) {
  // O_NONBLOCK so that a FIFO is refused instead of waiting for a writer.
  int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail_with(errno, -1);
  return lock_regular(fd, LOCK_SH);
}

FileHandle file_create(const char* path) {
  int fd = open(path, O_RDWR | O_CREAT | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return fail_with(errno, -1);
  if (lock_regular(fd, LOCK_EX) == kNoFile) return kNoFile;
  // The holder before us may have deleted the name between our open and our lock: the
  // lock is only worth something while the name still leads to the locked file.
  struct stat held, named;
  if (fstat(fd, &held) != 0 || lstat(path, &named) != 0 || !same_inode(held, named)) return fail_with(EBUSY, fd);
  // Truncate only once the lock is ours, so a file another opener holds is left whole.
  if (ftruncate(fd, 0) != 0) return fail_with(errno, fd);
  return fd;
}

FileHandle file_open_append(const char* path) {
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return fail_with(errno, -1);
  struct stat st;
  if (fstat(fd, &st) != 0) return fail_with(errno, fd);
  if (!S_ISREG(st.st_mode)) return fail_with(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, fd);
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}

FileHandle file_open_stream(const char* path) {
  // A writer whose reader has gone gets EPIPE instead of being ended by SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  // Non-blocking: a FIFO opens at once when it has a reader (ENXIO while it has none), and
  // a full pipe never holds the board up for long.
  const int kReaderWaits = 500;  // 5 s in steps of 10 ms
  int fd = -1;
  for (int k = 0; (fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0644)) < 0; ++k) {
    if (errno != ENXIO || k == kReaderWaits) return fail_with(errno, -1);
    usleep(10000);
  }
  return fd;
}

int file_write_stream(FileHandle f, const void* buf, uint32_t len) {
  const int kFullPipeWaitMs = 500;
  uint32_t done = 0;
  for (int waited = 0; done < len;) {
    ssize_t n = write(static_cast<int>(f), static_cast<const char*>(buf) + done, len - done);
    if (n >= 0) {
      done += static_cast<uint32_t>(n);
    } else if (errno == EAGAIN && waited < kFullPipeWaitMs) {
      pollfd p = {static_cast<int>(f), POLLOUT, 0};
      poll(&p, 1, 10);
      waited += 10;
    } else if (errno != EINTR) {
      set_last_error(static_cast<uint32_t>(errno));
      return 0;
    }
  }
  return 1;
}

int file_append_first_line(FileHandle f, const void* first_line, uint32_t len) {
  int fd = static_cast<int>(f);
  // The look at the size and the write are one step under the lock: a second run that
  // opened the same new file waits, then finds the line there. A lock that some other
  // program keeps for long is given up on after about 5 s rather than waited for.
  for (int tries = 0; flock(fd, LOCK_EX | LOCK_NB) != 0; ++tries) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || tries == 500) {
      set_last_error(static_cast<uint32_t>(errno == EWOULDBLOCK ? EBUSY : errno));
      return 0;
    }
    usleep(10000);
  }
  struct stat st;
  uint32_t put = 0;
  int ok = fstat(fd, &st) == 0 ? 1 : 0;
  if (!ok) set_last_error(static_cast<uint32_t>(errno));
  if (ok && st.st_size == 0) ok = file_write(f, first_line, len, &put) && put == len;
  flock(fd, LOCK_UN);
  return ok;
}

int file_sync(FileHandle f) {
  if (fsync(static_cast<int>(f)) != 0) {
    set_last_error(static_cast<uint32_t>(errno));
    return 0;
  }
  return 1;
}

int file_rewind(FileHandle f) {
  if (lseek(static_cast<int>(f), 0, SEEK_SET) != 0) {
    set_last_error(static_cast<uint32_t>(errno));
    return 0;
  }
  return 1;
}

int file_delete_held(FileHandle f, const char* path) {
  struct stat held, named;
  int ok = 1;
  if (fstat(static_cast<int>(f), &held) != 0 || lstat(path, &named) != 0) {
    set_last_error(static_cast<uint32_t>(errno));
    ok = 0;
  } else if (!same_inode(held, named)) {
    set_last_error(ENOENT);  // our file no longer bears the name; the one that does is not ours
    ok = 0;
  } else if (unlink(path) != 0) {
    set_last_error(static_cast<uint32_t>(errno));
    ok = 0;
  }
  // Unlinked while still locked: nobody can take the name over from a file being deleted.
  if (close(static_cast<int>(f)) != 0 && ok) {
    set_last_error(static_cast<uint32_t>(errno));
    ok = 0;
  }
  return ok;
}

int file_size(FileHandle f, uint64_t* size) {
  struct stat st;
  if (fstat(static_cast<int>(f), &st) != 0) {
    set_last_error(static_cast<uint32_t>(errno));
    return 0;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return 1;
}

int file_read(FileHandle f, void* buf, uint32_t len, uint32_t* got) {
  uint32_t done = 0;
  while (done < len) {
    ssize_t n = read(static_cast<int>(f), static_cast<char*>(buf) + done, len - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      set_last_error(static_cast<uint32_t>(errno));
      *got = done;
      return 0;
    }
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  *got = done;
  return 1;
}

int file_write(FileHandle f, const void* buf, uint32_t len, uint32_t* put) {
  uint32_t done = 0;
  while (done < len) {
    ssize_t n = write(static_cast<int>(f), static_cast<const char*>(buf) + done, len - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      set_last_error(static_cast<uint32_t>(errno));
      *put = done;
      return 0;
    }
    done += static_cast<uint32_t>(n);
  }
  *put = done;
  return 1;
}

int file_close(FileHandle f) {
  if (close(static_cast<int>(f)) != 0) {
    set_last_error(static_cast<uint32_t>(errno));
    return 0;
  }
  return 1;
}

int file_delete(const char* path) {
  if (unlink(path) != 0) {
    set_last_error(static_cast<uint32_t>(errno));
    return 0;
  }
  return 1;
}

int folder_takes_files(const char* folder) {
  static unsigned probes = 0;  // a fresh name for each try
  char path[4096];
  for (int tries = 0; tries < 100; ++tries) {
    snprintf(path, sizeof path, "%s/.vorla-probe-%ld-%u", folder, static_cast<long>(getpid()), probes++);
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;  // someone else's (another host's run on a shared folder)
      set_last_error(static_cast<uint32_t>(errno));
      return 0;
    }
    // Deleted only while the name still leads to the file made here.
    struct stat made, named;
    if (fstat(fd, &made) == 0 && lstat(path, &named) == 0 && same_inode(made, named)) unlink(path);
    close(fd);
    return 1;
  }
  set_last_error(EEXIST);
  return 0;
}

int path_exists(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 ? 1 : 0;
}

int path_kind(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) return errno == ENOENT || errno == ENOTDIR ? kPathAbsent : kPathOther;
  return S_ISREG(st.st_mode) ? kPathRegular : kPathOther;
}

int same_file(const char* a, const char* b) {
  struct stat sa, sb;
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return 0;
  return same_inode(sa, sb) ? 1 : 0;
}

int error_is_in_use(uint32_t err) { return err == EBUSY || err == EWOULDBLOCK ? 1 : 0; }
