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

void warnifreadable(FILE* f, const char* path) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0) return;
  std::string warning = readablewarning(path, st.st_mode);
  if (!warning.empty()) error_msg(warning.c_str());
}
