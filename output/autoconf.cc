// The configuration summary: the nodes, their sensor labels and limits in
// the order of the status records, readable by the web server's group.
#include "output/autoconf.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
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

void writeautoconf(cluster* cl) {
  // Written whole or not at all: into a new file beside it, every write, the
  // flush to disk and the close checked, then renamed over the old one. A
  // full disk is a start-up error, never a summary cut short; and a link
  // put at the path is replaced, never followed.
  std::string temp = std::string(autonodeconfdat) + ".XXXXXX";
  int fd = mkstemp(&temp[0]);
  if (fd < 0) {
    fprintf(stderr, "Could not open %s for writing.\n", autonodeconfdat);
    fatalexit(1);
  }
  auto fail = [&](const char* what) {
    int err = errno;
    unlink(temp.c_str());
    fatalf(1, "Could not %s %s: %s\nExiting now.\n", what, autonodeconfdat,
           strerror(err));
  };
  chassis* remembered = nullptr;
  std::string block;
  for (int i = 0; i < cl->numnodes; i++) {
    block.clear();
    node* n = &cl->mynodes[i];
    // A new section starts wherever the chassis changes, so a chassis whose
    // nodes stand in two runs gets two sections.
    if (n->thischassis != remembered) {
      remembered = n->thischassis;
      block += i == 0 ? "$NEWCHASSIS" : "\n$NEWCHASSIS";
    }
    formatautoconfblock(n, i, block);
    for (size_t done = 0; done < block.size();) {
      ssize_t w = write(fd, block.data() + done, block.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        if (w == 0) errno = ENOSPC;
        fail("write");
      }
      done += static_cast<size_t>(w);
    }
  }
  // Readable by the web server's group; a failed group change is not fatal.
  if (fchmod(fd, 0640) != 0) fail("set the mode of");
  if (fchown(fd, static_cast<uid_t>(-1), cl->apachegid) != 0) {
    // Left to the file's owner group.
  }
  if (fsync(fd) != 0) fail("write");
  if (close(fd) != 0) fail("write");
  if (rename(temp.c_str(), autonodeconfdat) != 0) fail("replace");
}
