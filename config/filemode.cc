#include "config/filemode.h"

#include <stdio.h>
#include <sys/stat.h>

#include "model/globals.h"

namespace {

constexpr mode_t OTHERSREAD = S_IRGRP | S_IROTH;
constexpr mode_t PERMISSIONBITS = 07777;
constexpr int WARNINGLEN = 1024;  // the path is at most 513 characters

}  // namespace

std::string readablewarning(const char* path, mode_t mode) {
  if (!(mode & OTHERSREAD)) return "";
  char text[WARNINGLEN];
  snprintf(text, sizeof text,
           "Warning: %s holds BMC passwords but other users may read it "
           "(mode %04o). Make it readable by its owner only: chmod 600 %s\n",
           path, static_cast<unsigned>(mode & PERMISSIONBITS), path);
  return text;
}

std::string writablewarning(const char* path, mode_t mode, mode_t who) {
  if (!(mode & who)) return "";
  char text[WARNINGLEN];
  snprintf(text, sizeof text,
           "Warning: other users may change %s (mode %04o). Make it writable "
           "by its owner only: chmod go-w %s\n",
           path, static_cast<unsigned>(mode & PERMISSIONBITS), path);
  return text;
}

void warnifreadable(FILE* f, const char* path) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0) return;
  std::string warning = readablewarning(path, st.st_mode) +
                        writablewarning(path, st.st_mode, S_IWOTH);
  if (!warning.empty()) error_msg(warning.c_str());
}

void warnifdirwritable(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return;
  std::string warning = writablewarning(path, st.st_mode, S_IWGRP | S_IWOTH);
  if (!warning.empty()) error_msg(warning.c_str());
}
