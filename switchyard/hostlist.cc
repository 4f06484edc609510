#include "switchyard/hostlist.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

// Nine digits fit any unsigned long, and no node is numbered beyond them.
constexpr size_t MAXDIGITS = 9;

bool fail(std::string* error, const std::string& why) {
  *error = why;
  return false;
}

bool toomany(std::string* error) {
  return fail(error,
              "more than " + std::to_string(MAXHOSTLISTNAMES) + " names");
}

bool isdigitchar(char c) { return c >= '0' && c <= '9'; }

// Reads the digits at *pos into *value; false when there are none or too
// many.
bool readnumber(const std::string& s, size_t* pos, unsigned long* value,
                int* width) {
  size_t start = *pos;
  while (*pos < s.size() && isdigitchar(s[*pos])) ++*pos;
  size_t len = *pos - start;
  if (len == 0 || len > MAXDIGITS) return false;
  *width = static_cast<int>(len);
  *value = strtoul(s.c_str() + start, nullptr, 10);
  return true;
}

// The numbers of one bracket's inside ("01-04,07"), at most `room` of them.
bool expandbracket(const std::string& body, size_t room,
                   std::vector<std::string>* out, std::string* error) {
  const std::string shown = "[" + body + "]";
  if (body.empty()) return fail(error, "an empty bracket []");
  size_t pos = 0;
  for (;;) {
    unsigned long lo, hi;
    int width, hiwidth;
    size_t at = pos;
    bool ok = readnumber(body, &pos, &lo, &width);
    hi = lo;
    if (ok && pos < body.size() && body[pos] == '-') {
      ++pos;
      ok = readnumber(body, &pos, &hi, &hiwidth);
    }
    if (!ok || (pos < body.size() && body[pos] != ',')) {
      bool long_number = false;
      for (size_t i = at, run = 0; i < body.size() && body[i] != ','; i++) {
        run = isdigitchar(body[i]) ? run + 1 : 0;
        if (run > MAXDIGITS) long_number = true;
      }
      return fail(error, long_number
                             ? shown + " has a number of more than 9 digits"
                             : shown + " holds something other than numbers "
                                       "and ranges (\"01-04,07\")");
    }
    if (hi < lo)
      return fail(error, "the range " + body.substr(at, pos - at) + " in " +
                             shown + " runs backwards");
    if (hi - lo >= room - out->size())
      return toomany(error);
    char buf[32];
    for (unsigned long v = lo; v <= hi; v++) {
      snprintf(buf, sizeof buf, "%0*lu", width, v);
      out->push_back(buf);
    }
    if (pos == body.size()) return true;
    ++pos;  // past the comma: another number must follow
    if (pos == body.size())
      return fail(error, shown + " ends in a comma");
  }
}

// Appends the names of one comma-free part ("rack1-n[01-04]") to *out, at
// most `room` of them. Its brackets are known to pair up.
bool expandname(const std::string& name, size_t room,
                std::vector<std::string>* out, std::string* error) {
  std::vector<std::string> done{""};
  size_t pos = 0;
  while (pos < name.size()) {
    size_t open = name.find('[', pos);
    std::string text = name.substr(pos, open - pos);
    for (std::string& d : done) d += text;
    if (open == std::string::npos) break;
    size_t close = name.find(']', open);
    std::vector<std::string> numbers;
    if (!expandbracket(name.substr(open + 1, close - open - 1), room, &numbers,
                       error))
      return false;
    // Every combination so far, times this bracket's numbers.
    if (numbers.size() > room / done.size())
      return toomany(error);
    std::vector<std::string> next;
    next.reserve(done.size() * numbers.size());
    for (const std::string& d : done)
      for (const std::string& n : numbers) next.push_back(d + n);
    done.swap(next);
    pos = close + 1;
  }
  if (done.size() > room)
    return toomany(error);
  out->insert(out->end(), done.begin(), done.end());
  return true;
}

}  // namespace

bool expandhostlist(const std::string& list, std::vector<std::string>* names,
                    std::string* error) {
  if (list.empty()) return fail(error, "it is empty");
  // Split at the commas outside brackets, checking that brackets pair up.
  std::vector<std::string> parts;
  size_t start = 0;
  bool inbracket = false;
  for (size_t i = 0; i <= list.size(); i++) {
    char c = i < list.size() ? list[i] : ',';
    if (c == '[' || c == ']') {
      if (inbracket == (c == '['))
        return fail(error, "brackets that do not pair up");
      inbracket = c == '[';
    } else if (c == ',' && !inbracket) {
      if (i == start) return fail(error, "an empty name between commas");
      parts.push_back(list.substr(start, i - start));
      start = i + 1;
    }
  }
  if (inbracket) return fail(error, "brackets that do not pair up");

  std::vector<std::string> out;
  for (const std::string& part : parts)
    if (!expandname(part, MAXHOSTLISTNAMES - out.size(), &out, error))
      return false;
  names->swap(out);
  return true;
}
