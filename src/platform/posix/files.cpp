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
#include <string>

static FileHandle fail_with(int err, int fd) {
  if (fd >= 0) close(fd);
  set_last_error(static_cast<uint32_t>(err));
  return kNoFile;
}

static bool same_inode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// flock() without the failures that mean "this file system keeps no locks" (NFS mounted with
// local locks off, some FUSE and SMB mounts): there, the file is used unlocked. Another's
// hold fails as EBUSY; every other failure as itself.
static int lock_file(int fd, int how) {
  for (;;) {
    if (flock(fd, how) == 0) return 1;
    if (errno == EINTR) continue;
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOTSUP) return 1;
    set_last_error(static_cast<uint32_t>(errno == EWOULDBLOCK ? EBUSY : errno));
    return 0;
  }
}

static FileHandle lock_regular(int fd, int how) {
  struct stat st;
  if (fstat(fd, &st) != 0) return fail_with(errno, fd);
  if (S_ISDIR(st.st_mode)) return fail_with(EISDIR, fd);
  if (!S_ISREG(st.st_mode)) return fail_with(EINVAL, fd);
  if (!lock_file(fd, how | LOCK_NB)) return fail_with(last_error(), fd);
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
  // Read access too: the last byte is looked at before each append.
  int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0644);
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

int file_write_stream_now(FileHandle f, const void* buf, uint32_t len, uint32_t* put) {
  *put = 0;
  while (*put < len) {
    ssize_t n = write(static_cast<int>(f), static_cast<const char*>(buf) + *put, len - *put);
    if (n >= 0) {
      *put += static_cast<uint32_t>(n);
    } else if (errno == EAGAIN) {
      return 1;
    } else if (errno != EINTR) {
      set_last_error(static_cast<uint32_t>(errno));
      return 0;
    }
  }
  return 1;
}

int file_append_line(FileHandle f, const char* first_line, const char* line) {
  int fd = static_cast<int>(f);
  // A lock that some other program keeps for long is given up on after about 5 s rather
  // than waited for.
  for (int tries = 0; !lock_file(fd, LOCK_EX | LOCK_NB); ++tries) {
    if (last_error() != EBUSY || tries == 500) return 0;
    usleep(10000);
  }
  struct stat st {};
  int ok = fstat(fd, &st) == 0 ? 1 : 0;
  if (!ok) set_last_error(static_cast<uint32_t>(errno));
  char last = '\n';
  if (ok && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) != 1) {
    set_last_error(static_cast<uint32_t>(errno));
    ok = 0;
  }
  std::string text = st.st_size == 0 ? first_line : last != '\n' ? "\r\n" : "";
  text += line;
  uint32_t put = 0;
  if (ok) ok = file_write(f, text.data(), static_cast<uint32_t>(text.size()), &put);
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

FileHandle file_lock_hold(const char* path) {
  int fd = open(path, O_RDWR | O_CREAT | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return fail_with(errno, -1);
  struct stat st;
  if (fstat(fd, &st) != 0) return fail_with(errno, fd);
  if (!S_ISREG(st.st_mode)) return fail_with(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, fd);
  for (int tries = 0; flock(fd, LOCK_EX | LOCK_NB) != 0; ++tries) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return fail_with(errno, fd);
    if (tries == 1000) return fail_with(EBUSY, fd);
    usleep(10000);
  }
  return fd;
}

int error_is_no_lock(uint32_t err) { return err == ENOLCK || err == EOPNOTSUPP || err == ENOTSUP ? 1 : 0; }

int file_replace(const char* from, const char* to) {
  if (rename(from, to) != 0) {
    set_last_error(static_cast<uint32_t>(errno));
    return 0;
  }
  // The rename lives in the folder: it is on the disk once the folder is.
  std::string folder(to);
  size_t slash = folder.rfind('/');
  folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int ok = dir >= 0 && fsync(dir) == 0;
  if (!ok) set_last_error(static_cast<uint32_t>(errno));
  if (dir >= 0) close(dir);
  return ok;
}

FileHandle file_create_private(const char* folder) {
  int fd = -1;
#ifdef O_TMPFILE
  // Never named at all, where the file system can.
  fd = open(folder, O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return fail_with(errno, -1);
#endif
  // Elsewhere a random name that nobody else can have chosen, gone the moment it is made.
  std::string name = std::string(folder) + "/.vorla-XXXXXX";
  fd = mkostemp(&name[0], O_CLOEXEC);
  if (fd < 0) return fail_with(errno, -1);
  if (unlink(name.c_str()) != 0) return fail_with(errno, fd);
  return fd;
}

static void stamp_of(const struct stat& st, FileStamp* s) {
  s->volume = static_cast<uint64_t>(st.st_dev);
  s->index = static_cast<uint64_t>(st.st_ino);
  s->size = static_cast<uint64_t>(st.st_size);
  s->modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

int file_stamp(FileHandle f, FileStamp* s) {
  struct stat st;
  if (fstat(static_cast<int>(f), &st) != 0) {
    set_last_error(static_cast<uint32_t>(errno));
    return 0;
  }
  stamp_of(st, s);
  return 1;
}

int path_stamp(const char* path, FileStamp* s) {
  struct stat st;
  if (stat(path, &st) != 0) {
    set_last_error(static_cast<uint32_t>(errno));
    return 0;
  }
  stamp_of(st, s);
  return 1;
}

int file_rewind(FileHandle f) {
  if (lseek(static_cast<int>(f), 0, SEEK_SET) != 0) {
    set_last_error(static_cast<uint32_t>(errno));
    return 0;
  }
  return 1;
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

int path_exists(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 ? 1 : 0;
}

int same_file(const char* a, const char* b) {
  struct stat sa, sb;
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return 0;
  return same_inode(sa, sb) ? 1 : 0;
}

int error_is_in_use(uint32_t err) { return err == EBUSY || err == EWOULDBLOCK ? 1 : 0; }

int error_is_missing(uint32_t err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
    case EISDIR:
    case EINVAL:  // not a regular file
    case ENXIO:
    case ENODEV:
    case ELOOP:
    case ENAMETOOLONG:
    case EACCES:
    case EPERM: return 1;
    default: return 0;
  }
}
