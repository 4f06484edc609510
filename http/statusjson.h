// GET /status.json: one document with every node and every reading, for
// the status page and for programs. It never holds a BMC user name or
// password.
#ifndef KESTREL_HTTP_STATUSJSON_H_
#define KESTREL_HTTP_STATUSJSON_H_

#include <string>

#include "http/snapshot.h"

// Appends the document of `s`:
//   {"version":..., "time": <s.now>, "alerts": bool, "shutdowns": bool,
//    "settle_seconds": SETTLETIME,
//    "nodes": [{"name", "chassis", "transport", "dead", "power",
//               "last_reading": seconds since the epoch or null,
//               "settling": "none" | "settling" | "settled",
//               "worst": "ok" | "warning" | "critical" | "dead" | "off",
//               "readings": [{"kind": "fan" | "temperature" | "voltage" |
//                                     "discrete",
//                             "sensor", "label",
//                             "unit": "rpm" | "celsius" | "volts" | null,
//                             "value": number or null,
//                             "limits": {"critical_low", "warning_low",
//                                        "warning_high", "critical_high"}
//                                       or null (discrete),
//                             "critical": bool (discrete only),
//                             "state": limitstate() or null}],
//               "events": null (no event log) or [{"time", "sensor",
//                             "event", "asserted", "severity": "info" |
//                             "warning" | "critical"}], oldest first}]}
// Nodes in cluster-file order, readings in chassis order. "state" is given
// whenever the value is; the daemon acts on it only once "settling" is
// "settled".
void formatstatusjson(const clustersnap& s, std::string& out);

#endif  // KESTREL_HTTP_STATUSJSON_H_
