// GET /metrics: the Prometheus text format 0.0.4, or OpenMetrics 1.0.0 for
// a client that asks for it.
#ifndef KESTREL_HTTP_METRICS_H_
#define KESTREL_HTTP_METRICS_H_

#include <string>

#include "http/snapshot.h"

extern const char* const METRICSTYPE;      // text/plain; version=0.0.4; ...
extern const char* const OPENMETRICSTYPE;  // application/openmetrics-text...

// Whether an Accept header value prefers OpenMetrics: its q-value for
// application/openmetrics-text is above 0 and not below the best one for
// text/plain, text/* or */*. nullptr (no header) gives false.
bool wantsopenmetrics(const char* accept);

// Appends every metric family of `s`, each with # HELP and # TYPE even when
// it has no sample, samples in the order of the cluster file. A reading the
// snapshot does not have present is left out, never given as 0. With
// `openmetrics`, counters and the build info are typed as OpenMetrics wants
// (family name without _total / _info) and the text ends in "# EOF".
void formatmetrics(const clustersnap& s, bool openmetrics, std::string& out);

#endif  // KESTREL_HTTP_METRICS_H_
