// The Redfish driver: one thread that carries the requests of every Redfish
// node over libcurl's multi interface (the reasons are in driver.cc).
#ifndef KESTREL_REDFISH_DRIVER_H_
#define KESTREL_REDFISH_DRIVER_H_

#include "model/locks.h"

class node;
class redfish_link;

// Guards the inbox of every link (wantpoll, wantstatus, wantstop, commands,
// listed) and the driver's list of links with news.
extern lockable redfishlock;

// The whole exit clean-up of the Redfish nodes: logouts in parallel. A
// request under way is abandoned for the logout, which a slow BMC may take
// seconds to answer.
constexpr int REDFISHSTOPMS = 11000;

// Makes the link of `n`, gives it its transfer and registers the exit
// clean-up; start-up, main thread, before the main loop runs.
redfish_link* redfishattach(node* n);
// Tells the driver that `l` has work; starts the driver thread on first use
// (main thread). A link that was never attached is left alone.
void redfishnotify(redfish_link* l);
// For a process that talks to one BMC and starts no driver (a probe): runs
// the jobs in the link's inbox on the calling thread, one request at a
// time, until it has none left. The link comes from redfishattach and is
// never handed to redfishnotify.
void redfishdrive(redfish_link* l);
struct redfishreply;
struct redfishrequest;
// One request of such a link, sent and answered on the calling thread, with
// the limits and checks of every request (a link leaving the BMC is
// refused: the reply holds the failure).
redfishreply redfishfetch(redfish_link* l, const redfishrequest& req);
// Stops every link: each logs out (REDFISHLOGOUTMS at most) and finishes.
// Returns when all have finished or after REDFISHSTOPMS.
void redfishstopall();

#endif  // KESTREL_REDFISH_DRIVER_H_
