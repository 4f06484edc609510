// The chassis section a probe prints. Sensor lines follow the BMC's order
// across kinds (every count line comes first, as the reader needs), and
// each is preceded by comments on its reading and its guessed limits.
#include "probe/section.h"

#include <ctype.h>
#include <stdio.h>

#include <algorithm>

#include "model/datastructs.h"

namespace {

// Where the BMC gives no threshold: limits so wide that no reading leaves
// them, low and high per kind (usual units; percent fans 0..100).
const double GUESSLOW[NUMKINDS] = {0, -40, -1000, 0};
const double GUESSHIGH[NUMKINDS] = {50000, 125, 1000, 0};

const char* const LIMITWORDS[NUMLIMITS] = {"critical low", "alert low",
                                           "alert high", "critical high"};
const char* const HEALTHWORDS[] = {"healthy", "warning", "critical",
                                   "unknown"};

std::string number(double v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.6g", v == 0 ? 0.0 : v);  // no "-0"
  return buf;
}

// A name the chassis file can hold: within the name room, no quote (which
// would toggle quoting) and nothing that ends a line or a field.
bool writable(const std::string& name) {
  if (name.empty() || name.size() > PROBELABELLEN) return false;
  for (unsigned char c : name)
    if (c == '"' || c == '\n' || c == '\r' || c == 0xFF || c < 0x20)
      return false;
  return true;
}

std::string quoted(const std::string& name) {
  return name.find(' ') == std::string::npos ? name : "\"" + name + "\"";
}

// Fills the limits the BMC does not give: an alert limit at its critical
// neighbour where that is known, else the kind's wide guess; kept in order.
void filllimits(const offeredsensor& o, double* row, bool* guessed) {
  double low = GUESSLOW[o.kind], high = GUESSHIGH[o.kind];
  if (o.unit == UNIT_PERCENT) low = 0, high = 100;
  for (int l = 0; l < NUMLIMITS; l++) {
    guessed[l] = !o.haslimit[l];
    row[l] = o.limits[l];
  }
  if (guessed[CRITLOW]) row[CRITLOW] = low;
  if (guessed[CRITHIGH]) row[CRITHIGH] = high;
  if (guessed[ALERTLOW])
    row[ALERTLOW] = o.haslimit[CRITLOW] ? row[CRITLOW] : low;
  if (guessed[ALERTHIGH])
    row[ALERTHIGH] = o.haslimit[CRITHIGH] ? row[CRITHIGH] : high;
  // A BMC limit beyond a guess moves the guess, never the BMC's value.
  if (guessed[CRITLOW]) row[CRITLOW] = std::min(row[CRITLOW], row[ALERTLOW]);
  if (guessed[ALERTLOW]) row[ALERTLOW] = std::min(row[ALERTLOW], row[ALERTHIGH]);
  if (guessed[ALERTHIGH])
    row[ALERTHIGH] = std::max(row[ALERTHIGH], row[ALERTLOW]);
  if (guessed[CRITHIGH])
    row[CRITHIGH] = std::max(row[CRITHIGH], row[ALERTHIGH]);
}

std::string readingtext(const offeredsensor& o) {
  if (!o.hasreading) return "no reading";
  if (o.kind == DISC) {
    int h = static_cast<int>(o.reading);
    return HEALTHWORDS[h >= 0 && h <= 3 ? h : 3];
  }
  std::string text = number(o.reading);
  if (o.unit == UNIT_PERCENT) return text + " percent";
  return o.unittext.empty() ? text : text + " " + o.unittext;
}

// Comment lines listing `names`, wrapped, each beginning with "!   ".
void listnames(std::string* out, const std::vector<std::string>& names) {
  std::string line = "!  ";
  for (const std::string& n : names) {
    if (line.size() > 4 && line.size() + n.size() > 76) {
      *out += line + "\n";
      line = "!  ";
    }
    line += " " + n;
  }
  if (line.size() > 3) *out += line + "\n";
}

}  // namespace

