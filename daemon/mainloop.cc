// Start-up and the main loop. The main thread owns OpenIPMI: every library
// call and callback happens here, inside the event-loop phase of a pass.
#include "daemon/mainloop.h"

#include <OpenIPMI/ipmi_err.h>
#include <OpenIPMI/ipmi_posix.h>
#include <OpenIPMI/ipmiif.h>
#include <curl/curl.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "alerts/alerts.h"
#include "daemon/globals.h"
#include "http/server.h"
#include "ipmi/openipmi.h"
#include "model/datastructs.h"
#include "output/statuspipe.h"

char datadir[256];
char chassisfile[514];
char clusterfile[514];
char nodewatchdat[514];
char autonodeconfdat[514];
char nodecommandsdat[514];
os_handler_t* os_hnd = nullptr;
bool domainisup = false;
bool debugipmilog = false;

void formpaths() {
  snprintf(chassisfile, 513, "%s/chassis.dat", datadir);
  snprintf(clusterfile, 513, "%s/cluster.dat", datadir);
  snprintf(nodewatchdat, 513, "%s/nodewatch.dat", datadir);
  snprintf(autonodeconfdat, 513, "%s/autonodeconf.dat", datadir);
  snprintf(nodecommandsdat, 513, "%s/nodecommands.dat", datadir);
}

bool cluster::init(char* chassisfile, char* clusterfile, char* commandfile) {
  unlink(nodewatchdat);
  os_hnd = ipmi_posix_setup_os_handler();
  if (!os_hnd) {
    fprintf(stderr,
            "Unable to set up the OpenIPMI operating-system handler.\n"
            "Exiting now.\n");
    fatalexit(1);
  }
  os_hnd->set_log_handler(os_hnd, my_vlog);
  ipmi_init(os_hnd);
  curl_global_init(CURL_GLOBAL_ALL);

  parsechassis(chassisfile);
  validatechassis();
  parsecluster(clusterfile);
  setupcommandfifo(commandfile);
  if (processalerts)
    setupemail();
  else
    error_msg(
        "Skipping setupemail since alerts processing is not enabled in the "
        "cluster config file\n");
  outputautoconf();
  lastoutputtime = nowtime();

  // A status reader that closes early must not end the daemon; libcurl's
  // sockets are covered by this as well.
  signal(SIGPIPE, SIG_IGN);
  pthread_t output;
  pthread_create(&output, nullptr, outputThread, this);
  pthread_detach(output);

  armcleanup();
  atexit(_cleanupfifos);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = cleanupfifos;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  // HTTP: started once the pipes would be removed by a failure to bind.
  starthttpserver();
  return true;
}

void cluster::process() {
  getdata();
  if (processalerts) {
    checklimits();
    pendingalerts.process();
  }
  processcommandfifo();
  runqueuedpoweroffs();
}

static long elapsed_us(const struct timespec& since) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - since.tv_sec) * 1000000L +
         (now.tv_nsec - since.tv_nsec) / 1000;
}

int runeventphase(int steps, long budget_us) {
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  int turns = 0;
  for (int i = 1; i < steps; i++) {
    // The phase is bounded in time as well as in turns: with many nodes the
    // turns alone would stretch a pass far beyond the 5 s polling period.
    long left = budget_us - elapsed_us(start);
    if (left <= 0) break;
    struct timeval timeout;
    long wait = left < 500000 ? left : 500000;
    timeout.tv_sec = 0;
    timeout.tv_usec = wait;
    int rv = os_hnd->perform_one_op(os_hnd, &timeout);
    turns++;
    // A turn that simply waited out its time-out reports ETIMEDOUT; that is
    // an idle turn, not an error worth a message on every pass.
    if (rv && rv != ETIMEDOUT && nodaemon) {
      char errtext[512];
      char msg[1024];
      ipmi_get_error_string(rv, errtext, sizeof errtext);
      snprintf(msg, sizeof msg, "Error 0x%x running perform_one_op:\n%s\n", rv,
               errtext);
      error_msg(msg);
    }
  }
  return turns;
}

void runmainloop() {
  const int steps = mycluster.getnumnodes() * 20;
  for (;;) {
    mycluster.process();
    runeventphase(steps, 500000);
    usleep(50000);
  }
}
