// The records that hold everything the daemon knows: chassis definitions,
// nodes with their latest readings and connection state, and the cluster.
//
// The tables are filled once during start-up and never change shape again,
// so pointers into them stay valid in every thread. Fields that more than
// one thread touches after start-up are std::atomic single values; readers
// accept values from different moments and never need several of them to
// agree. Everything else belongs to the thread named at the field.
#ifndef KESTREL_MODEL_DATASTRUCTS_H_
#define KESTREL_MODEL_DATASTRUCTS_H_

#include <OpenIPMI/ipmiif.h>
#include <curl/curl.h>
#include <pthread.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <string>

#include "model/defines.h"

struct sdata_s;
typedef struct sdata_s sdata_t;
class node;
class redfish_link;

// One kind of chassis, read from the chassis file; read-only after start-up.
class chassis {
 public:
  chassis();

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
  double templimit[MAXTEMPS][4];  // CRITLOW, ALERTLOW, ALERTHIGH, CRITHIGH
  double voltlimit[MAXVOLTS][4];
  double fanlimit[MAXFANS][4];
  bool openbmc;  // reached over the OpenBMC REST interface
  bool redfish = false;  // Redfish glue: reached over Redfish (redfish/)
};

// One sensor of an OpenBMC node; names point at the chassis's own strings.
typedef struct _openbmc_sensor {
  unsigned char type;
  char* shortname;
  char* name;
  node* owner;
  double value;
  bool missing;  // reported absent from the BMC; the node's REST worker only
} openbmc_sensor;

// Argument block of the two automatic-shutdown threads of one node.
typedef struct _shutdown_node {
  node* thisnode;
  char username[FIELDLEN];
  char password[FIELDLEN];
  pthread_t thread;
  std::atomic<bool>* inShutdown;
  // Between the two threads of one shutdown.
  bool sshstarted;               // the clean-shutdown thread is running
  std::atomic<bool> sshdone;     // the clean-shutdown thread has finished
  std::mutex childlock;          // guards child, giveup and orphan
  pid_t child;                   // running ssh client, 0 when none
  bool giveup;                   // the wait for ssh is over: kill it
  bool orphan;                   // no enforcing thread: ssh thread frees
} shutdown_node;

class node {
 public:
  node();
  explicit node(chassis* c);
  ~node();

  // Records (model/node.cc).
  void setalive();
  void setdead();
  bool isdead();
  bool ispowered();
  void initfirsttime();
  void clearfirsttime();

  // Limits and automatic shutdown (model/limits.cc, model/shutdown.cc).
  int checklimits();
  void shutdown();

  // Power commands and the power-state query (model/power.cc).
  short command(int code);

  // IPMI discovery (ipmi/discovery.cc).
  bool registermc(ipmi_mc_t* mc);
  bool registersensor(ipmi_sensor_t* sensor);
  bool addsensor(ipmi_sensor_t* sensor, bool discrete);
  bool zerosensors();
  bool reportdomain(int err);

  // Polling and storing readings (ipmi/polling.cc).
  bool getdata();
  bool curlPoll();  // the OpenBMC side of getdata, after the staleness rule
  bool reportsensor(const char* sensorname, double value);

  // OpenBMC worker (openbmc/worker.cc) and requests (openbmc/requests.cc).
  bool curlInit();
  bool curlAddTask(int task);
  bool curlAddTaskOnce(int task);  // false when `task` is already queued
  int curlNext();
  static void* curlNodeThread(void* thenode);
  static void* curlLogin(void* thenode);
  static size_t curlVerifyLogin(char* data, size_t size, size_t count,
                                void* thenode);
  static size_t curlPowerStatus(char* data, size_t size, size_t count,
                                void* thenode);
  static size_t curlPowerCommandVerify(char* data, size_t size, size_t count,
                                       void* thenode);
  static size_t curlGetData(char* data, size_t size, size_t count,
                            void* thenode);
  static size_t curlSendCommand(char* buffer, size_t size, size_t count,
                                void* body);

  chassis* thischassis;
  char* name;  // the BMC is reached as name + "-ipmi"
  char* username;
  char* password;

  // Latest readings, by chassis index. Written by the main thread (IPMI) or
  // the node's REST worker (OpenBMC); read by the output thread and the
  // limit check.
  std::atomic<double> volt[MAXVOLTS];
  std::atomic<double> temp[MAXTEMPS];
  std::atomic<double> fan[MAXFANS];
  std::atomic<double> disc[MAXDISCS];
  // Consecutive zero readings; only the thread that stores readings.
  unsigned char voltfail[MAXVOLTS];
  unsigned char tempfail[MAXTEMPS];
  unsigned char fanfail[MAXFANS];
  unsigned char discfail[MAXDISCS];

