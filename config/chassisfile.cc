// Reads chassis.dat into the chassis table. Every error refuses the file
// (status 1): the reader stops at the first and says why.
#include "config/chassisfile.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "config/configerror.h"
#include "config/linescan.h"
#include "model/datastructs.h"
#include "model/globals.h"

namespace {

// Keywords of one sensor kind, in kind order.
struct sensorkeywords {
  const char* countkeyword;  // "$$FANCOUNT"
  const char* keyword;       // "$$FAN"
  int maxdigits;             // digits of the index
};

const sensorkeywords kinds[NUMKINDS] = {
    {"$$FANCOUNT", "$$FAN", 2},
    {"$$TEMPCOUNT", "$$TEMP", 3},
    {"$$VOLTCOUNT", "$$VOLT", 3},
    {"$$DISCCOUNT", "$$DISC", 2},
};

// Section lines that choose how the chassis's BMCs are reached; a chassis
// without one is reached over IPMI.
const struct {
  const char* keyword;
  int kind;
} transportkeywords[] = {
    {"$$OPENBMC", TRANSPORT_OPENBMC},
    {"$$REDFISH", TRANSPORT_REDFISH},
};

bool unknownline(const char* line, configerror* err) {
  return configfail(err, 1,
                    "Unknown line encountered in chassis configuration file:\n"
                    "%s\nExiting now.\n",
                    line);
}

// Reads a count after its keyword; a count the tables cannot hold is
// refused rather than cut.
bool readcount(chassis* c, int kind, const char* value, const char* line,
               configerror* err) {
  long count = strtol(value, nullptr, 10);
  if (count < 0 || count > kindsize(kind))
    return configfail(err, 1,
                      "%s count out of range (0 to %d) for chassis %s in "
                      "chassis configuration file:\n%s\nExiting now.\n",
                      kindname(kind), kindsize(kind), c->name, line);
  *c->countof(kind) = static_cast<int>(count);
  return true;
}

// Stores one sensor line into slot index - 1 of its kind.
bool storesensor(chassis* c, int kind, int index, const char* fields,
                 const char* line, configerror* err) {
  tarnsensor s;
  if (!parsesensor(&s, const_cast<char*>(fields)))
    return configfail(err, 1,
                      "Sensor field too long (names hold at most 95 "
                      "characters, other fields 119) in chassis configuration "
                      "file:\n%s\nExiting now.\n",
                      line);
  int i = index - 1;
  chassisslots slots = c->slots(kind);
  slots.names[i] = keepstring(s.name, NAMELEN);
  slots.labels[i] = keepstring(s.shortname, NAMELEN);
  if (kind == DISC) {
    slots.crit[i] = s.critlow != 0.0;
    return true;
  }
  double* limits = slots.limits[i];
  limits[CRITLOW] = s.critlow;
  limits[ALERTLOW] = s.alertlow;
  limits[ALERTHIGH] = s.alerthigh;
  limits[CRITHIGH] = s.crithigh;
  return true;
}

// Tries one section line as a sensor line of `kind`; *matched tells whether
// it is one (keyword, index and a space after it). False on an error.
bool trysensor(chassis* c, int kind, const char* line, bool* matched,
               configerror* err) {
  *matched = false;
  const sensorkeywords& k = kinds[kind];
  size_t len = strlen(k.keyword);
  if (strncmp(line, k.keyword, len) != 0 || *c->countof(kind) <= 0)
    return true;
  const char* p = line + len;
  int digits = 0;
  long index = 0;
  while (p[digits] >= '0' && p[digits] <= '9') {
    if (digits < 9) index = index * 10 + (p[digits] - '0');
    digits++;
  }
  if (digits == 0 || p[digits] != ' ') return true;
  *matched = true;
  if (digits > k.maxdigits || index < 1 || index > kindsize(kind))
    return configfail(err, 1,
                      "%s sensor index out of range (1 to %d) for chassis %s "
                      "in chassis configuration file:\n%s\nExiting now.\n",
                      kindname(kind), kindsize(kind), c->name, line);
  return storesensor(c, kind, static_cast<int>(index), p + digits + 1, line,
                     err);
}

bool sectionline(chassis* c, const char* line, configerror* err) {
  for (const auto& t : transportkeywords) {
    if (strncmp(line, t.keyword, strlen(t.keyword)) == 0) {
      c->transportkind = t.kind;
      return true;
    }
  }
  for (int kind = FAN; kind < NUMKINDS; kind++)
    if (const char* value = afterkeyword(line, kinds[kind].countkeyword))
      return readcount(c, kind, value, line, err);
  for (int kind = FAN; kind < NUMKINDS; kind++) {
    bool matched;
    if (!trysensor(c, kind, line, &matched, err)) return false;
    if (matched) return true;
  }
  return true;  // anything else inside a section is ignored
}

}  // namespace

