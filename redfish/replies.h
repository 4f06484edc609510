// Reading Redfish replies and forming request bodies. Every reader takes the
// whole body as received (not NUL-terminated), parses it as JSON with a real
// parser and fills a plain record; it never throws and never reads past
// `len`. A body that is not JSON, is longer than REDFISHMAXBODY, nests deeper
// than REDFISHMAXDEPTH or lacks what the reader needs gives false and a short
// English text in `error` that quotes nothing of the body, so no secret of a
// reply reaches a message. URIs are kept as the service gives them (paths
// such as "/redfish/v1/Systems/1").
#ifndef KESTREL_REDFISH_REPLIES_H_
#define KESTREL_REDFISH_REPLIES_H_

#include <stddef.h>

#include <string>
#include <vector>

// Longest reply body accepted; the receiver stops a transfer beyond it. A
// 276-sensor expanded collection is about 300 KiB.
constexpr size_t REDFISHMAXBODY = 4 * 1024 * 1024;
// Deepest nesting of arrays and objects accepted; real replies stay below 8.
constexpr int REDFISHMAXDEPTH = 32;
// Most members read from one collection or array.
constexpr size_t REDFISHMAXMEMBERS = 1024;
// Longest URI, token or header value kept.
constexpr size_t REDFISHMAXTEXT = 512;

// Power states read from a ComputerSystem.
enum {
  REDFISH_POWER_UNKNOWN = -1,
  REDFISH_POWER_OFF = 0,
  REDFISH_POWER_ON = 1,
  REDFISH_POWER_CHANGING = 2  // PoweringOn, PoweringOff
};

// How the service root advertises $expand.
enum {
  REDFISH_EXPAND_NONE = 0,
  REDFISH_EXPAND_NOLINKS = 1,
  REDFISH_EXPAND_ALL = 2
};

struct redfishroot {
  std::string systems;   // Systems collection
  std::string chassis;   // Chassis collection
  std::string sessions;  // Links.Sessions, else SessionService + "/Sessions"
  int expand = REDFISH_EXPAND_NONE;
  bool expandlevels = false;  // $levels is understood
};

struct redfishsystem {
  int power = REDFISH_POWER_UNKNOWN;
  std::string resettarget;  // Actions."#ComputerSystem.Reset".target
  std::string actioninfo;   // ...@Redfish.ActionInfo, when values live there
  std::vector<std::string> allowed;  // ResetType@Redfish.AllowableValues
};

struct redfishchassis {
  std::string sensors;  // each link empty when the chassis does not serve it
  std::string thermal;
  std::string power;
  std::string thermalsubsystem;
  std::string powersubsystem;
  std::string environment;           // EnvironmentMetrics
  std::vector<std::string> systems;  // Links.ComputerSystems
};

// One sensor, temperature, fan, voltage or power supply as a reply gives it.
struct redfishreading {
  std::string id;         // Id, else MemberId
  std::string name;       // Name, else FanName (older Thermal fans)
  std::string uri;        // @odata.id
  bool absent = false;    // Status.State is "Absent"
  bool hasvalue = false;  // a finite number was read
  double value = 0.0;     // SpeedRPM where present, else the reading
  bool percent = false;   // the value is a percentage (ReadingUnits "%")
  int health = 3;         // Status.Health: 0 OK, 1 Warning, 2 Critical, 3 other
  // The Id of the Sensor that its DataSourceUri names (the last part of the
  // path), where the newer schema gives one: ThermalMetrics and Fan
  // readings are bound by it too.
  std::string source;
  // FAN, TEMP, VOLT or DISC where the reply tells (the array it stands in,
  // a Sensor's ReadingType); -1 for a sensor kestrel does not watch.
  int kind = -1;
  // The BMC's own thresholds by limit column (CRITLOW .. CRITHIGH): a
  // Sensor's Thresholds, or the Lower/UpperThreshold... members of Thermal
  // and Power; a critical one that is missing is taken from the fatal one.
  bool haslimit[4] = {};
  double limits[4] = {};
};

// Nesting depth of the arrays and objects in data[0, len), strings skipped;
// stops counting at limit + 1. Malformed text still gets a depth.
int jsondepth(const char* data, size_t len, int limit);

// Service root: Systems, Chassis, the sessions collection, $expand support
// (ProtocolFeaturesSupported.ExpandQuery: NoLinks for ".", else ExpandAll
// for "*"; Levels for $levels). Systems is required.
bool readroot(const char* data, size_t len, redfishroot* out,
              std::string* error);
// A collection: the @odata.id of each member, in order, at most
// REDFISHMAXMEMBERS. An empty Members array is valid.
bool readmembers(const char* data, size_t len, std::vector<std::string>* out,
                 std::string* error);
