// Preloaded into the tool: flock() on a regular file fails as on a file system that keeps
// no locks (NFS mounted without its lock service, some SMB and FUSE mounts); serial ports
// lock as usual.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>

extern "C" int flock(int fd, int operation) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    errno = ENOLCK;
    return -1;
  }
  static auto real = reinterpret_cast<int (*)(int, int)>(dlsym(RTLD_NEXT, "flock"));
  return real(fd, operation);
}
