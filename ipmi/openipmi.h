// OpenIPMI callbacks, request records and name splitting. Everything here
// runs on the main thread: OpenIPMI is driven by the single-threaded POSIX
// OS handler and calls back only from within the main loop's event step.
#ifndef KESTREL_IPMI_OPENIPMI_H_
#define KESTREL_IPMI_OPENIPMI_H_

#include <OpenIPMI/ipmi_conn.h>
#include <OpenIPMI/ipmiif.h>
#include <OpenIPMI/os_handler.h>
#include <stdarg.h>

// Request record: one per registered sensor, reference counted.
typedef struct sdata_s {
  unsigned int refcount;
  ipmi_sensor_id_t sensor_id;
  char name[128];  // the sensor's full OpenIPMI name
  ipmi_event_state_t* es;
  ipmi_thresholds_t* th;
  int state_sup;
  int thresh_sup;
  struct sdata_s* next;
  struct sdata_s* prev;
} sdata_t;

extern sdata_t* sdata_list;

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
void my_vlog(os_handler_t* handler, const char* format,
             enum ipmi_log_type_e log_type, va_list ap);

void got_thresh_reading(ipmi_sensor_t* sensor, int err,
                        enum ipmi_value_present_e value_present,
                        unsigned int raw_value, double val,
                        ipmi_states_t* states, void* cb_data);
void got_discrete_states(ipmi_sensor_t* sensor, int err,
                         ipmi_states_t* states, void* cb_data);
bool* ipmi_get_states(ipmi_sensor_t* sensor, ipmi_states_t* states,
                      int& num_states);

void powerstatus(ipmi_mc_t* src, ipmi_msg_t* msg, void* rsp_data);

#endif  // KESTREL_IPMI_OPENIPMI_H_
