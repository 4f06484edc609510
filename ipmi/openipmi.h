// OpenIPMI callbacks, request records and name splitting. Everything here
// runs on the main thread: OpenIPMI is driven by the single-threaded POSIX
// OS handler and calls back only from within the main loop's event step.
#ifndef KESTREL_IPMI_OPENIPMI_H_
#define KESTREL_IPMI_OPENIPMI_H_

#include <OpenIPMI/ipmi_conn.h>
#include <OpenIPMI/ipmi_mc.h>
#include <OpenIPMI/ipmiif.h>
#include <OpenIPMI/os_handler.h>
#include <stdarg.h>

#include "ipmi/dcmi.h"
#include "ipmi/sel.h"
#include "model/datastructs.h"

// The OpenIPMI POSIX OS handler, which drives every connection and runs the
// event loop. Set up by the daemon at start, before the configuration is
// read; main thread only.
extern os_handler_t* os_hnd;
// Some node has answered: connection reports are believed from then on.
// Main thread only.
extern bool domainisup;
// OpenIPMI's own log on stdout; set before start-up, read-only after.
extern bool debugipmilog;

// Request record: one per registered sensor, reference counted.
typedef struct sdata_s {
  unsigned int refcount;
  ipmi_sensor_id_t sensor_id;
  char name[128];  // the sensor's full OpenIPMI name
} sdata_t;

sdata_t* alloc_sdata(ipmi_sensor_t* sensor);
void use_sdata(sdata_t* sdata);
void release_sdata(sdata_t* sdata);

bool sensor_nodenameonly(char* nodename, const char* fullname);
bool sensor_nameonly(char* sensorname, char* fullname);

void domain_open(ipmi_domain_t* domain, int err, unsigned int conn_num,
                 unsigned int port_num, int still_connected, void* user_data);
void domain_up(ipmi_domain_t* domain, void* cb_data);
void handle_mc(ipmi_update_e op, ipmi_domain_t* domain, ipmi_mc_t* mc,
               void* cb_data);
void entity_change(ipmi_update_e op, ipmi_domain_t* domain,
                   ipmi_entity_t* entity, void* cb_data);
void sensor_change(ipmi_update_e op, ipmi_entity_t* ent, ipmi_sensor_t* sensor,
                   void* cb_data);
// OpenIPMI's log, passed through with the library's own format.
void my_vlog(os_handler_t* handler, const char* format,
             enum ipmi_log_type_e log_type, va_list ap)
    __attribute__((format(printf, 2, 0)));

void got_thresh_reading(ipmi_sensor_t* sensor, int err,
                        enum ipmi_value_present_e value_present,
                        unsigned int raw_value, double val,
                        ipmi_states_t* states, void* cb_data);
void got_discrete_states(ipmi_sensor_t* sensor, int err,
                         ipmi_states_t* states, void* cb_data);
bool* ipmi_get_states(ipmi_sensor_t* sensor, ipmi_states_t* states,
                      int& num_states);

// The system event log (ipmi/sel.cc). At every connection report: registers
// the event handler on the node's domain once and sets its rescan time.
void watchsel(ipmi_domain_t* domain);
// The domain is fully up, its log as first read delivered: entries from
// now on are reported. A BMC without a SEL, or one that refuses to give
// it, is reported once.
void selfirstread(ipmi_domain_t* domain);
// Each SEL entry OpenIPMI has not delivered before.
void sel_event(ipmi_domain_t* domain, ipmi_event_t* event, void* cb_data);

// The reply to Get Chassis Status; rsp_data is the node.
void powerstatus(ipmi_mc_t* src, ipmi_msg_t* msg, void* rsp_data);
// The reply to the DCMI power reading (ipmi/dcmi.h); rsp_data is the link.
void powerreading(ipmi_mc_t* src, ipmi_msg_t* msg, void* rsp_data);

// The IPMI record of a node: its connection, its BMC and its sensor table.
// Main thread only, like everything OpenIPMI.
class ipmi_link : public transport {
 public:
  explicit ipmi_link(node* n);
  bool poll(node* n) override;
  bool command(node* n, int code) override;
  const char* name() const override { return "ipmi"; }
  bool hardwareevents(std::vector<hardwareevent>* recent,
                      unsigned long long* counts) override;

  void registermc(ipmi_mc_t* mc);
  // Gives the sensor an entry for every chassis slot of its name.
  bool registersensor(ipmi_sensor_t* sensor);
  bool addsensor(ipmi_sensor_t* sensor, bool discrete);

  node* owner;
  ipmi_con_t* ipmicon;
  bool discrete[MAXIPMISENSORS];
  ipmi_sensor_t* mysensors[MAXIPMISENSORS];
  ipmi_mc_t* mymc;  // non-null once the BMC was seen; never dereferenced
  // The BMC's durable id: requests reach it through this, so a controller
  // the library has since removed is never touched.
  ipmi_mcid_t mymcid = IPMI_MCID_INVALID;
  sdata_t* mysdatas[MAXIPMISENSORS];
  int sensorcount;
  selrecord sel;  // the BMC's event log as the daemon has seen it
  const char* powerwords = "";  // the last power command, for its answer
  // The DCMI power reading: DCMI_UNASKED, _ANSWERING or _GIVENUP, busy
  // answers before the first reading, and whether a request is out (one
  // at a time: the library always answers, with a time-out at worst).
  int dcmi = DCMI_UNASKED;
  int dcmitries = 0;
  bool dcmiwaiting = false;
};

// Sends a request to LUN 0 of the node's BMC, reached through its id: a
// controller the library has since removed refuses the request instead of
// being touched. 0 once sent; the handler is then always called.
int sendtobmc(ipmi_link* l, ipmi_msg_t* msg, ipmi_mc_response_handler_t handler,
              void* data);
// Asks for the power the node draws, unless its BMC has declined to tell
// or a request is still out; the answer goes to the node's reportwatts.
void askpowerreading(ipmi_link* l);

// Whether a name can serve as the OpenIPMI domain name of a LAN node: every
// callback finds its node by the domain name, which the library would cut.
bool fitsdomainname(const char* name);

// The IPMI record of the first node of that name, or null when there is
// none or it is reached otherwise.
ipmi_link* findipmi(const char* nodename);

// Opens the connection and domain of an IPMI node (over the LAN, or the
// local system interface for user "SMI") and gives it its record; ends the
// process with a message when the connection cannot be set up.
transport* ipmi_attach(node* n);
// Ends the process as ipmi_attach would, with its message, where the node's
// connection could not be set up, but sets nothing up and sends nothing:
// the name is too long, the BMC name does not resolve (looked up as
// ipmi_foresee started it), or no device of the local interface opens.
void ipmi_check(const node* n);
// The connection of an IPMI node, set up as ipmi_attach does; OpenIPMI's
// result (0: set up). Ends the process when the name cannot be a domain's.
int ipmi_setupcon(node* n, ipmi_con_t** con);
// Starts the look-up of a LAN node's BMC name, which ipmi_attach then waits
// for (a bounded time) instead of having OpenIPMI resolve it.
void ipmi_foresee(const char* nodename, const char* username);

#endif  // KESTREL_IPMI_OPENIPMI_H_
