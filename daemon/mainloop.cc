// Start-up and the main loop. The main thread owns OpenIPMI: every library
// call and callback happens here, inside the event-loop phase of a pass.
#include "daemon/mainloop.h"

#include <OpenIPMI/ipmi_err.h>
#include <OpenIPMI/ipmi_posix.h>
#include <OpenIPMI/ipmiif.h>
#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "alerts/alerts.h"
#include "config/chassisfile.h"
#include "config/clusterfile.h"
#include "config/configerror.h"
#include "config/filemode.h"
#include "daemon/cleanup.h"
#include "daemon/instancelock.h"
#include "daemon/transports.h"
#include "http/server.h"
#include "ipmi/openipmi.h"
#include "model/datastructs.h"
#include "model/globals.h"
#include "output/autoconf.h"
#include "output/commandpipe.h"
#include "output/ownpipe.h"
#include "output/statuspipe.h"
#include "slurm/drain.h"

namespace {

// Each pass turns the event loop this many times per node, at most...
constexpr int TURNSPERNODE = 20;
// ...within this time, each turn waiting at most TURNWAIT.
constexpr long EVENTPHASEBUDGET_US = 500000;
constexpr long TURNWAIT_US = 500000;
// Between two passes.
constexpr long PASSGAP_US = 50000;

// The command pipe's reading end, and its entry in the event loop, so that
// a command written while the daemon waits is executed at once.
commandinput commands;
os_hnd_fd_id_t* commandwait = nullptr;

void watchcommandfifo(cluster* cl);

// SIGHUP: every BMC that waits after a refused login tries again at once,
// for an operator who has just unlocked the account.
void retrylogins(int) { loginretries.fetch_add(1); }

// Start-up takes all the descriptors it may: a node holds one or more for
// its BMC, and the HTTP server more, so the usual soft limit of 1024 would
// end a large cluster's watch. The hard limit stays as the system set it.
void raisedescriptorlimit() {
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur >= files.rlim_max)
    return;
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
}

// A replaced descriptor is closed once OpenIPMI is done with it; the one the
// drain of each pass still reads is kept.
void closewhendone(int fd, void*) {
  if (fd != commands.fd) close(fd);
}

// The pipe is readable: a writer wrote, or the last one closed its end.
void commandready(int, void* thecluster, os_hnd_fd_id_t*) {
  cluster* cl = static_cast<cluster*>(thecluster);
  if (!processcommandfifo(&commands, cl)) return;
  // Every writer has gone. The descriptor now reads as ready until a new
  // writer comes, so it is replaced by a fresh one, opened before the old is
  // closed so that a writer arriving meanwhile loses nothing. Should the
  // pipe be gone, the descriptor stays for the drain of each pass only.
  int fresh = open(nodecommandsdat, O_RDONLY | O_NONBLOCK);
  if (fresh >= 0) commands.fd = fresh;
  os_hnd->remove_fd_to_wait_for(os_hnd, commandwait);
  commandwait = nullptr;
  if (fresh >= 0) watchcommandfifo(cl);
}

void watchcommandfifo(cluster* cl) {
  if (commands.fd < 0) return;
  if (os_hnd->add_fd_to_wait_for(os_hnd, commands.fd, commandready, cl,
                                 closewhendone, &commandwait) != 0)
    commandwait = nullptr;  // commands then wait for the drain of each pass
}

// What a $TEST_EMAIL line asks for.
void sendtestemail() { pendingalerts.testemail(); }

}  // namespace

void formpaths() {
  snprintf(chassisfile, PATHLEN, "%s/chassis.dat", datadir);
  snprintf(clusterfile, PATHLEN, "%s/cluster.dat", datadir);
  snprintf(nodewatchdat, PATHLEN, "%s/nodewatch.dat", datadir);
  snprintf(autonodeconfdat, PATHLEN, "%s/autonodeconf.dat", datadir);
  snprintf(nodecommandsdat, PATHLEN, "%s/nodecommands.dat", datadir);
}

void readconfiguration(cluster* cl, const char* chassispath,
                       const char* clusterpath) {
  configerror err;
  if (!parsechassis(chassispath, cl, &err) || !validatechassis(cl, &err) ||
      !parsecluster(clusterpath, cl, &err))
    configfatal(err);
}

