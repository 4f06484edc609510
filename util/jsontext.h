// The one way text becomes the inside of a JSON string, for the status
// document and for the bodies sent to BMCs alike.
#ifndef KESTREL_UTIL_JSONTEXT_H_
#define KESTREL_UTIL_JSONTEXT_H_

#include <string>

// Appends one byte as it stands inside a JSON string: " and \ escaped, line
// feed and tab as \n and \t, other control characters and DEL as \u00xx.
// Bytes from 0x80 up are appended as they are.
void appendjsonchar(std::string& out, char c);

// `text` escaped byte by byte as above, quotes not included. Bytes that are
// not UTF-8 are kept: a password must reach the BMC as the file gave it.
std::string jsonescaped(const char* text);

#endif  // KESTREL_UTIL_JSONTEXT_H_
