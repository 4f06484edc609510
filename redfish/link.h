// The Redfish side of one node: its session, what discovery found, the
// binding of the chassis's sensor slots and the job under way. A link never
// touches the network itself: the driver (redfish/driver.h) asks it for the
// next request, sends it and hands the reply back, so a link is a plain
// state machine that the unit tests drive with recorded replies.
//
// A job is a poll pass (power state, then the readings), a power-state
// query, a power command or the logout at exit. Each job first makes sure
// of a session and of discovery, which runs again after every login:
// service root, first system and its reset values, the chassis with the
// sensors (linked to that system, else the first that has any) and the
// sensor model it serves. Readings are then read with as few requests as
// the service allows: one $expand-ed Sensors request where the root
// advertises $expand, else Thermal and Power, else one request per bound
// sensor with the URIs found at discovery.
//
// Each bound sensor is read from the first source that has it: the Sensors
// collection, else Thermal (fans, temperatures) or Power (voltages), else
// the newer schema's ThermalSubsystem: its ThermalMetrics (temperatures,
// one request) and Fans (one $expand-ed request, else, on a chassis
// without Thermal, one per fan found at discovery). Power
// supplies come from Power, else PowerSubsystem; the power drawn from
// Power's PowerControl, else EnvironmentMetrics' PowerWatts. Where a source
// is a list read whole (an expanded collection, Thermal, Power,
// ThermalMetrics), the sensors it lacks are found at its first read and go
// on to the next source from then on.
//
// Readings, power and liveness go into the node only through its reports
// (reportpower, reportreading, reportanswered, reportpowerunknown).
#ifndef KESTREL_REDFISH_LINK_H_
#define KESTREL_REDFISH_LINK_H_

#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "model/defines.h"
#include "model/loginpacer.h"
#include "model/transport.h"
#include "redfish/driver.h"
#include "redfish/replies.h"

class node;

// Time limits of one request. bmcweb answers a sensor in tens to hundreds
// of milliseconds, but iDRACs and iLOs take 1-8 s a request and longer for a
// login: a request given up too early is one the BMC still answers, and a
// login given up leaves a session behind in a table of 4-8. A slow request
// holds only its own node.
constexpr long REDFISHCONNECTMS = 3000;
constexpr long REDFISHREQUESTMS = 20000;
constexpr long REDFISHLOGINMS = 30000;
// The logout at exit must fit the exit clean-up (REDFISHSTOPMS in all).
constexpr long REDFISHLOGOUTMS = 10000;
// The Context of kestrel's sessions, by which a later run finds the ones
// an earlier one left open.
constexpr const char* REDFISHCONTEXT = "kestrel";
// Chassis examined at discovery, and power commands waiting per node.
constexpr size_t REDFISHMAXCHASSIS = 16;
constexpr size_t REDFISHMAXCOMMANDS = 8;

enum { REDFISH_GET = 0, REDFISH_POST = 1, REDFISH_DELETE = 2 };

// A request for the driver; the path is relative to https://<node>-ipmi.
struct redfishrequest {
  int method = REDFISH_GET;
  std::string path;
  std::string body;    // POST only
  std::string token;   // sent as X-Auth-Token when not empty
  bool basic = false;  // HTTP basic authentication with the node's account
  long timeoutms = REDFISHREQUESTMS;
};

// What came back: either a completed exchange with any HTTP status, or a
// failure text (libcurl's, or the body bound's).
struct redfishreply {
  bool done = false;
  bool timedout = false;  // not done: the time limit ran out
  double seconds = 0.0;   // from the start of the request to its end
  std::string failure;
  long status = 0;
  std::string body;
  std::string token;     // X-Auth-Token header
  std::string location;  // Location header
};

class redfish_link : public transport {
 public:
  explicit redfish_link(node* owner);

  // The transport interface, called on the main thread. poll queues a poll
  // pass unless one is waiting, so a slow BMC cannot make work pile up;
  // true when the pass will read sensors (the node is live and powered).
  bool poll(node* n) override;
  // POWERON, POWEROFF, RESET (at most REDFISHMAXCOMMANDS waiting) or STATUS;
  // 0 when queued, 1 when refused.
  bool command(node* n, int code) override;
  time_t stalelimit() const override;
  bool requeststats(bmcrequests* out) const override {
    requests.read(out);
    return true;
  }
  const char* name() const override { return "redfish"; }
  // Asks for the logout; the driver finishes the link once it is done.
  void stop(node* n);

  // The driver's side, on the driver thread only. next gives the request to
  // send now, taking a new job from the inbox when idle; false when there is
  // nothing to do. onreply takes the reply to that request. abandon drops
  // the job whose request the driver cancelled.
  bool next(redfishrequest* out);
  void onreply(const redfishreply& reply);
  void abandon();
  bool finished() const { return step == DONE; }

  node* const n;

  // Inbox, guarded by redfishlock (redfish/driver.h).
  bool wantpoll GUARDED_BY(redfishlock) = false;
  bool wantstatus GUARDED_BY(redfishlock) = false;
  bool wantstop GUARDED_BY(redfishlock) = false;
  std::deque<int> commands GUARDED_BY(redfishlock);
  // On the driver's list of links with news.
  bool listed GUARDED_BY(redfishlock) = false;

  // The driver's record of this link's transfer; driver thread only.
  struct redfishtransfer* transfer = nullptr;

