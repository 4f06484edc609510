#include "alerts/hardware.h"

#include <string.h>

namespace {

const char HEADING[] = "Critical hardware events from the BMCs' event logs:\n";

}  // namespace

void hardwarequeue::add(const char* line) {
  if (lines.size() >= HARDWARELINES) {
    dropped++;
    return;
  }
  size_t len = strcspn(line, "\n");
  lines.emplace_back(line, len < HARDWARELINELEN ? len : HARDWARELINELEN);
}

bool hardwarequeue::empty() const { return lines.empty() && dropped == 0; }

std::string hardwarequeue::take() {
  std::string out = HEADING;
  for (const std::string& l : lines) out += "  " + l + "\n";
  if (dropped)
    out += "  ... and " + std::to_string(dropped) +
           " more, listed in the daemon's log.\n";
  out += "\n";
  lines.clear();
  dropped = 0;
  return out;
}
