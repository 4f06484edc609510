#include "util/jsontext.h"

void appendjsonchar(std::string& out, char c) {
  static const char hex[] = "0123456789abcdef";
  if (c == '"' || c == '\\') {
    out += '\\';
    out += c;
  } else if (c == '\n') {
    out += "\\n";
  } else if (c == '\t') {
    out += "\\t";
  } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
    out += "\\u00";
    out += hex[(c >> 4) & 0xf];
    out += hex[c & 0xf];
  } else {
    out += c;
  }
}

std::string jsonescaped(const char* text) {
  std::string out;
  for (const char* p = text; *p; p++) appendjsonchar(out, *p);
  return out;
}