// A ComputerSystem: PowerState and its reset action. A missing PowerState
// gives REDFISH_POWER_UNKNOWN and is no error.
bool readsystem(const char* data, size_t len, redfishsystem* out,
                std::string* error);
// An ActionInfo resource: the AllowableValues of its ResetType parameter.
bool readactioninfo(const char* data, size_t len,
                    std::vector<std::string>* allowed, std::string* error);
// The @odata.id of the link object under `key` (PowerSubsystem's
// PowerSupplies); false when there is none.
bool readlinkfield(const char* data, size_t len, const char* key,
                   std::string* uri, std::string* error);
// A Session resource: its UserName and Context ("" where absent).
bool readsession(const char* data, size_t len, std::string* user,
                 std::string* context, std::string* error);
// A Chassis: its sensor links and the systems it holds.
bool readchassis(const char* data, size_t len, redfishchassis* out,
                 std::string* error);
// One Sensor resource (also a PowerSupply resource, whose health is read).
bool readsensor(const char* data, size_t len, redfishreading* out,
                std::string* error);
// A Sensors collection read with $expand: every member inlined. False when
// the members are mere links (the query was ignored).
bool readexpandedsensors(const char* data, size_t len,
                         std::vector<redfishreading>* out, std::string* error);
// Thermal: Fans (Reading) and Temperatures (ReadingCelsius).
bool readthermal(const char* data, size_t len,
                 std::vector<redfishreading>* fans,
                 std::vector<redfishreading>* temps, std::string* error);
// Power: Voltages (ReadingVolts), PowerSupplies (health only) and, when
// `watts` is not null, the power the system draws: the first PowerControl's
// PowerConsumedWatts, or -1 where there is none.
bool readpower(const char* data, size_t len, std::vector<redfishreading>* volts,
               std::vector<redfishreading>* supplies, std::string* error,
               double* watts = nullptr);

// The newer schema (ThermalSubsystem, PowerSubsystem, EnvironmentMetrics),
// which real services serve beside a Sensors collection or in place of
// Thermal and Power.
//
// A ThermalSubsystem: the links of its ThermalMetrics and its Fans
// collection, each "" where absent.
bool readthermalsubsystem(const char* data, size_t len, std::string* metrics,
                          std::string* fans, std::string* error);
// ThermalMetrics: TemperatureReadingsCelsius, each named by DeviceName and
// by the Id in its DataSourceUri (`source`), in degrees Celsius.
bool readthermalmetrics(const char* data, size_t len,
                        std::vector<redfishreading>* temps, std::string* error);
// One Fan resource: Name, Id, Status and its SpeedPercent: SpeedRPM where
// that key is present, else Reading, a percentage (as a Sensor's fan).
bool readfan(const char* data, size_t len, redfishreading* out,
             std::string* error);
// A Fans collection read with $expand, as readexpandedsensors.
bool readexpandedfans(const char* data, size_t len,
                      std::vector<redfishreading>* out, std::string* error);
// EnvironmentMetrics: the power drawn, PowerWatts.Reading, or -1 where it
// has no reading now; `offered` says whether PowerWatts is there at all.
bool readenvironment(const char* data, size_t len, double* watts, bool* offered,
                     std::string* error);

// Status.Health as a discrete value: "OK" 0, "Warning" 1, "Critical" 2,
// anything else or nothing 3.
int healthvalue(const char* health);

// The member of `list` whose Name is exactly `name`, else the first whose Id
// is, else the first whose `source` is; -1 when none.
int bindreading(const char* name, const std::vector<redfishreading>& list);

// The ResetType to send for POWERON, POWEROFF or RESET: "On", "ForceOff" or
// "ForceRestart" when `allowed` is empty (not advertised) or lists it, else
// the nearest listed value ("ForceOn"; "GracefulShutdown"; "PowerCycle",
// "GracefulRestart"). Toggles such as "PushPowerButton" are never chosen, as
// they could do the opposite. Null when nothing fits or for another code.
const char* chooseresettype(int code, const std::vector<std::string>& allowed);

// {"UserName": "...", "Password": "..."}, both escaped, with "Context"
// when `context` is not empty.
std::string sessionbody(const char* user, const char* password,
                        const char* context = "");
// {"ResetType": "..."}.
std::string resetbody(const char* resettype);

// When `line` (one header line as received, with or without CR LF) is the
// header `name` (compared without case), its trimmed value, at most
// REDFISHMAXTEXT bytes, is put in `value` and true returned.
bool readheader(const char* line, size_t len, const char* name,
                std::string* value);

#endif  // KESTREL_REDFISH_REPLIES_H_
