// Reads chassis.dat into the chassis table. Every error is fatal: the
// message goes to stderr and the process ends with status 1.
#include "config/chassisfile.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "config/linescan.h"
#include "model/datastructs.h"

namespace {

// One sensor kind as the parser sees it.
struct sensorkind {
  const char* countkeyword;  // "$$FANCOUNT"
  const char* keyword;       // "$$FAN"
  const char* label;         // "FAN", for messages
  int tablesize;
  int maxdigits;  // digits of the index
};

const sensorkind kinds[4] = {
    {"$$FANCOUNT", "$$FAN", "FAN", MAXFANS, 2},
    {"$$TEMPCOUNT", "$$TEMP", "TEMP", MAXTEMPS, 3},
    {"$$VOLTCOUNT", "$$VOLT", "VOLT", MAXVOLTS, 3},
    {"$$DISCCOUNT", "$$DISC", "DISC", MAXDISCS, 2},
};

int* countof(chassis* c, int kind) {
  switch (kind) {
    case FAN:
      return &c->numfans;
    case TEMP:
      return &c->numtemps;
    case VOLT:
      return &c->numvolts;
    default:
      return &c->numdiscs;
  }
}

[[noreturn]] void unknownline(const char* line) {
  configfatal(1,
              "Unknown line encountered in chassis configuration file:\n%s\n"
              "Exiting now.\n",
              line);
}

// Reads a count after its keyword; a count the tables cannot hold is
// refused rather than cut.
void readcount(chassis* c, int kind, const char* value, const char* line) {
  long count = strtol(value, nullptr, 10);
  if (count < 0 || count > kinds[kind].tablesize)
    configfatal(1,
                "%s count out of range (0 to %d) for chassis %s in chassis "
                "configuration file:\n%s\nExiting now.\n",
                kinds[kind].label, kinds[kind].tablesize, c->name, line);
  *countof(c, kind) = static_cast<int>(count);
}

// Stores one sensor line into slot index - 1 of its kind.
void storesensor(chassis* c, int kind, int index, const char* fields,
                 const char* line) {
  tarnsensor s;
  if (!parsesensor(&s, const_cast<char*>(fields)))
    configfatal(1,
                "Sensor field too long (names hold at most 95 characters, "
                "other fields 119) in chassis configuration file:\n%s\n"
                "Exiting now.\n",
                line);
  int i = index - 1;
  char* name = keepstring(s.name, NAMELEN);
  char* shortname = keepstring(s.shortname, NAMELEN);
  double* limits = nullptr;
  switch (kind) {
    case FAN:
      c->fanname[i] = name;
      c->fanshortname[i] = shortname;
      limits = c->fanlimit[i];
      break;
    case TEMP:
      c->tempname[i] = name;
      c->tempshortname[i] = shortname;
      limits = c->templimit[i];
      break;
    case VOLT:
      c->voltname[i] = name;
      c->voltshortname[i] = shortname;
      limits = c->voltlimit[i];
      break;
    default:
      c->discname[i] = name;
      c->discshortname[i] = shortname;
      c->disccrit[i] = s.critlow != 0.0;
      return;
  }
  limits[CRITLOW] = s.critlow;
  limits[ALERTLOW] = s.alertlow;
  limits[ALERTHIGH] = s.alerthigh;
  limits[CRITHIGH] = s.crithigh;
}

// Tries one section line as a sensor line of `kind`. False when the line is
// not one (wrong keyword, no index, or no space after the index).
bool trysensor(chassis* c, int kind, const char* line) {
  const sensorkind& k = kinds[kind];
  size_t len = strlen(k.keyword);
  if (strncmp(line, k.keyword, len) != 0 || *countof(c, kind) <= 0)
    return false;
  const char* p = line + len;
  int digits = 0;
  long index = 0;
  while (p[digits] >= '0' && p[digits] <= '9') {
    if (digits < 9) index = index * 10 + (p[digits] - '0');
    digits++;
  }
  if (digits == 0 || p[digits] != ' ') return false;
  if (digits > k.maxdigits || index < 1 || index > k.tablesize)
    configfatal(1,
                "%s sensor index out of range (1 to %d) for chassis %s in "
                "chassis configuration file:\n%s\nExiting now.\n",
                k.label, k.tablesize, c->name, line);
  storesensor(c, kind, static_cast<int>(index), p + digits + 1, line);
  return true;
}

void sectionline(chassis* c, const char* line) {
  if (strncmp(line, "$$OPENBMC", 9) == 0) {
    c->openbmc = true;
    return;
  }
  if (strncmp(line, "$$REDFISH", 9) == 0) {  // Redfish glue
    c->redfish = true;
    return;
  }
  for (int kind = FAN; kind <= DISC; kind++) {
    if (const char* value = afterkeyword(line, kinds[kind].countkeyword)) {
      readcount(c, kind, value, line);
      return;
    }
  }
  for (int kind = FAN; kind <= DISC; kind++)
    if (trysensor(c, kind, line)) return;
  // Anything else inside a section is ignored.
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

void resetchassis(chassis* c) {
  memset(c->name, 0, sizeof c->name);
  c->numfans = c->numtemps = c->numvolts = c->numdiscs = 0;
  c->openbmc = false;
  c->redfish = false;
  static const double defaults[4] = {-1.0, 0.0, 40000.0, 40001.0};
  for (int i = 0; i < MAXFANS; i++) {
    c->fanname[i] = c->fanshortname[i] = nullptr;
    memcpy(c->fanlimit[i], defaults, sizeof defaults);
  }
  for (int i = 0; i < MAXTEMPS; i++) {
    c->tempname[i] = c->tempshortname[i] = nullptr;
    memcpy(c->templimit[i], defaults, sizeof defaults);
  }
  for (int i = 0; i < MAXVOLTS; i++) {
    c->voltname[i] = c->voltshortname[i] = nullptr;
    memcpy(c->voltlimit[i], defaults, sizeof defaults);
  }
  for (int i = 0; i < MAXDISCS; i++) {
    c->discname[i] = c->discshortname[i] = nullptr;
    c->disccrit[i] = false;
  }
}

void cluster::parsechassis(char* path) {
  numchassis = 0;
  FILE* f = fopen(path, "r");
  if (!f)
    configfatal(1,
                "Unable to open chassis configuration file: %s\nExiting now.\n",
                path);
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
      sectionline(current, line);
      continue;
    }
    if (line[0] == '!' || line[0] == '#' || line[0] == ' ' || line[0] == '\n' ||
        line[0] == '\0')
      continue;
    const char* rest = afterkeyword(line, "$CHASSISTYPE");
    if (!rest) unknownline(line);
    if (numchassis >= MAXCHASSIS)
      configfatal(1, "Maximum chassis count of %d exceeded.\n", MAXCHASSIS);
    size_t len = strcspn(rest, " \n");
    if (len == 0)
      configfatal(1,
                  "Chassis type without a name in chassis configuration "
                  "file:\n%s\nExiting now.\n",
                  line);
    current = &mychassis[numchassis++];
    resetchassis(current);
    // A long type name is cut to what the record holds.
    if (len > sizeof current->name - 1) len = sizeof current->name - 1;
    memcpy(current->name, rest, len);
  }
  fclose(f);
}

void cluster::validatechassis() {
  for (int c = 0; c < numchassis; c++) {
    chassis* ch = &mychassis[c];
    for (int i = 0; i < ch->numfans; i++)
      if (!ch->fanname[i])
        configfatal(1,
                    "Failed to find or parse FAN%i for chassis %s\n"
                    "Exiting now.\n",
                    i + 1, ch->name);
    for (int i = 0; i < ch->numtemps; i++)
      if (!ch->tempname[i])
        configfatal(1,
                    "Failed to find or parse TEMP%i for chassis %s\n"
                    "Exiting now.\n",
                    i + 1, ch->name);
    for (int i = 0; i < ch->numvolts; i++)
      if (!ch->voltname[i])
        configfatal(1,
                    "Failed to find or parse VOLT%i for chassis %s\n"
                    "Exiting now.\n",
                    i + 1, ch->name);
    // Discrete slots are matched and printed by name too: a counted slot
    // without a definition would leave nothing to match or print.
    for (int i = 0; i < ch->numdiscs; i++)
      if (!ch->discname[i])
        configfatal(1,
                    "Failed to find or parse DISC%i for chassis %s\n"
                    "Exiting now.\n",
                    i + 1, ch->name);
  }
}
