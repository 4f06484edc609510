#include "alerts/hardware.h"

#include <string.h>

namespace {

const char HEADING[] = "Critical hardware events from the BMCs' event logs:\n";

}  // namespace

void hardwarequeue::add(const char* line) {
  if (lines.size() >= HARDWAREQUEUED) {
    // The lines of an e-mail on its way may still be accepted: the oldest
    // of the others goes.
    lines.erase(lines.begin() + static_cast<long>(carried));
    dropped++;
  }
  size_t len = strcspn(line, "\n");
  lines.emplace_back(line, len < HARDWARELINELEN ? len : HARDWARELINELEN);
}

bool hardwarequeue::empty() const {
  return lines.empty() && dropped == 0 && !inflight;
}

bool hardwarequeue::ready() const {
  return !inflight && (!lines.empty() || dropped != 0);
}

std::string hardwarequeue::take() {
  std::string out = HEADING;
  if (dropped)
    out += "  " + std::to_string(dropped) +
           " earlier critical events were dropped: the queue was full\n";
  carried = lines.size() < HARDWARELINES ? lines.size() : HARDWARELINES;
  for (size_t i = 0; i < carried; i++) out += "  " + lines[i] + "\n";
  if (lines.size() > carried)
    out += "  ... and " + std::to_string(lines.size() - carried) +
           " more, listed in the daemon's log.\n";
  out += "\n";
  carrieddropped = dropped;
  dropped = 0;
  inflight = true;
  return out;
}

void hardwarequeue::settle(bool accepted) {
  if (!inflight) return;
  if (accepted)
    lines.erase(lines.begin(), lines.begin() + static_cast<long>(carried));
  else
    dropped += carrieddropped;
  carried = 0;
  carrieddropped = 0;
  inflight = false;
}
