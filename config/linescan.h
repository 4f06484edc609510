// Line reading and field splitting shared by the chassis and cluster files.
#ifndef KESTREL_CONFIG_LINESCAN_H_
#define KESTREL_CONFIG_LINESCAN_H_

#include <stddef.h>
#include <stdio.h>

#include <memory>
#include <string>

constexpr int LINELEN = 400;      // line buffer: 398 characters and a newline
constexpr size_t MAXFIELD = 119;  // longest sensor field or setting value

// An open configuration file, closed when it goes out of scope.
struct fileclose {
  void operator()(FILE* f) const { fclose(f); }
};
typedef std::unique_ptr<FILE, fileclose> configfile;

// Reads the next line into buf (LINELEN bytes); a line longer than the
// buffer comes in pieces. False at end of file: a last line without a
// newline is never processed.
bool readconfigline(FILE* f, char* buf);

// The text after `keyword` and its one separator character, or null when
// the line does not begin with `keyword`.
const char* afterkeyword(const char* line, const char* keyword);

// Splits text into at most `count` fields: single spaces separate fields,
// a double quote toggles quoting and is dropped, and the text ends at a
// newline, a NUL or a 0xFF byte. Missing fields are empty. False when one
// of the fields holds more than `limit` characters.
bool splitfields(const char* text, int count, size_t limit,
                 std::string* fields);

// A zeroed heap block of `size` bytes holding `text`; configuration strings
// live for the whole run, so the block is kept and never freed.
char* keepstring(const std::string& text, size_t size);
// The number of blocks kept so far, and the freeing of every block kept after
// the first `keep`. Only for a process that reads configurations over and
// over with no thread using the tables: the fuzz targets.
size_t keptcount();
void releasekept(size_t keep);

#endif  // KESTREL_CONFIG_LINESCAN_H_