size_t editdistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); j++) row[j] = j;
  for (size_t i = 1; i <= a.size(); i++) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); j++) {
      size_t above = row[j];
      bool same = tolower(static_cast<unsigned char>(a[i - 1])) ==
                  tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::vector<std::string> nearestnames(const std::string& name,
                                      const std::vector<offeredsensor>& offered,
                                      size_t most) {
  std::vector<std::pair<size_t, size_t>> ranked;  // distance, position
  for (size_t i = 0; i < offered.size(); i++)
    ranked.push_back({editdistance(name, offered[i].name), i});
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const std::pair<size_t, size_t>& x,
                      const std::pair<size_t, size_t>& y) {
                     return x.first < y.first;
                   });
  std::vector<std::string> out;
  for (const auto& r : ranked) {
    const std::string& n = offered[r.second].name;
    if (out.size() >= most) break;
    if (std::find(out.begin(), out.end(), n) == out.end()) out.push_back(n);
  }
  return out;
}

bool bindsto(const char* name, const offeredsensor& o) {
  return o.name == name || (!o.id.empty() && o.id == name);
}

std::string labelfor(const std::string& name, std::set<std::string>* taken) {
  std::string base = name.substr(name.rfind('/') + 1 < name.size()
                                     ? name.rfind('/') + 1
                                     : 0);
  if (name.find('/') == std::string::npos) base = name;
  std::string label;
  for (unsigned char c : base) {
    bool keep = isalnum(c) || c == '-' || c == '.' || c == '+' || c == '_';
    if (keep)
      label += static_cast<char>(c);
    else if (!label.empty() && label.back() != '_')
      label += '_';
  }
  while (!label.empty() && label.back() == '_') label.pop_back();
  if (label.empty()) label = "sensor";
  if (label.size() > PROBELABELLEN) label.resize(PROBELABELLEN);
  std::string unique = label;
  for (int k = 2; taken->count(unique); k++) {
    std::string suffix = "_" + std::to_string(k);
    unique = label.substr(0, PROBELABELLEN - suffix.size()) + suffix;
  }
  taken->insert(unique);
  return unique;
}

