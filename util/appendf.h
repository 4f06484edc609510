// printf into a fixed buffer piece by piece, for the texts (alert e-mail,
// SEL lines) that are built in place and must never run past their end.
#ifndef KESTREL_UTIL_APPENDF_H_
#define KESTREL_UTIL_APPENDF_H_

#include <stddef.h>

// Appends formatted text at *pos within out[0, outlen), cutting at the end;
// out stays terminated and *pos never passes outlen - 1.
void appendf(char* out, size_t outlen, size_t* pos, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

#endif  // KESTREL_UTIL_APPENDF_H_
