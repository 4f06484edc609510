// The status pipe: each reader that opens nodewatch.dat gets one snapshot
// of every node, then end-of-file. A detached thread serves the readers for
// the whole run and only reads the node records.
#include "output/statuspipe.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <string>

#include "model/datastructs.h"
#include "model/globals.h"
#include "output/ownpipe.h"
#include "output/valuetext.h"

namespace {

constexpr size_t CHUNK = 32768;
// Between two snapshots.
constexpr useconds_t SNAPSHOTGAP = 50000;

// Writes all of text; false once the reader has gone (EPIPE) or on any
// other write error, which abandons the rest of the snapshot.
bool writeall(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

void formatstatusrecord(node* n, std::string& out) {
  // "$TIME %x\n$NODE 1 %s\n$$DEAD %i\n$$FAN", without snprintf.
  char hex[16];
  char* end = std::to_chars(hex, hex + sizeof hex,
                            static_cast<unsigned int>(n->lastupdate.load()), 16)
                  .ptr;
  out += "$TIME ";
  out.append(hex, end);
  out += "\n$NODE 1 ";
  out += n->name;
  out += n->isdead() ? "\n$$DEAD 1" : "\n$$DEAD 0";
  // Each value is read once; no two need to come from the same moment.
  for (int kind = FAN; kind < NUMKINDS; kind++) {
    out += "\n$$";
    out += kindname(kind);
    nodeslots s = n->slots(kind);
    // Temperatures and voltages in hundredths.
    bool scaled = kind == TEMP || kind == VOLT;
    for (int i = 0; i < s.count; i++)
      appendint(out, scaled ? hundredths(s.values[i]) : truncint(s.values[i]));
  }
  out += "\n$$POWER ";
  out += n->ispowered() ? "1" : "0";
  out += "\n";
}

namespace {

// Each kind of skipped snapshot is said once, until a snapshot goes out.
bool saidnodescriptor = false;
bool saidnotapipe = false;

void sayonce(bool* said, const std::string& text) {
  if (!*said) error_msg(text.c_str());
  *said = true;
}

}  // namespace

void writestatussnapshot(cluster* cl) {
  // Opening a FIFO for writing waits here until a reader opens it. The
  // daemon runs as root: the path is never followed as a symbolic link, and
  // nothing is written to it unless it is a FIFO.
  int fd = open(nodewatchdat, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT &&
      makeownpipe(WATCHPIPE, nodewatchdat, 0444) == 0)
    fd = open(nodewatchdat, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
    // Out of descriptors for a moment: this snapshot is skipped, not the
    // daemon's work.
    sayonce(&saidnodescriptor, std::string("No descriptor left to open ") +
                                   nodewatchdat +
                                   ": snapshots are skipped until one is free\n");
    return;
  }
  struct stat st;
  if ((fd < 0 && errno == ELOOP) || (fd >= 0 && fstat(fd, &st) == 0 &&
                                     !S_ISFIFO(st.st_mode))) {
    sayonce(&saidnotapipe, std::string(nodewatchdat) +
                               " is not a pipe (a link or a file put there): "
                               "no snapshot is written to it\n");
    if (fd >= 0) close(fd);
    return;
  }
  if (fd < 0) {
    fprintf(stderr, "Could not open %s for writing.\n", nodewatchdat);
    fatalexit(1);
  }
  saidnodescriptor = saidnotapipe = false;
  // Whole records are gathered into writes of about 32 KiB: one write per
  // record cost more than the formatting of a large snapshot.
  std::string chunk;
  chunk.reserve(2 * CHUNK);  // a last record may run past CHUNK
  bool ok = true;
  for (int i = 0; i < cl->numnodes && ok; i++) {
    formatstatusrecord(&cl->mynodes[i], chunk);
    if (chunk.size() >= CHUNK) {
      // SIGPIPE is ignored: a reader that left early only fails the write.
      ok = writeall(fd, chunk);
      chunk.clear();
    }
  }
  if (ok && !chunk.empty()) writeall(fd, chunk);
  close(fd);
}

void* outputThread(void* thecluster) {
  // The FIFO was made before this thread started (startdaemon).
  cluster* cl = static_cast<cluster*>(thecluster);
  for (;;) {
    writestatussnapshot(cl);
    usleep(SNAPSHOTGAP);
  }
  return nullptr;
}