void refusemissingemail(const cluster* cl) {
  configerror err;
  if (!checkemailsettings(cl, &err)) configfatal(err);
}

void startdaemon(cluster* cl, const char* chassispath,
                 const char* clusterpath, const char* commandpath) {
  raisedescriptorlimit();
  // Before the first BMC is asked: without it SIGHUP would end the daemon.
  struct sigaction hup;
  memset(&hup, 0, sizeof hup);
  hup.sa_handler = retrylogins;
  sigemptyset(&hup.sa_mask);
  hup.sa_flags = SA_RESTART;
  sigaction(SIGHUP, &hup, nullptr);
  // Before any pipe is touched: they may be another running kestrel's.
  pid_t owner = 0;
  if (!lockdatadir(datadir, &owner)) {
    if (owner >= 0)
      fatalf(1, "Another kestrel (PID %ld) is running on %s.\nExiting now.\n",
             static_cast<long>(owner), datadir);
    // An unwritable or missing directory fails below as it always did.
    char msg[PATHLEN + 128];
    snprintf(msg, sizeof msg,
             "Could not lock %s/%s (%s): a second kestrel on it would not be "
             "noticed\n", datadir, INSTANCELOCKNAME, strerror(errno));
    error_msg(msg);
  }
  warnifdirwritable(datadir);
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
  // A status reader that closes early must not end the daemon; libcurl's
  // sockets, which OpenBMC workers use from the moment their node is read,
  // are covered by this as well.
  signal(SIGPIPE, SIG_IGN);
  // The hooks are in place before any node or thread exists: the lower
  // folders reach the ones above them only through these.
  attachtransport = newtransport;
  foreseetransport = foreseenode;
  connectalerts();
  httplistenhook = sethttplisten;
  testemailhook = sendtestemail;
  fatalcleanuphook = fatalcleanup;

  readconfiguration(cl, chassispath, clusterpath);
  setupcommandfifo(&commands, commandpath);
  watchcommandfifo(cl);
  if (cl->processalerts) {
    refusemissingemail(cl);
    pendingalerts.setupemail(cl->emailto, cl->emailfrom, cl->emailserver);
    if (cl->slurmdrain) startslurm(cl);
  } else {
    if (cl->slurmdrain)
      error_msg(
          "$SLURM_DRAIN is set, but alerts processing is not enabled in the "
          "cluster config file: no node is drained in Slurm\n");
    error_msg(
        "Skipping setupemail since alerts processing is not enabled in the "
        "cluster config file\n");
  }
  writeautoconf(cl);

  makeownpipe(WATCHPIPE, nodewatchdat, 0444);
  pthread_t output;
  // Without it no snapshot would ever be written: not a daemon worth running.
  if (pthread_create(&output, nullptr, outputThread, cl) != 0)
    fatalf(1, "Could not start the status pipe's thread.\nExiting now.\n");
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
}

void runpass(cluster* cl) {
  cl->getdata();
  if (cl->processalerts) {
    cl->checklimits();
    pendingalerts.process();
    slurmpass(nowtime());
  }
  processcommandfifo(&commands, cl);
  cl->runqueuedpoweroffs();
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
    long wait = left < TURNWAIT_US ? left : TURNWAIT_US;
    timeout.tv_sec = 0;
    timeout.tv_usec = wait;
    int rv = os_hnd->perform_one_op(os_hnd, &timeout);
    turns++;
    // A turn that simply waited out its time-out reports ETIMEDOUT, and one
    // that a signal cut short EINTR; both are idle turns, not errors worth a
    // message.
    if (rv && rv != ETIMEDOUT && rv != EINTR && nodaemon) {
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
  const int steps = mycluster.getnumnodes() * TURNSPERNODE;
  for (;;) {
    runpass(&mycluster);
    runeventphase(steps, EVENTPHASEBUDGET_US);
    // The pause between passes waits in the event loop as well, so that a
    // command written meanwhile is acted on at once.
    runeventphase(INT_MAX, PASSGAP_US);
  }
}
