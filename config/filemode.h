// The cluster file holds BMC passwords: like ssh with a private key, the
// daemon warns at start when other users may read it, but runs on.
#ifndef KESTREL_CONFIG_FILEMODE_H_
#define KESTREL_CONFIG_FILEMODE_H_

#include <stdio.h>
#include <sys/types.h>

#include <string>

// The warning for a secrets file at `path` whose st_mode is `mode`: non-empty
// exactly when the group or others may read it; it names the path and the
// permission bits in octal. Pure.
std::string readablewarning(const char* path, mode_t mode);

// The warning for a file or directory at `path` whose st_mode is `mode`
// when any of the write bits `who` (S_IWGRP, S_IWOTH) is set: others could
// change the cluster file, or put links and files in place of the pipes of
// the data directory, which the daemon opens as root. Pure.
std::string writablewarning(const char* path, mode_t mode, mode_t who);

// Checks the open file `f` (fstat, so the file checked is the one read) and
// hands the warnings, if any, to error_msg: readable by others, writable by
// others. A failing fstat says nothing.
void warnifreadable(FILE* f, const char* path);
// Warns when the group or others may write into the data directory.
void warnifdirwritable(const char* path);

#endif  // KESTREL_CONFIG_FILEMODE_H_