  std::atomic<time_t> lastupdate;  // last accepted non-zero reading
  time_t lastquery;                // main thread only
  time_t lastcheck;                // main thread only
  ipmi_con_t* ipmicon;             // main thread only

  // REST side; the worker's own once the main loop runs.
  CURL* curl;
  char* curlURL;
  char* curlDATA;
  char* curlRECV;
  const char* curlCurSens;
  bool curlInuse;
  time_t curlLastLogin;
  time_t curlLastPwrOnCmd;
  CURLcode res;
  openbmc_sensor* openBmcFans[MAXFANS];
  openbmc_sensor* openBmcTemps[MAXTEMPS];
  openbmc_sensor* openBmcVolts[MAXVOLTS];
  pthread_t curlthread;
  bool curlthreadinit;
  int curlwait;
  std::atomic<bool> curlLoggedIn;
  std::atomic<bool> curlInLogin;

  int pwr_statuswaiting;     // main thread only
  std::atomic<bool> power;   // the node is powered on
  char tmperrmsg[MSGLEN];    // main thread's message buffer for this node
  std::list<int> curlTasks;  // guarded by curlTaskLock
  std::mutex curlTaskLock;
  std::condition_variable curlTaskCond;  // signalled when a task is queued
  std::atomic<bool> inShutdown;  // set by the main thread, cleared by the
                                 // enforcing shutdown thread
  bool inAlert;
  bool wasdead;
  bool updated;
  std::atomic<bool> dead;  // the node gives no data

  // IPMI sensor table; main thread only.
  bool discrete[MAXIPMISENSORS];
  ipmi_sensor_t* mysensors[MAXIPMISENSORS];
  ipmi_mc_t* mymc;  // non-null once the BMC was seen; never dereferenced
  // The BMC's durable id: requests reach it through this, so a controller
  // the library has since removed is never touched.
  ipmi_mcid_t mymcid = IPMI_MCID_INVALID;
  sdata_t* mysdatas[MAXIPMISENSORS];
  int sensorcount;
  std::atomic<time_t> firsttime;  // start of the settling time; 0 = none

  // Redfish glue: the node's Redfish side (redfish/link.h), made at start-up.
  redfish_link* redfishlink = nullptr;
};

class cluster {
 public:
  cluster();
  ~cluster();

  // Start-up and one pass of the main loop (daemon/init.cc).
  bool init(char* chassisfile, char* clusterfile, char* commandfile);
  void process();

  // Configuration files (config/).
  void parsechassis(char* path);
  void validatechassis();
  void parsecluster(char* path);
  void setupemail();

  // Limits and automatic shutdown (model/limits.cc, model/shutdown.cc).
  void checklimits();
  bool processshutdown();
  bool poweroffnode(const char* name);
  // Hands a power-off from another thread to the main thread, which sends
  // it at its next pass (OpenIPMI is driven by the main thread only).
  void queuepoweroff(const char* name);
  void runqueuedpoweroffs();

  // Power commands by node name (model/power.cc).
  short command(const char* nodename, int code);

  // Polling (ipmi/polling.cc).
  void getdata();

  // Output (output/).
  void outputfifo();
  void outputautoconf();
  void setupcommandfifo(char* path);
  void processcommandfifo();

  // Lookups and delegators (model/cluster.cc).
  node* findnode(const char* name);
  chassis* findchassis(const char* name);
  int getnumnodes();
  void setnodealive(const char* name);
  void initfirsttime(const char* name);
  bool registersensor(const char* name, ipmi_sensor_t* s);
  bool registermc(const char* name, ipmi_mc_t* mc);
  bool setdead(const char* name);
  bool reportsensor(const char* name, const char* sensor, double value);
  bool zerosensors(const char* name);
  bool reportdomain(const char* name, int err);

  time_t lastoutputtime;
  node mynodes[MAXNODES];
  int numnodes;
  int numchassis;
  char emailto[512];
  char emailfrom[512];
  char emailserver[256];
  bool processalerts;
  bool processshutdowns;
  int commandfifo;
  gid_t apachegid;

  std::mutex poweroffLock;  // guards poweroffQueue
  std::deque<std::string> poweroffQueue;
  std::string commandpartial;  // command pipe bytes after the last line feed
};

extern chassis mychassis[MAXCHASSIS];
extern cluster mycluster;

// Classifies a reading against a limit row: -2, -1, 0, 1 or 2.
int comparelimits(double value, const double* limits);

#endif  // KESTREL_MODEL_DATASTRUCTS_H_
