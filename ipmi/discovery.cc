// PLACEHOLDER: replaced when this subsystem lands.
#include "ipmi/openipmi.h"
#include "model/datastructs.h"
sdata_t* sdata_list = nullptr;
void domain_open(ipmi_domain_t*, int, unsigned int, unsigned int, int, void*) {}
void domain_up(ipmi_domain_t*, void*) {}
void my_vlog(os_handler_t*, const char*, enum ipmi_log_type_e, va_list) {}
bool node::registermc(ipmi_mc_t*) { return true; }
bool node::registersensor(ipmi_sensor_t*) { return true; }
bool node::addsensor(ipmi_sensor_t*, bool) { return true; }
bool node::zerosensors() { return true; }
bool node::reportdomain(int err) { dead = err != 0; return true; }
