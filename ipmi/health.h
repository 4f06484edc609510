// Health values of the discrete sensors the daemon understands, derived from
// the event-offset states the BMC reports.
#ifndef KESTREL_IPMI_HEALTH_H_
#define KESTREL_IPMI_HEALTH_H_

// Number of event offsets read from a discrete sensor (0 to 14).
constexpr int IPMI_NUM_STATES = 15;

// Power supply (sensor type 08h): IPMI_DISC_HEALTHY, _WARN or _CRIT.
int powersupplyhealth(const bool* states);
// Battery (sensor type 29h): IPMI_DISC_HEALTHY, _WARN or _CRIT.
int batteryhealth(const bool* states);

#endif  // KESTREL_IPMI_HEALTH_H_