int parsesensor(tarnsensor* thissensor, char* origline) {
  std::string f[6];
  if (!splitfields(origline, 6, MAXFIELD, f)) return 0;
  if (f[0].size() >= NAMELEN || f[1].size() >= NAMELEN) return 0;
  memset(thissensor->shortname, 0, NAMELEN);
  memset(thissensor->name, 0, NAMELEN);
  memcpy(thissensor->shortname, f[0].data(), f[0].size());
  memcpy(thissensor->name, f[1].data(), f[1].size());
  thissensor->critlow = atof(f[2].c_str());
  thissensor->alertlow = atof(f[3].c_str());
  thissensor->alerthigh = atof(f[4].c_str());
  thissensor->crithigh = atof(f[5].c_str());
  return 1;
}

void resetchassis(chassis* c) { *c = chassis(); }

bool parsechassis(const char* path, cluster* cl, configerror* err) {
  configfile file(fopen(path, "r"));
  if (!file)
    return configfail(
        err, 1, "Unable to open chassis configuration file: %s\nExiting now.\n",
        path);
  return readchassisfile(file.get(), cl, err);
}

bool readchassisfile(FILE* f, cluster* cl, configerror* err) {
  cl->numchassis = 0;
  char line[LINELEN];
  chassis* current = nullptr;  // the chassis whose section is open
  while (readconfigline(f, line)) {
    if (current) {
      if (line[0] == '!' || line[0] == '#') continue;
      // The first line without "$" second ends the section and is consumed.
      if (line[0] == '\0' || line[1] != '$') {
        current = nullptr;
        continue;
      }
      if (line[0] == ' ') continue;
      if (!sectionline(current, line, err)) return false;
      continue;
    }
    if (line[0] == '!' || line[0] == '#' || line[0] == ' ' || line[0] == '\n' ||
        line[0] == '\0')
      continue;
    const char* rest = afterkeyword(line, "$CHASSISTYPE");
    if (!rest) return unknownline(line, err);
    if (cl->numchassis >= MAXCHASSIS)
      return configfail(err, 1, "Maximum chassis count of %d exceeded.\n",
                        MAXCHASSIS);
    size_t len = strcspn(rest, " \n");
    if (len == 0)
      return configfail(err, 1,
                        "Chassis type without a name in chassis configuration "
                        "file:\n%s\nExiting now.\n",
                        line);
    current = &mychassis[cl->numchassis++];
    resetchassis(current);
    // A long type name is cut to what the record holds.
    if (len > sizeof current->name - 1) len = sizeof current->name - 1;
    memcpy(current->name, rest, len);
  }
  return true;
}

bool validatechassis(const cluster* cl, configerror* err) {
  // Discrete slots are matched and printed by name too: a counted slot
  // without a definition would leave nothing to match or print.
  for (int c = 0; c < cl->numchassis; c++) {
    chassis* ch = &mychassis[c];
    for (int kind = FAN; kind < NUMKINDS; kind++) {
      chassisslots slots = ch->slots(kind);
      for (int i = 0; i < slots.count; i++)
        if (!slots.names[i])
          return configfail(err, 1,
                            "Failed to find or parse %s%i for chassis %s\n"
                            "Exiting now.\n",
                            kindname(kind), i + 1, ch->name);
    }
  }
  return true;
}
