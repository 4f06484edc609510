#include "output/ownpipe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace {

// Device and inode of each pipe made, 0 before; read by the signal handler.
std::atomic<unsigned long> madedev[2];
std::atomic<unsigned long> madeino[2];

}  // namespace

int makeownpipe(int which, const char* path, mode_t mode) {
  unlink(path);
  int made = mkfifo(path, mode);
  struct stat st;
  if (made == 0 && fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    madedev[which].store(st.st_dev);
    madeino[which].store(st.st_ino);
  }
  return made;
}

bool isownpipe(int which, const char* path) {
  struct stat st;
  return madeino[which].load() != 0 &&
         fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISFIFO(st.st_mode) && st.st_dev == madedev[which].load() &&
         st.st_ino == madeino[which].load();
}
