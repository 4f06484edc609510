#include "config/linescan.h"

#include <stdarg.h>
#include <string.h>

#include <vector>

#include "model/globals.h"

bool readconfigline(FILE* f, char* buf) {
  if (!fgets(buf, LINELEN, f)) return false;
  // A piece that ran into the end of the file had no newline: drop it.
  return !feof(f);
}

const char* afterkeyword(const char* line, const char* keyword) {
  size_t len = strlen(keyword);
  if (strncmp(line, keyword, len) != 0) return nullptr;
  const char* rest = line + len;
  return *rest ? rest + 1 : rest;
}

bool splitfields(const char* text, int count, size_t limit,
                 std::string* fields) {
  for (int i = 0; i < count; i++) fields[i].clear();
  bool quoted = false;
  int field = 0;
  for (const char* p = text; field < count; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\0' || c == '\n' || c == 0xFF) break;
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ' ' && !quoted) {
      field++;
    } else {
      if (fields[field].size() >= limit) return false;
      fields[field] += static_cast<char>(c);
    }
  }
  return true;
}

namespace {

// Reachable for the whole run, never destroyed: the blocks it holds are
// referenced from the tables and must outlive every thread.
std::vector<char*>* kept = new std::vector<char*>;

}  // namespace

size_t keptcount() { return kept->size(); }

void releasekept(size_t keep) {
  while (kept->size() > keep) {
    delete[] kept->back();
    kept->pop_back();
  }
}

char* keepstring(const std::string& text, size_t size) {
  char* block = new char[size]();
  memcpy(block, text.data(), text.size() < size ? text.size() : size - 1);
  kept->push_back(block);
  return block;
}
