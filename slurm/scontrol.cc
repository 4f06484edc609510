#include "slurm/scontrol.h"

#include <stdio.h>
#include <string.h>

#include "model/datastructs.h"

const char KESTRELREASON[] = "kestrel:";

namespace {

const char* const LIMITNAME[NUMLIMITS] = {"critical low", "warning low",
                                          "warning high", "critical high"};

// A reason is one line of plain text: a line feed would end Slurm's record
// of it early, and its own record would no longer parse.
std::string tidy(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  if (text.size() > REASONLEN) text.resize(REASONLEN);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

const char* unitof(const node* n, int kind, int index) {
  switch (kind) {
    case FAN:
      return n->fanunit[index] == UNIT_PERCENT ? "%" : "rpm";
    case TEMP:
      return "C";
    case VOLT:
      return "V";
  }
  return "";
}

// Slurm's text of a state part, without the marks sinfo-style output may
// add ("*" for not responding and the like).
std::string bare(std::string part) {
  while (!part.empty() && strchr("*~#!%$@^-", part.back())) part.pop_back();
  return part;
}

}  // namespace

bool shownode::kestrels() const {
  return reason.compare(0, strlen(KESTRELREASON), KESTRELREASON) == 0;
}

bool parseshownode(const std::string& text, const std::string& name,
                   shownode* out) {
  *out = shownode();
  bool inrecord = false, found = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos) continue;
    line.erase(0, first);
    if (line.compare(0, 9, "NodeName=") == 0) {
      if (found) break;  // the next record
      out->name = line.substr(9, line.find(' ') - 9);
      inrecord = out->name == name;
      continue;
    }
    if (!inrecord) continue;
    // Free text runs to the end of its line and may hold anything.
    if (line.compare(0, 7, "Reason=") == 0) {
      out->reason = line.substr(7);
      size_t stamp = out->reason.rfind(" [");
      if (stamp != std::string::npos && out->reason.back() == ']' &&
          out->reason.find('@', stamp) != std::string::npos)
        out->reason.resize(stamp);
      continue;
    }
    if (line.compare(0, 8, "Comment=") == 0 ||
        line.compare(0, 6, "Extra=") == 0)
      continue;
    for (size_t at = 0; at < line.size();) {
      size_t sp = line.find(' ', at);
      if (sp == std::string::npos) sp = line.size();
      if (line.compare(at, 6, "State=") == 0 && !found) {
        out->state = line.substr(at + 6, sp - at - 6);
        found = true;
      }
      at = sp + 1;
    }
  }
  if (!found) return false;
  size_t at = 0;
  for (bool base = true; at <= out->state.size(); base = false) {
    size_t plus = out->state.find('+', at);
    if (plus == std::string::npos) plus = out->state.size();
    std::string part = bare(out->state.substr(at, plus - at));
    at = plus + 1;
    if (part == "DRAIN" || part == "DRAINED" || part == "DRAINING")
      out->drained = true;
    if ((base && part == "DOWN") || part == "FAIL" || part == "FAILING")
      out->down = true;
  }
  // Slurm's own DOWN for a silent slurmd is no one's intent: with
  // ReturnToService it would put a failing node back to work.
  if (out->down && out->reason == "Not responding" &&
      out->state.find("FAIL") == std::string::npos)
    out->down = false;
  return true;
}

std::string drainreason(const node* n, int kind, int index, double value,
                        const double* limits) {
  const char* sensor = "";
  if (n->thischassis && kind >= FAN && kind < NUMKINDS && index >= 0) {
    chassisslots slots = const_cast<chassis*>(n->thischassis)->slots(kind);
    if (index < slots.size && slots.names[index]) sensor = slots.names[index];
  }
  char text[REASONLEN + 64];
  if (kind == DISC) {
    snprintf(text, sizeof text, "%s %s critical", KESTRELREASON, sensor);
    return tidy(text);
  }
  // The limit crossed, the worst first, as the alert classifies it.
  int c = comparelimits(value, limits);
  int limit = c == -2 ? CRITLOW : c == -1 ? ALERTLOW : c == 2 ? CRITHIGH
                                                              : ALERTHIGH;
  const char* unit = unitof(n, kind, index);
  snprintf(text, sizeof text, "%s %s %.2f %s %s %s %.2f %s", KESTRELREASON,
           sensor, value, unit, c < 0 ? "below" : "above", LIMITNAME[limit],
           limits[limit], unit);
  return tidy(text);
}

std::string hardwarereason(const char* line) {
  const char* what = line;
  // Past "Hardware event on <node> at <time>: ": the node is the one
  // drained, the time is in the log.
  if (strncmp(line, "Hardware event on ", 18) == 0) {
    const char* colon = strstr(line, ": ");
    if (colon) what = colon + 2;
  }
  return tidy(std::string(KESTRELREASON) + " hardware event: " + what);
}

std::vector<std::string> showargs(const char* path, const char* nodename) {
  return {path, "show", "node", nodename};
}

std::vector<std::string> drainargs(const char* path, const char* nodename,
                                   const std::string& reason) {
  // No shell: the reason is one argument, spaces and all.
  return {path, "update", std::string("NodeName=") + nodename, "State=DRAIN",
          "Reason=" + reason};
}

std::vector<std::string> resumeargs(const char* path, const char* nodename) {
  return {path, "update", std::string("NodeName=") + nodename,
          "State=RESUME"};
}
