// The OpenBMC REST client: buffer sizes, time-outs and the request sequences
// that a node's worker runs. Every function here runs on the node's worker
// thread, the first login included.
#ifndef KESTREL_OPENBMC_OPENBMC_H_
#define KESTREL_OPENBMC_OPENBMC_H_

#include <curl/curl.h>
#include <pthread.h>
#include <stddef.h>
#include <time.h>

#include <condition_variable>
#include <list>
#include <map>
#include <string>

#include "model/datastructs.h"
#include "model/loginpacer.h"
#include "openbmc/pacing.h"

constexpr size_t CURLURLLEN = 652;    // openbmc_link::curlURL
constexpr size_t CURLDATALEN = 4096;  // openbmc_link::curlDATA

// Power and power-state requests must not hold the worker for long.
constexpr long CURLPOWERTIMEOUTMS = 750;
// Login and sensor requests get time-outs too, so that a BMC that accepts a
// connection and never answers cannot stall its worker for good. A real BMC answers within a
// second or two; a readout of a stalled BMC costs CURLREADTIMEOUTMS per
// sensor, on that node's worker only.
constexpr long CURLCONNECTTIMEOUTMS = 3000;
constexpr long CURLLOGINTIMEOUTMS = 5000;
constexpr long CURLREADTIMEOUTMS = 5000;
// The sensor that tells the power the whole node draws, where the BMC has
// one (phosphor-hwmon: Unit Watts, Scale -6).
constexpr const char OPENBMCTOTALPOWER[] = "power/total_power";
// A BMC still reports the old power state for a while after a power-on:
// power-state requests wait this long after one.
constexpr time_t POWERONSETTLE = 19;

// One sensor of an OpenBMC node; names point at the chassis's own strings.
typedef struct _openbmc_sensor {
  unsigned char type;
  char* shortname;
  char* name;
  node* owner;
  double value;
  bool missing;  // reported absent from the BMC; the node's REST worker only
} openbmc_sensor;

// The OpenBMC record of a node: its libcurl handle, buffers, session state
// and the task queue of its REST worker. Set up on the main thread while the
// configuration is read; after that the worker's own, except the fields
// marked otherwise.
class openbmc_link : public transport {
 public:
  explicit openbmc_link(node* n);
  // Queues the tasks of one pass; a status or data task already waiting is
  // not queued again, so a slow BMC cannot make its queue grow.
  bool poll(node* n) override;
  bool command(node* n, int code) override;
  const char* name() const override { return "openbmc"; }
  time_t stalelimit() const override { return passstalelimit(passseconds); }
  bool requeststats(bmcrequests* out) const override {
    requests.read(out);
    return true;
  }
  requestcounters requests;  // counted by the worker
  // How long the last whole pass took: written by the worker, read by the
  // main thread for the staleness limit.
  std::atomic<time_t> passseconds{0};

  // The sensor records of FAN, TEMP or VOLT; null for DISC, which the REST
  // interface does not read.
  openbmc_sensor** sensortable(int kind);
  // Makes the handle and buffers.
  bool curlSetup();
  // curlSetup, and starts the worker, which makes the first login before
  // its first task when `loginfirst`.
  bool curlInit(bool loginfirst = false);
  bool curlAddTask(int task) EXCLUDES(curlTaskLock);
  // False when `task` is already queued.
  bool curlAddTaskOnce(int task) EXCLUDES(curlTaskLock);
  static void* curlNodeThread(void* thelink);
  static void* curlFirstThread(void* thelink);
  // The first login; its failure is said once, with libcurl's reason.
  void curlFirstLogin();
  // Logs in; false when the transfer failed (the BMC gave no whole reply).
  // A command's login is never held back and each failure of it is said.
  static bool curlLogin(openbmc_link* l, bool bycommand);
  static size_t curlSendCommand(char* buffer, size_t size, size_t count,
                                void* body);

  // Judge the whole reply in curlReply once its transfer is done.
  void judgelogin(long httpcode, bool bycommand);
  void judgepowerstate();
  void judgesensor(long httpcode);
  void judgewatts(long httpcode);
  // Says `text` about this node, at most once a MESSAGEPERIOD for each
  // `key` (the text itself when null), with the count held back since; a
  // message caused by a command is always said.
  void say(const char* key, const char* text, bool bycommand);

  node* owner;
  CURL* curl;
  char* curlURL;
  char* curlDATA;
  const char* curlCurSens;
  time_t curlLastPwrOnCmd;
  CURLcode res;
  // The reply of the running transfer, collected whole by collectreply.
  std::string curlReply;
  bool curlReplyTooLong;
  loginpacer curlPacer;
  // A pass runs from its status task to the end of its readout, and counts
  // only when every request of it got a whole reply: a BMC that times out
  // must not earn itself a longer limit. When the running one began (0:
  // none runs) and whether a request of it failed.
  time_t curlPassBegan;
  bool curlPassFailed;
  // The BMC may have OPENBMCTOTALPOWER: asked once a pass until it says it
  // has none (404), then not again until the next login.
  bool curlWatts;
  std::map<std::string, msglimiter> curlMessages;
  openbmc_sensor* openBmcFans[MAXFANS];
  openbmc_sensor* openBmcTemps[MAXTEMPS];
  openbmc_sensor* openBmcVolts[MAXVOLTS];
  pthread_t curlthread;
  // Written by the worker, read by the main thread's poll.
  std::atomic<bool> curlLoggedIn;
  std::atomic<bool> curlInLogin;
  // Appended to by the main thread, emptied by the worker.
  lockable curlTaskLock;
  std::list<int> curlTasks GUARDED_BY(curlTaskLock);
  std::condition_variable_any curlTaskCond;  // signalled when a task is queued
};

// Starts the REST worker of an OpenBMC node, which makes the first login at
// once; a failed login is reported and retried by the worker. Returns
// without waiting for the BMC. Ends the process when the worker cannot be
// set up.
transport* openbmc_attach(node* n);

// The write callback of every request: appends to curlReply, and ends the
// transfer (setting curlReplyTooLong) when the reply passes OPENBMCMAXREPLY.
size_t collectreply(char* data, size_t size, size_t count, void* thelink);

// Sends POWERON, POWEROFF or RESET; `now` is the task's time.
void curlpowercommand(openbmc_link* l, int task, time_t now);
// Asks for the chassis power state.
void curlpowerstate(openbmc_link* l);
// Reads every fan, temperature and voltage sensor of the node's chassis,
// and the power drawn.
void curlreadsensors(openbmc_link* l);
// Asks for every sensor the BMC has with its properties (the interface's
// "enumerate") right after curlLogin, on the login's handle, which is then
// only fit for curl_easy_cleanup; the reply is in curlReply. False when the
// transfer failed; `status` is the HTTP status.
bool curlenumerate(openbmc_link* l, long* status);

#endif  // KESTREL_OPENBMC_OPENBMC_H_
