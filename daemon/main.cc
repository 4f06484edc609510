// kestrel: watches the cluster's nodes through their BMCs.
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "daemon/check.h"
#include "daemon/mainloop.h"
#include "model/datastructs.h"
#include "model/globals.h"
#include "probe/probe.h"

static void usage() {
  fputs("\nUsage: kestrel <Options>\n", stderr);
  fputs(
      "  -h  --help\t\tDisplay this usage information\n"
      "  -d  --debug\t\tRun process in foreground, displaying debug info.\n"
      "  -p  --path <path>\tSpecify the absolute path to the data and command "
      "files.\n",
      stderr);
  exit(2);
}

int main(int argc, char** argv) {
  strcpy(datadir, "/etc/tarn/kestrel");
  // --check has no short form: 'c' is not in the option string.
  static const struct option longopts[] = {{"debug", no_argument, 0, 'd'},
                                           {"help", no_argument, 0, 'h'},
                                           {"path", required_argument, 0, 'p'},
                                           {"check", no_argument, 0, 'c'},
                                           {"probe", required_argument, 0, 'P'},
                                           {0, 0, 0, 0}};
  bool check = false;
  const char* probenode = nullptr;
  int c;
  while ((c = getopt_long(argc, argv, "dhp:", longopts, nullptr)) != -1) {
    switch (c) {
      case 'd':
        nodaemon++;
        break;
      case 'p':
        // An over-long directory would not fit datadir: refuse it.
        if (optarg[0] != '/' || strlen(optarg) >= sizeof datadir) usage();
        strcpy(datadir, optarg);
        break;
      case 'c':
        check = true;
        break;
      case 'P':
        if (!optarg[0]) usage();
        probenode = optarg;
        break;
      default:
        usage();
    }
  }
  formpaths();
  if (check) checkconfiguration(&mycluster);
  // A probe is no daemon: it touches no pipe and takes no lock.
  if (probenode) return runprobe(probenode, chassisfile, clusterfile);

  if (!nodaemon) {
    pid_t pid = fork();
    if (pid < 0) {
      perror("fork");
      exit(1);
    }
    if (pid > 0) exit(0);
    setsid();
  }

  startdaemon(&mycluster, chassisfile, clusterfile, nodecommandsdat);
  info_msg("kestrel started\n");
  runmainloop();
}
