// The records that hold everything the daemon knows: chassis definitions,
// nodes with their latest readings and liveness, and the cluster.
//
// The tables are filled once during start-up (config/) and never change
// shape again, so pointers into them stay valid in every thread. Fields that
// more than one thread touches after start-up are std::atomic single values;
// readers accept values from different moments and never need several of
// them to agree. Everything else belongs to the thread named at the field.
//
// The model knows no transport: what one way of talking to a BMC needs lives
// in that transport's own record, reached through node::link.
#ifndef KESTREL_MODEL_DATASTRUCTS_H_
#define KESTREL_MODEL_DATASTRUCTS_H_

#include <stdio.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <deque>
#include <string>

#include "model/defines.h"
#include "model/locks.h"
#include "model/transport.h"

class node;

// The slots of one sensor kind in a chassis definition. Index i names the
// same sensor in every array here and in the node's nodeslots.
struct chassisslots {
  int kind;
  int count;              // slots defined
  int size;               // room in the tables
  char** names;           // long names as the BMC reports them
  char** labels;          // short labels for output
  double (*limits)[NUMLIMITS];  // null for discrete sensors
  bool* crit;             // discrete sensors only: critical state powers off
};

// One kind of chassis, read from the chassis file; written by the main
// thread while the configuration is read, read-only after.
class chassis {
 public:
  chassis();

  // The tables of one kind.
  chassisslots slots(int kind);
  // The count of a kind, for the reader of the chassis file.
  int* countof(int kind);

  char name[FIELDLEN];
  char* fanname[MAXFANS];  // long names as the BMC reports them
  char* tempname[MAXTEMPS];
  char* voltname[MAXVOLTS];
  char* discname[MAXDISCS];
  char* fanshortname[MAXFANS];  // short labels for output
  char* tempshortname[MAXTEMPS];
  char* voltshortname[MAXVOLTS];
  char* discshortname[MAXDISCS];
  bool disccrit[MAXDISCS];  // critical state powers the node off
  int numfans, numtemps, numvolts, numdiscs;
  double templimit[MAXTEMPS][NUMLIMITS];  // CRITLOW .. CRITHIGH
  double voltlimit[MAXVOLTS][NUMLIMITS];
  double fanlimit[MAXFANS][NUMLIMITS];
  int transportkind;  // TRANSPORT_*: how its BMCs are reached
};

// The limit row of a slot the chassis file leaves undefined: wide enough that
// nothing is ever out of it.
void defaultlimits(double* row);

// Name of a kind as the files spell it: "FAN", "TEMP", "VOLT", "DISC".
const char* kindname(int kind);
// Room for sensors of a kind in a chassis.
int kindsize(int kind);

// The readings of one kind in a node.
struct nodeslots {
  int count;                  // the chassis's count of this kind
  std::atomic<double>* values;
  unsigned char* zeros;       // consecutive zero readings
  bool* nonfinite;            // a non-finite reading has been said
};

class node {
 public:
  node();
  explicit node(chassis* c);

  // Records (model/node.cc).
  nodeslots slots(int kind);
  bool isdead();
  bool ispowered();
  // Starts the settling time unless it runs; stops it.
  void initfirsttime();
  void clearfirsttime();
  // Clears every reading and the power flag (the node is off or unreachable).
  void zerosensors();

  // What a transport learns of its node, reported here and nowhere else:
  // these hold the rules of liveness, power, settling and staleness for
  // every transport (model/transport.h says from which thread).
  //
  // The BMC gave the power state: the node is alive. Powered on, the
  // settling time starts unless it runs (afresh when the node was off);
  // powered off, readings and settling time are cleared.
  void reportpower(bool on);
  // The BMC answered without a usable power state (still changing): alive.
  void reportanswered();
  // A reading of the named sensor (the first slot of that name: fans,
  // voltages, temperatures, discretes). A positive one starts the settling
  // time unless it runs; a non-zero one makes the node alive. A non-finite value is
  // no reading: the slot keeps its value and the event is said once until
  // the sensor reads finite again. A zero is believed only the third time
  // in a row. A fan's unit (UNIT_*) is kept with its reading; its limits
  // are in that unit.
  void reportreading(const char* sensorname, double value,
                     int unit = UNIT_USUAL);
  // The power the node draws, in watts, where its BMC tells it; a negative
  // figure: the BMC no longer tells it (the last one is forgotten). A
  // non-finite one is no reading.
  void reportwatts(double watts);
  // A request went unanswered or was refused: the node is dead; its power
  // and readings stand until the BMC says otherwise.
  void reportunreachable();
  // The power state could not be had: dead, unpowered, readings and
  // settling time cleared, as for a node that is gone.
  void reportpowerunknown();

  // Asks the transport for the power state, unless a query is outstanding:
  // at most one per node, forgotten after POWERQUERYLOST seconds unanswered.
  void querypower();

  // Polling: paced at POLLPERIOD, the staleness rule, then the transport.
  bool getdata();

  // Limits and automatic shutdown (model/limits.cc, model/shutdown.cc).
  int checklimits();
  void shutdown();

  // Power commands and the power-state query, through the transport; true
  // once handed on. A power command stops the settling time.
  bool command(int code);

