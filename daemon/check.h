// kestrel --check: the files of the data directory read and validated as
// start-up reads them, without running the daemon: no lock, no pipe, no
// summary file, nothing sent to a BMC.
#ifndef KESTREL_DAEMON_CHECK_H_
#define KESTREL_DAEMON_CHECK_H_

#include <string>

class cluster;

// What the summary says beyond the records of the cluster.
class checksettings {
 public:
  std::string datadir;
  std::string group;       // group of the summary file, by name
  std::string tlsca;       // "": BMC certificates are not checked
  std::string httplisten;  // "": no HTTP server
};

// The summary of a configuration the daemon would start with: per chassis
// its transport, sensor counts and nodes; the nodes by transport; the
// settings in force. Pure.
std::string checksummary(cluster* cl, const checksettings& s);

// Reads the chassis and cluster files of datadir through start-up's own
// path (readconfiguration), the e-mail settings when alerts are on
// included, with messages on stderr only (not the system log). Also warns
// about the modes of the files and the directory, and about the BMC names
// of HTTPS nodes that do not resolve. The first refusal ends the process
// with start-up's message and status; otherwise prints the summary on
// stdout and ends it with status 0. Like every end of the daemon, without
// static destructors: a look-up of a BMC name may still be running.
[[noreturn]] void checkconfiguration(cluster* cl);

#endif  // KESTREL_DAEMON_CHECK_H_
