// The configuration summary: the nodes, their sensor labels and limits in
// the order of the status records, readable by the web server's group.
#include "output/autoconf.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "daemon/globals.h"
#include "model/datastructs.h"
#include "output/valuetext.h"

namespace {

// Appends the four limit lists of one sensor kind, in the order alert low,
// alert high, critical low, critical high.
void appendlimits(std::string& out, const char* kind, const double (*limits)[4],
                  int count, bool scaled) {
  static const struct {
    const char* suffix;
    int column;
  } rows[4] = {{"ALERTLO", ALERTLOW},
               {"ALERTHI", ALERTHIGH},
               {"SHUTDOWNLO", CRITLOW},
               {"SHUTDOWNHI", CRITHIGH}};
  for (const auto& row : rows) {
    out += "$$";
    out += kind;
    out += row.suffix;
    for (int i = 0; i < count; i++) {
      double v = limits[i][row.column];
      appendint(out, scaled ? hundredths(v) : truncint(v));
    }
    out += "\n";
  }
}

void appendlabels(std::string& out, char* const* labels, int count) {
  for (int i = 0; i < count; i++) {
    out += " ";
    // An undefined slot is refused when the chassis file is read; this only
    // keeps a missing label from being read through.
    if (labels[i]) out += labels[i];
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
    // Redfish glue: front-ends know Redfish nodes as OpenBMC ones.
    out +=
        c->openbmc || c->redfish ? "\n$$OPENBMCCONSOLE" : "\n$$SERIALCONSOLE";
    out += "\n$$FANLABELS";
  }
  appendlabels(out, c->fanshortname, c->numfans);
  out += "\n$$TEMPLABELS";
  appendlabels(out, c->tempshortname, c->numtemps);
  out += "\n$$VOLTLABELS";
  appendlabels(out, c->voltshortname, c->numvolts);
  out += "\n$$DISCLABELS";
  appendlabels(out, c->discshortname, c->numdiscs);
  out += "\n$$DISCCRIT";
  for (int i = 0; i < c->numdiscs; i++) appendint(out, c->disccrit[i] ? 1 : 0);
  out += "\n";
  appendlimits(out, "VOLT", c->voltlimit, c->numvolts, true);
  appendlimits(out, "TEMP", c->templimit, c->numtemps, true);
  appendlimits(out, "FAN", c->fanlimit, c->numfans, false);
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