  // Identity: set while the configuration is read, read-only after.
  chassis* thischassis;
  char* name;  // the BMC is reached as name + "-ipmi"
  char* username;
  char* password;
  transport* link;  // the transport's record of this node; lives for good

  // Latest readings, by chassis index. Written by the thread of the node's
  // transport (the main thread, or the node's worker); read by the output
  // thread and the limit check.
  std::atomic<double> volt[MAXVOLTS];
  std::atomic<double> temp[MAXTEMPS];
  std::atomic<double> fan[MAXFANS];
  std::atomic<double> disc[MAXDISCS];
  // Some slot of the chassis has had a reading from the BMC since start: a
  // node that answers but never gets one has a chassis section whose names
  // its BMC does not know. Written by the transport's thread.
  std::atomic<bool> everread;
  // Watts drawn as the BMC last told them; negative: not known. Written by
  // the transport's thread, cleared with the readings, read by the outputs.
  std::atomic<double> watts;
  // The unit each fan's reading is in (UNIT_*), as its BMC last gave it;
  // written with the reading, read by the outputs.
  std::atomic<unsigned char> fanunit[MAXFANS];
  // Consecutive zero readings; only the thread that stores readings.
  unsigned char voltfail[MAXVOLTS];
  unsigned char tempfail[MAXTEMPS];
  unsigned char fanfail[MAXFANS];
  unsigned char discfail[MAXDISCS];
  // The sensor's last reading was not finite, and that has been said; only
  // the thread that stores readings.
  bool voltnonfinite[MAXVOLTS];
  bool tempnonfinite[MAXTEMPS];
  bool fannonfinite[MAXFANS];
  bool discnonfinite[MAXDISCS];

  // Last accepted non-zero reading: lastupdate in wall time (printed),
  // lastreading in nowtime() (staleness). Written by whichever thread
  // reports readings.
  std::atomic<time_t> lastupdate;
  std::atomic<time_t> lastreading;
  time_t lastquery;                // main thread only
  time_t lastcheck;                // main thread only
  // A power-state query outstanding: 0 when none, else 1 plus the limit
  // checks it has waited through, and when it was asked. Set by querypower
  // and aged by the limit check (main thread); cleared by the power reports
  // (the transport's thread).
  std::atomic<int> pwr_statuswaiting;
  std::atomic<time_t> powerasked;
  // When the BMC last answered about the power state (nowtime(); 0: not
  // since the node was last declared gone). Written by the transport's
  // thread through the reports, cleared by the staleness rule.
  std::atomic<time_t> lastanswer;
  std::atomic<bool> power;   // the node is powered on
  char tmperrmsg[MSGLEN];    // main thread's message buffer for this node
  std::atomic<bool> inShutdown;  // set by the main thread, cleared by the
                                 // enforcing shutdown thread
  bool inAlert;   // main thread only
  bool wasdead;   // main thread only
  bool updated;   // main thread only
  std::atomic<bool> dead;  // the node gives no data
  std::atomic<time_t> firsttime;  // start of the settling time; 0 = none
  // SLURM_*: the node in Slurm as the Slurm link last saw it; written by
  // the main thread (slurm/), read by the outputs.
  std::atomic<int> slurmstate;

};

// The node table and what is done to every node or to one by name. Reading
// the configuration (config/), the pipes and the summary (output/) and the
// start-up and main loop (daemon/) are the business of their own folders.
class cluster {
 public:
  cluster();

  // Limits and automatic shutdown (model/limits.cc, model/shutdown.cc).
  void checklimits();
  bool processshutdown();
  bool poweroffnode(const char* name);
  // Hands a power-off from another thread to the main thread, which sends
  // it at its next pass (transports are driven by the main thread).
  void queuepoweroff(const char* name) EXCLUDES(poweroffLock);
  void runqueuedpoweroffs() EXCLUDES(poweroffLock);

  // Power commands by node name (model/power.cc).
  // False when the command could not go out (the caller says so). An
  // unknown node is said here and gives true: it needs no second message.
  bool command(const char* nodename, int code);

  // Polling: every node's getdata.
  void getdata();

  // Lookups (model/cluster.cc).
  node* findnode(const char* name);
  chassis* findchassis(const char* name);
  int getnumnodes();

  // Set while the configuration is read, read-only after.
  node mynodes[MAXNODES];
  int numnodes;
  int numchassis;
  // At most this many power-ons go out within any one second.
  int poweronrate = DEFAULTPOWERONRATE;
  char emailto[512];
  char emailfrom[512];
  char emailserver[256];
  bool processalerts;
  bool processshutdowns;
  gid_t apachegid;
  // Slurm: drain a node whose alert is reported, resume it once healthy
  // ($SLURM_DRAIN, $SLURM_SCONTROL, $SLURM_RESUME_AFTER; 0: never resume).
  bool slurmdrain;
  char slurmscontrol[MAXSETTING];
  time_t slurmresumeafter;

  lockable poweroffLock;
  std::deque<std::string> poweroffQueue GUARDED_BY(poweroffLock);
};

extern chassis mychassis[MAXCHASSIS];
extern cluster mycluster;

// Classifies a reading against a limit row: -2, -1, 0, 1 or 2.
int comparelimits(double value, const double* limits);

#endif  // KESTREL_MODEL_DATASTRUCTS_H_
