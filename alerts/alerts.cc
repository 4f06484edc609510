// PLACEHOLDER: replaced when this subsystem lands.
#include "alerts/alerts.h"
std::atomic<bool> alertlock{false};
time_t globalreporttime = 0;
pthread_t emailthread;
email::email() : threadstatus(0), body(nullptr), to(), from(), server(), subject(), bodyindex(nullptr) {}
void alerts::process() {}
void alerts::testemail() {}
void alerts::setupemail(const char*, const char*, const char*) {}