  // Everything below belongs to the driver thread.
  enum step {
    IDLE,
    ROOT,
    DROPOLD,
    SESSIONLOGIN,
    ORPHANLIST,
    ORPHAN,
    ORPHANDROP,
    SYSTEMS,
    SYSTEM,
    ACTIONINFO,
    CHASSISLIST,
    CHASSIS,
    MEMBERS,
    MEMBER,
    THERMALSUB,
    FANMEMBERS,
    FANMEMBER,
    PSULINK,
    PSUMEMBERS,
    PSUMEMBER,
    POWERSTATE,
    EXPANDED,
    THERMAL,
    POWER,
    METRICS,
    FANSEXPANDED,
    SENSOR,
    FANREAD,
    SUPPLY,
    ENVIRONMENT,
    RESETACTION,
    LOGOUT,
    DONE
  };
  enum job { JOB_NONE, JOB_POLL, JOB_STATUS, JOB_COMMAND, JOB_STOP };
  enum mode { MODE_NONE, MODE_EXPAND, MODE_THERMALPOWER, MODE_PERSENSOR };
  enum { SLOT_FINE = 0, SLOT_MISSING = 1, SLOT_NOVALUE = 2 };
  // Where a slot is read from, in the order tried: the Sensors collection,
  // Thermal or Power, the newer schema (ThermalMetrics, Fans), nowhere.
  enum { SRC_SENSORS, SRC_OLD, SRC_NEW, SRC_NONE };
  // The parts of discovery after the chassis, in their order.
  enum { STAGE_SENSORS, STAGE_THERMAL, STAGE_FANS, STAGE_SUPPLIES };

  int job = JOB_NONE;
  int command_ = NONE;  // the code of a JOB_COMMAND
  int step = IDLE;
  bool renewed = false;          // this job already replaced an expired session
  int sentmethod = REDFISH_GET;  // the request in flight, for messages
  std::string sentpath;

  // Session: a token and the URI to DELETE it, or basic authentication.
  std::string token, location;
  std::string staletoken, stalelocation;  // to DELETE before a new login
  bool basic = false;
  // Sessions are tagged with REDFISHCONTEXT where the service takes it;
  // after each login, ours left behind by a crash or an earlier run are
  // deleted (`orphans`: the other sessions, looked at one by one).
  bool nocontext = false;
  std::vector<std::string> orphans;
  size_t orphanpos = 0;

  // Discovery; `ready` once it is complete for the current session.
  bool ready = false;
  redfishroot root;
  std::string system;
  redfishsystem sys;
  std::vector<std::string> chassislist;
  std::string chassisuri, fallbackuri;
  redfishchassis ch, fallback;
  int sensormode = MODE_NONE;
  bool expandrefused = false;  // the service turned $expand down once
  std::vector<std::string> members;
  std::vector<redfishreading> catalog;  // what the members said
  std::string psucollection;
  size_t cursor = 0;
  // Per kind and slot: the URI of a sensor, fan or supply read alone.
  std::vector<std::string> sloturi[4];
  // Per kind and slot, its SRC_: a service may list only some sensors in
  // its Sensors collection (power, energy) and keep the rest in Thermal and
  // Power, or in the newer schema's resources. Chosen at discovery, or at
  // the first read of a list (`listsread`: a bit per step once read).
  std::vector<unsigned char> source[4];
  unsigned long long listsread = 0;
  // The ThermalSubsystem's ThermalMetrics and Fans, once `thermallinks`.
  bool thermallinks = false;
  std::string metricsuri, fansuri;

  // The requests of a poll pass once the node is powered: step and slot.
  struct planitem {
    int step;
    int kind;
    int index;
  };
  std::vector<planitem> plan;
  size_t planpos = 0;

  // What was reported, so that each thing is said once.
  std::vector<unsigned char> slotstate[4];
  std::string lastfault;
  bool saidbasic = false;
  bool saidpower = false;

  // Refused logins (401, 403): the poll's next ones wait ever longer, a
  // command's go at once (model/loginpacer.h).
  loginpacer pacer;
  // The discovery step to take up again after a failed request.
  int resumestep = IDLE;
  // When the current poll pass began, and how long the last whole one
  // took (read by the main thread for the staleness limit).
  time_t jobstarted = 0;
  std::atomic<time_t> passseconds{0};
  requestcounters requests;  // counted by the driver thread

 private:
  bool takejob() EXCLUDES(redfishlock);
  void beginjob();
  void startwork();
  void failjob(const std::string& why);
  void loginrefused(const std::string& why);
  bool waitsforlogin();
  void endjob();
  void passdone();
  void choosechassis();
  // Binds the slots of a part of discovery (STAGE_) to what it found, then
  // goes on with the next part that is needed, or with the job.
  void binddiscovered(int stage);
  void discovernext(int done);
  bool needthermallinks() const;
  void buildplan();
  void extendplan();
  bool planned(int what) const;
  void nextplan();
  void store(int kind, int index, const redfishreading* r);
  // Stores the readings of `list` into the slots of a kind read from source
  // `from` (every discrete slot). A slot the list lacks is said missing,
  // or, with `missing`, only added to it.
  void applylist(int kind, const std::vector<redfishreading>& list, int from,
                 std::vector<int>* missing = nullptr);
  // As applylist; at the list's `first` read the slots it lacks move on to
  // their next source.
  void readlist(int kind, const std::vector<redfishreading>& list, int from,
                bool first);
  bool firstread(int what);  // marks the step's list read; true the first time
  // The source after `from` that a slot of `kind` can be read from, and the
  // move of a slot there (said missing once where there is none).
  int nextsource(int kind, int from) const;
  void movedown(int kind, int index, int from);
  bool useexpand() const;
  // The reply to an $expand-ed request was not expanded: discover again
  // without $expand.
  void dropexpand(const std::string& collection, long status);
  void setpower(int state);
  void fault(const std::string& text);
  const char* slotname(int kind, int index) const;
  int slotcount(int kind) const;
  std::string expandpath(const std::string& collection) const;
};

#endif  // KESTREL_REDFISH_LINK_H_