std::string writesection(const char* nodename, const char* typename_,
                         int transportkind, const bmcoffer& offer,
                         const chassis* present) {
  std::string out;
  // Which offered sensors fit: writable names, within the table sizes. A
  // reading goes to the first slot of its name, so a name offered again is
  // written as the sensor's Id where the transport binds by it and nothing
  // else bears it, and is left out otherwise.
  struct entry {
    const offeredsensor* o;
    std::string name;
  };
  std::vector<entry> listed;
  std::vector<std::string> unwritable, twice, overflow[NUMKINDS];
  std::set<std::string> used, offeredname;
  for (const offeredsensor& o : offer.sensors) offeredname.insert(o.name);
  int counts[NUMKINDS] = {};
  for (const offeredsensor& o : offer.sensors) {
    std::string name = o.name;
    if (used.count(name)) {
      if (o.id.empty() || used.count(o.id) || offeredname.count(o.id)) {
        twice.push_back(quoted(o.name));
        continue;
      }
      name = o.id;
    }
    if (!writable(name)) {
      unwritable.push_back(name);
    } else if (counts[o.kind] >= kindsize(o.kind)) {
      overflow[o.kind].push_back(quoted(name));
    } else {
      counts[o.kind]++;
      used.insert(name);
      listed.push_back({&o, name});
    }
  }

  out += "! Sensors the BMC of " + std::string(nodename) +
         " offers, in its order, with its own thresholds as limits.\n";
  if (!offer.why.empty()) out += "! Note: " + offer.why + "\n";
  out += "! Discrete sensors get the critical mark 0: write 1 to have their\n"
         "! critical state power the node off.\n";
  out += "$CHASSISTYPE " + std::string(typename_) + "\n";
  if (transportkind == TRANSPORT_OPENBMC) out += "$$OPENBMC\n";
  if (transportkind == TRANSPORT_REDFISH) out += "$$REDFISH\n";
  for (int kind = FAN; kind < NUMKINDS; kind++)
    if (counts[kind] > 0)
      out += "$$" + std::string(kindname(kind)) + "COUNT " +
             std::to_string(counts[kind]) + "\n";

  std::set<std::string> labels;
  int index[NUMKINDS] = {};
  for (const entry& e : listed) {
    const offeredsensor* o = e.o;
    std::string label = labelfor(o->name, &labels);
    out += "! " + o->name + ": " + readingtext(*o) + "\n";
    if (e.name != o->name)
      out += "!   named by its Id: an earlier sensor has its name\n";
    std::string line = "$$" + std::string(kindname(o->kind)) +
                       std::to_string(++index[o->kind]) + " " + label + " " +
                       quoted(e.name);
    if (o->kind == DISC) {
      out += line + " 0\n";
      continue;
    }
    double row[NUMLIMITS];
    bool guessed[NUMLIMITS];
    filllimits(*o, row, guessed);
    std::string guesses;
    for (int l = 0; l < NUMLIMITS; l++)
      if (guessed[l]) guesses += (guesses.empty() ? "" : ", ") + std::string(LIMITWORDS[l]);
    if (!guesses.empty())
      out += "!   guessed, the BMC gives none: " + guesses + "\n";
    if (o->unit == UNIT_PERCENT)
      out += "!   a fan in percent of full speed: its limits are percent\n";
    for (int l = 0; l < NUMLIMITS; l++) line += " " + number(row[l]);
    out += line + "\n";
  }
  out += "\n";  // ends the section

  for (int kind = FAN; kind < NUMKINDS; kind++) {
    if (overflow[kind].empty()) continue;
    out += "! Not listed, beyond the " + std::to_string(kindsize(kind)) + " " +
           kindname(kind) + " sensors a chassis holds:\n";
    listnames(&out, overflow[kind]);
  }
  if (!twice.empty()) {
    out += "! Not listed, names offered again (a reading goes to the first\n"
           "! sensor of its name):\n";
    listnames(&out, twice);
  }
  if (!unwritable.empty()) {
    out += "! Not listed, names the chassis file cannot hold:\n";
    listnames(&out, unwritable);
  }
  if (!offer.unwatched.empty()) {
    out += "! Offered but of kinds kestrel does not watch:\n";
    listnames(&out, offer.unwatched);
  }

  if (!present) return out;
  std::vector<std::string> binds, unbound;
  int slots = 0;
  for (int kind = FAN; kind < NUMKINDS; kind++) {
    chassisslots cs = const_cast<chassis*>(present)->slots(kind);
    for (int i = 0; i < cs.count; i++) {
      if (!cs.names[i]) continue;
      slots++;
      const offeredsensor* found = nullptr;
      for (const offeredsensor& o : offer.sensors)
        if (bindsto(cs.names[i], o)) {
          found = &o;
          break;
        }
      std::string what = std::string(kindname(kind)) + std::to_string(i + 1) +
                         " " + quoted(cs.names[i]);
      if (found) {
        if (found->kind != kind)
          what += std::string(" (offered as ") + kindname(found->kind) + ")";
        binds.push_back(what);
        continue;
      }
      std::string nearest;
      for (const std::string& n : nearestnames(cs.names[i], offer.sensors,
                                               PROBENEAREST))
        nearest += (nearest.empty() ? "" : ", ") + quoted(n);
      unbound.push_back(what + (nearest.empty() ? "" : "; nearest: " + nearest));
    }
  }
  out += "! The present section " + std::string(present->name) + " of " +
         nodename + ":";
  if (slots == 0) {
    out += " names no sensor.\n";
    return out;
  }
  out += " " + std::to_string(binds.size()) + " of " + std::to_string(slots) +
         " sensors bind.\n";
  if (!binds.empty()) {
    out += "! Binds:\n";
    for (const std::string& b : binds) out += "!   " + b + "\n";
  }
  if (!unbound.empty()) {
    out += "! Does not bind (the BMC offers no sensor of that name):\n";
    for (const std::string& u : unbound) out += "!   " + u + "\n";
  }
  return out;
}
