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

// Checks the open file `f` (fstat, so the file checked is the one read) and
// hands the warning, if any, to error_msg. A failing fstat says nothing.
void warnifreadable(FILE* f, const char* path);

#endif  // KESTREL_CONFIG_FILEMODE_H_
