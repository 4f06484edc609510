#include "http/textout.h"

#include <math.h>

#include <charconv>

#include "util/jsontext.h"

namespace {

const char REPLACEMENT[] = "\xef\xbf\xbd";  // U+FFFD in UTF-8
// Doubles below this in magnitude hold every whole number exactly.
constexpr double WHOLELIMIT = 9007199254740992.0;  // 2^53

// Length of the well-formed UTF-8 sequence at p (1..4), or 0.
size_t utf8length(const unsigned char* p) {
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xbf;  // bounds of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    len = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    len = 3;
    if (c == 0xe0) lo = 0xa0;  // no overlong forms
    if (c == 0xed) hi = 0x9f;  // no surrogates
  } else if (c >= 0xf0 && c <= 0xf4) {
    len = 4;
    if (c == 0xf0) lo = 0x90;
    if (c == 0xf4) hi = 0x8f;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < len; i++)
    if (p[i] < 0x80 || p[i] > 0xbf) return 0;
  return len;
}

// Calls escape(out, byte) for each ASCII byte, copies multi-byte sequences
// and replaces malformed bytes.
template <typename Escape>
void appendutf8(std::string& out, const char* text, Escape escape) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p) {
    size_t len = utf8length(p);
    if (len == 0) {
      out += REPLACEMENT;
      p++;
    } else if (len == 1) {
      escape(out, static_cast<char>(*p++));
    } else {
      out.append(reinterpret_cast<const char*>(p), len);
      p += len;
    }
  }
}

}  // namespace

void appendlabelvalue(std::string& out, const char* text) {
  appendutf8(out, text, [](std::string& o, char c) {
    if (c == '\\')
      o += "\\\\";
    else if (c == '"')
      o += "\\\"";
    else if (c == '\n')
      o += "\\n";
    else
      o += c;
  });
}

void appendjsonstring(std::string& out, const char* text) {
  out += '"';
  appendutf8(out, text, appendjsonchar);
  out += '"';
}

void appendnumber(std::string& out, double value) {
  if (isnan(value)) {
    out += "NaN";
  } else if (isinf(value)) {
    out += value > 0 ? "+Inf" : "-Inf";
  } else {
    char buf[32];
    // Whole numbers (rpm, seconds) read best without an exponent.
    long long whole = static_cast<long long>(value);
    bool integral = value > -WHOLELIMIT && value < WHOLELIMIT &&
                    static_cast<double>(whole) == value;
    char* end = integral ? std::to_chars(buf, buf + sizeof buf, whole).ptr
                         : std::to_chars(buf, buf + sizeof buf, value).ptr;
    out.append(buf, end);
  }
}
