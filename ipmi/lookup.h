// Look-ups of the IPMI BMCs' host names, started for every node together
// before any connection is set up: OpenIPMI resolves a name as it sets a
// connection up, one node after the other, so a slow name server would hold
// start-up once for each node.
#ifndef KESTREL_IPMI_LOOKUP_H_
#define KESTREL_IPMI_LOOKUP_H_

#include <string>

// How long a connection's set-up waits for its look-up, counted from the
// look-up's start; glibc gives up on a silent name server well before.
constexpr int LOOKUPWAITSECONDS = 30;

// Resolves `host` to a numeric address; 0 and the address, or an EAI_ code.
typedef int (*resolver)(const std::string& host, std::string* address);
int resolvehost(const std::string& host, std::string* address);

// Starts the look-up of `host` on a helper thread of its own, unless one was
// started already.
void startlookup(const std::string& host, resolver how = resolvehost);

// Waits at most `waitseconds` from the look-up's start for it to end. True
// with the numeric address when it found one; false when it failed, was
// never started or is still running (the caller then leaves the name to
// OpenIPMI, as if no look-up had been made).
bool lookedup(const std::string& host, std::string* address,
              int waitseconds = LOOKUPWAITSECONDS);

#endif  // KESTREL_IPMI_LOOKUP_H_
