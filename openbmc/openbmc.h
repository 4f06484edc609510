// The OpenBMC REST client: buffer sizes, time-outs and the request sequences
// that a node's worker runs. Every function here runs on the node's worker
// thread, except the first login, which the cluster file reader makes on the
// main thread before the worker has any task.
#ifndef KESTREL_OPENBMC_OPENBMC_H_
#define KESTREL_OPENBMC_OPENBMC_H_

#include <stddef.h>
#include <time.h>

class node;

constexpr size_t CURLURLLEN = 652;    // node::curlURL
constexpr size_t CURLDATALEN = 4096;  // node::curlDATA

// Power and power-state requests must not hold the worker for long.
constexpr long CURLPOWERTIMEOUTMS = 750;
// Login and sensor requests get time-outs too, so that a BMC that accepts a
// connection and never answers cannot stall start-up (the first login runs
// on the main thread) nor its worker for good. A real BMC answers within a
// second or two; a readout of a stalled BMC costs CURLREADTIMEOUTMS per
// sensor, on that node's worker only.
constexpr long CURLCONNECTTIMEOUTMS = 3000;
constexpr long CURLLOGINTIMEOUTMS = 5000;
constexpr long CURLREADTIMEOUTMS = 5000;

// Sends POWERON, POWEROFF or RESET; `now` is the task's time.
void curlpowercommand(node* n, int task, time_t now);
// Asks for the chassis power state.
void curlpowerstate(node* n);
// Reads every fan, temperature and voltage sensor of the node's chassis.
void curlreadsensors(node* n);

#endif  // KESTREL_OPENBMC_OPENBMC_H_
