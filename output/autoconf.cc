// The configuration summary: the nodes, their sensor labels and limits in
// the order of the status records, readable by the web server's group.
#include "output/autoconf.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "model/datastructs.h"
#include "model/globals.h"
#include "output/valuetext.h"

namespace {

// Appends the four limit lists of one sensor kind, in the order alert low,
// alert high, critical low, critical high.
void appendlimits(std::string& out, const chassisslots& slots) {
  static const struct {
    const char* suffix;
    int column;
  } rows[NUMLIMITS] = {{"ALERTLO", ALERTLOW},
                       {"ALERTHI", ALERTHIGH},
                       {"SHUTDOWNLO", CRITLOW},
                       {"SHUTDOWNHI", CRITHIGH}};
  // Temperatures and voltages in hundredths, like the status stream.
  bool scaled = slots.kind != FAN;
  for (const auto& row : rows) {
    out += "$$";
    out += kindname(slots.kind);
    out += row.suffix;
    for (int i = 0; i < slots.count; i++) {
      double v = slots.limits[i][row.column];
      appendint(out, scaled ? hundredths(v) : truncint(v));
    }
    out += "\n";
  }
}

void appendlabels(std::string& out, const chassisslots& slots) {
  for (int i = 0; i < slots.count; i++) {
    out += " ";
    // An undefined slot is refused when the chassis file is read; this only
    // keeps a missing label from being read through.
    if (slots.labels[i]) out += slots.labels[i];
  }
}

}  // namespace

void formatautoconfblock(node* n, int index, std::string& out) {
  chassis* c = n->thischassis;
  out += "\n$NODE ";
  out += std::to_string(index + 1);
  out += " ";
  out += n->name;
  out += "\n$$CHASSIS ";
  out += c->name;
  out += "\n$$USER ";
  out += n->username;
  if (strcmp(n->username, "SMI") == 0) {
    // The local system interface has no password and no console.
    out += "\n$$FANLABELS ";
  } else {
    out += "\n$$PASSWORD ";
    out += n->password;
    out += c->transportkind == TRANSPORT_IPMI ? "\n$$SERIALCONSOLE"
                                              : "\n$$OPENBMCCONSOLE";
    out += "\n$$FANLABELS";
  }
  appendlabels(out, c->slots(FAN));
  for (int kind = TEMP; kind < NUMKINDS; kind++) {
    out += "\n$$";
    out += kindname(kind);
    out += "LABELS";
    appendlabels(out, c->slots(kind));
  }
  out += "\n$$DISCCRIT";
  for (int i = 0; i < c->numdiscs; i++) appendint(out, c->disccrit[i] ? 1 : 0);
  out += "\n";
  // Limits come voltages first.
  for (int kind : {VOLT, TEMP, FAN}) appendlimits(out, c->slots(kind));
}

void cluster::outputautoconf() {
  mode_t oldmask = umask(0137);
  unlink(autonodeconfdat);
  FILE* f = fopen(autonodeconfdat, "w");
  if (!f) {
    fprintf(stderr, "Could not open %s for writing.\n", autonodeconfdat);
    fatalexit(1);
  }
  chassis* remembered = nullptr;
  std::string block;
  for (int i = 0; i < numnodes; i++) {
    block.clear();
    node* n = &mynodes[i];
    // A new section starts wherever the chassis changes, so a chassis whose
    // nodes stand in two runs gets two sections.
    if (n->thischassis != remembered) {
      remembered = n->thischassis;
      block += i == 0 ? "$NEWCHASSIS" : "\n$NEWCHASSIS";
    }
    formatautoconfblock(n, i, block);
    fwrite(block.data(), 1, block.size(), f);
  }
  fclose(f);
  umask(oldmask);
  if (chown(autonodeconfdat, static_cast<uid_t>(-1), apachegid) != 0) {
    // A failed group change is not fatal.
  }
}
