"""A Redfish test BMC over real TLS, in five flavours of byte layout.

- "dmtf": the DMTF mockup: 4-space JSON in schema order, a Sensors
  collection that honours $expand (advertised in the service root), Thermal
  and Power beside it, sessions, reset values listed inline.
- "bmcweb": OpenBMC's web server: 2-space JSON with sorted keys, sensor ids
  "<type>_<name>" with "_" for spaces, fans as Percent with the speed in
  SpeedRPM, $expand refused with 400, no Thermal or Power (PowerSubsystem
  instead), reset values in a ResetActionInfo resource, and a first chassis
  that holds no sensors.
- "idrac": an older iDRAC/iLO: compact JSON, only Thermal and Power, the
  session POST refused with 405, so every request needs basic
  authentication.
- "ami": a MegaRAC-like service: $expand advertised, but its Sensors
  collection holds only a power meter; fans, temperatures, voltages and
  supplies are in Thermal and Power.
- "newer": a service of the newer schema only, as the DMTF mockup lays it
  out without its deprecated parts: no Thermal or Power, a Sensors
  collection that lists only the voltages (or, with `sensors_collection`
  false, none at all), temperatures in ThermalSubsystem/ThermalMetrics
  (DeviceName, DataSourceUri to a Sensor the collection may lack), fans in
  ThermalSubsystem/Fans (SpeedPercent: Reading, and SpeedRPM unless the fan
  is `percent`), supplies in PowerSubsystem/PowerSupplies and the power
  drawn in EnvironmentMetrics.PowerWatts. $expand only with `expand`.

Run as a program it serves one or more BMCs (one loopback address each, port
443) with one self-signed certificate, made by `openssl` at test time, naming
every BMC. The test drives it through `TestBmc` or `Fleet`: a Unix control
socket changes a BMC's state (readings, power, health, allowed reset values,
expired tokens, stalls, reset connections, malformed or huge bodies, links
to elsewhere), and
each BMC appends every request it receives to a JSON-lines log.
"""

import base64
import json
import os
import random
import re
import sys
import threading
import time

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))))
from tests.harness import tlspeer, util  # noqa: E402

SESSIONS = "/redfish/v1/SessionService/Sessions"
KINDS = {  # kind: (ReadingType, ReadingUnits, bmcweb id prefix)
    "temp": ("Temperature", "Cel", "temperature"),
    "volt": ("Voltage", "V", "voltage"),
    "fan": ("Rotational", "RPM", "fantach"),
}
FLAVOURS = {  # system id, chassis id, reset values
    "dmtf": ("437XR1138R2", "1U",
             ["On", "ForceOff", "GracefulShutdown", "GracefulRestart",
              "ForceRestart", "Nmi", "ForceOn", "PushPowerButton"]),
    "bmcweb": ("system", "chassis",
               ["On", "ForceOff", "ForceOn", "ForceRestart", "GracefulRestart",
                "GracefulShutdown", "PowerCycle", "Nmi"]),
    "idrac": ("System.Embedded.1", "System.Embedded.1",
              ["On", "ForceOff", "ForceRestart", "GracefulShutdown",
               "PushPowerButton", "Nmi"]),
    "ami": ("Self", "Self", ["On", "ForceOff", "ForceRestart",
                             "GracefulShutdown"]),
    "newer": ("host", "board", ["On", "ForceOff", "ForceRestart",
                                "GracefulShutdown", "GracefulRestart"]),
}
# What an "ami" Sensors collection holds instead of the readings.
POWER_METER = {"Id": "Power", "Name": "Power Consumption Monitor",
               "ReadingType": "Power", "Reading": 196}
RESET_EFFECT = {"On": "On", "ForceOn": "On", "ForceOff": "Off",
                "GracefulShutdown": "Off", "ForceRestart": "On",
                "GracefulRestart": "On", "PowerCycle": "On"}
HUGE = 100 * 1024 * 1024
# A Sensor's Thresholds members as Thermal and Power name them.
OLDER_THRESHOLDS = {"LowerCritical": "LowerThresholdCritical",
                    "LowerCaution": "LowerThresholdNonCritical",
                    "UpperCaution": "UpperThresholdNonCritical",
                    "UpperCritical": "UpperThresholdCritical"}



def error_body(code, message):
    return {"error": {"code": "Base.1.13.%s" % code, "message": message,
                      "@Message.ExtendedInfo": [{
                          "MessageId": "Base.1.13.%s" % code,
                          "Message": message}]}}


# ---------------------------------------------------------------------------
# The server side (runs in its own process).
# ---------------------------------------------------------------------------

class Bmc:
    """One BMC: its resources, sessions and faults; guarded by `lock`."""

    def __init__(self, conf, logdir):
        self.lock = threading.Lock()
        self.name = conf["name"]
        self.flavour = conf.get("flavour", "dmtf")
        self.system, self.chassis, allowed = FLAVOURS[self.flavour]
        self.allowed = conf.get("allowed", allowed)
        self.user = conf.get("user", "admin")
        self.password = conf.get("password", "secret")
        self.power = conf.get("power", "On")
        # By name, or by id where one is given: two sensors may share a name.
        self.sensors = {s.get("id", s["name"]): dict(s)
                        for s in conf.get("sensors", [])}
        self.sessions = {}  # token -> session id
        self.contexts = {}  # session id -> the Context its login gave
        self.no_context = conf.get("no_context", False)  # 400 on "Context"
        self.max_sessions = 0
        self.next_session = 1
        self.resets = []
        self.stall = None  # None, "accept" (no TLS handshake) or "reply"
        self.unstall = threading.Event()
        self.fault = None  # None, "reset" or a malformed-body kind
        # A real BMC's pace and limits: seconds per request (a number, or
        # [low, high] drawn at random), 503 answers (a count of requests,
        # or until a time), the most sessions it holds, and how long a login
        # takes after its session was made.
        self.latency = conf.get("latency", 0)
        self.busy_count = 0
        self.busy_until = 0.0
        self.session_cap = conf.get("session_cap", 0)
        self.login_delay = conf.get("login_delay", 0)
        self.watts = conf.get("watts", 0)  # PowerControl's; 0: none given
        # "newer": $expand served and advertised, and whether the chassis
        # links a Sensors collection at all.
        self.expand = conf.get("expand", False)
        self.sensors_collection = conf.get("sensors_collection", True)
        # A hostile BMC's links: "sessions" (the root's Links.Sessions),
        # "system" (the Systems member), "location" (a login's Location).
        self.links = {}
        self.logpath = (os.path.join(logdir, "requests-%s.log" % self.name)
                        if conf.get("log", True) else None)

    def record(self, entry):
        if self.logpath:
            with self.lock, open(self.logpath, "a") as f:
                f.write(json.dumps(entry) + "\n")

    def apply(self, command):
        with self.lock:
            if "power" in command:
                self.power = command["power"]
            for name, change in command.get("sensors", {}).items():
                if change is None:
                    self.sensors.pop(name, None)
                else:
                    self.sensors.setdefault(name, {"name": name}).update(change)
            if "allowed" in command:
                self.allowed = command["allowed"]
            if command.get("expire"):
                self.sessions.clear()  # every token is now unknown: 401
            self.links.update(command.get("links", {}))
            if "latency" in command:
                self.latency = command["latency"]
            if "busy" in command:  # {"count": n} or {"seconds": s}
                busy = command["busy"] or {}
                self.busy_count = busy.get("count", 0)
                self.busy_until = time.time() + busy.get("seconds", 0)
            for knob in ("session_cap", "login_delay"):
                if knob in command:
                    setattr(self, knob, command[knob])
            tlspeer.apply_faults(self, command)
            return {"power": self.power, "sessions": len(self.sessions),
                    "max_sessions": self.max_sessions, "resets": self.resets}

    # -- authentication ----------------------------------------------------
    def authorised(self, headers):
        token = headers.get("X-Auth-Token")
        with self.lock:
            if token is not None and self.flavour != "idrac":
                return token in self.sessions
            auth = headers.get("Authorization", "")
            if auth.startswith("Basic "):
                try:
                    user, _, password = base64.b64decode(
                        auth[6:]).decode().partition(":")
                except ValueError:
                    return False
                return user == self.user and password == self.password
        return False

    def login(self, body):
        if self.flavour == "idrac":
            return 405, error_body("OperationNotAllowed",
                                   "The session service is disabled."), []
        try:
            data = json.loads(body)
            user, password = data["UserName"], data["Password"]
        except (ValueError, KeyError, TypeError):
            return 400, error_body("MalformedJSON", "Malformed request"), []
        with self.lock:
            if user != self.user or password != self.password:
                return 401, error_body("NoValidSession", "Login failed"), []
            if "Context" in data and self.no_context:
                return 400, error_body("PropertyUnknown",
                                       "The property Context is not known."), []
            if self.session_cap and len(self.sessions) >= self.session_cap:
                # As MegaRAC and iLO answer a full session table.
                return 503, error_body("SessionLimitExceeded",
                                       "The session limit is reached."), []
            token = base64.b64encode(os.urandom(15)).decode()
            sid = str(self.next_session)
            self.next_session += 1
            self.sessions[token] = sid
            self.contexts[sid] = data.get("Context", "")
            self.max_sessions = max(self.max_sessions, len(self.sessions))
        # The session exists from here, whether or not the client waits.
        time.sleep(self.login_delay)
        uri = "%s/%s" % (SESSIONS, sid)
        return (201, {"@odata.id": uri, "Id": sid, "UserName": user},
                [("X-Auth-Token", token),
                 ("Location", self.links.get("location", uri))])

    def busy(self):
        """Whether this request gets a 503, counting it down."""
        with self.lock:
            if self.busy_count > 0:
                self.busy_count -= 1
                return True
            return time.time() < self.busy_until

    def logout(self, sid):
        with self.lock:
            tokens = [t for t, s in self.sessions.items() if s == sid]
            for t in tokens:
                del self.sessions[t]
        if not tokens:
            return 404, error_body("ResourceNotFound", "No such session"), []
        return 204, None, []

    # -- resources ---------------------------------------------------------
    def sensor_id(self, s):
        if "id" in s:
            return s["id"]
        if self.flavour == "bmcweb" and s["kind"] in KINDS:
            return "%s_%s" % (KINDS[s["kind"]][2], s["name"].replace(" ", "_"))
        return re.sub(r"[^A-Za-z0-9]", "", s["name"])

    def of_kind(self, *kinds):
        return [s for s in self.sensors.values() if s["kind"] in kinds]

    def sensor_doc(self, s):
        base = "/redfish/v1/Chassis/%s/Sensors/" % self.chassis
        rtype, units, _ = KINDS[s["kind"]]
        sid = self.sensor_id(s)
        doc = {"@odata.id": base + sid, "@odata.type": "#Sensor.v1_6_0.Sensor",
               "Id": sid, "Name": s["name"], "ReadingType": rtype,
               "Reading": s.get("value"), "ReadingUnits": units,
               "Status": {"State": "Enabled", "Health": s.get("health", "OK")}}
        if s["kind"] == "fan":
            doc["PhysicalContext"] = "Fan"
        if "thresholds" in s:  # {"UpperCritical": 90, ...}
            doc["Thresholds"] = {k: {"Reading": v}
                                 for k, v in s["thresholds"].items()}
        if s.get("percent"):  # a fan given only as a share of full speed
            doc.update(ReadingType="Percent", ReadingUnits="%")
        elif s["kind"] == "fan" and self.flavour == "bmcweb":
            speed = s.get("value")
            doc.update(ReadingType="Percent", ReadingUnits="%", SpeedRPM=speed,
                       Reading=None if speed is None else round(speed / 120, 1))
        return doc

    def supply_doc(self, s, uri=None):
        doc = {"Name": s["name"], "MemberId": self.sensor_id(s),
               "Status": {"State": s.get("state", "Enabled")}}
        if "health" in s:
            doc["Status"]["Health"] = s["health"]
        if uri:
            doc = dict({"@odata.id": uri, "Id": self.sensor_id(s)}, **doc)
            del doc["MemberId"]
        return doc

    def older_thresholds(self, s):
        """A sensor's thresholds as Thermal and Power name them."""
        return {OLDER_THRESHOLDS[k]: v
                for k, v in s.get("thresholds", {}).items()}

    def collection(self, uris):
        return {"Members": [{"@odata.id": u} for u in uris],
                "Members@odata.count": len(uris)}

    def resource(self, path, query):
        """(status, document) for a GET of `path`."""
        sysuri = "/redfish/v1/Systems/" + self.system
        churi = "/redfish/v1/Chassis/" + self.chassis
        if path in ("/redfish/v1", "/redfish/v1/"):
            root = {"@odata.id": "/redfish/v1/", "Id": "RootService",
                    "Systems": {"@odata.id": "/redfish/v1/Systems"},
                    "Chassis": {"@odata.id": "/redfish/v1/Chassis"},
                    "SessionService": {"@odata.id": "/redfish/v1/SessionService"}}
            if self.flavour != "idrac":
                on = self.flavour in ("dmtf", "ami") or (
                    self.flavour == "newer" and self.expand)
                root["ProtocolFeaturesSupported"] = {"ExpandQuery": {
                    "ExpandAll": on, "Levels": on, "Links": on, "NoLinks": on}}
                root["Links"] = {"Sessions": {
                    "@odata.id": self.links.get("sessions", SESSIONS)}}
            return 200, root
        if path == SESSIONS:
            with self.lock:
                ids = sorted(set(self.sessions.values()), key=int)
            return 200, self.collection(["%s/%s" % (SESSIONS, i) for i in ids])
        if path.startswith(SESSIONS + "/"):
            sid = path[len(SESSIONS) + 1:]
            with self.lock:
                if sid in self.sessions.values():
                    return 200, {"@odata.id": path, "Id": sid,
                                 "UserName": self.user,
                                 "Context": self.contexts.get(sid, "")}
        if path == "/redfish/v1/Systems":
            return 200, self.collection([self.links.get("system", sysuri)])
        if path == sysuri:
            reset = {"target": sysuri + "/Actions/ComputerSystem.Reset"}
            if self.flavour == "bmcweb":
                reset["@Redfish.ActionInfo"] = sysuri + "/ResetActionInfo"
            else:
                reset["ResetType@Redfish.AllowableValues"] = self.allowed
            return 200, {"@odata.id": sysuri, "Id": self.system,
                         "PowerState": self.power,
                         "Actions": {"#ComputerSystem.Reset": reset}}
        if path == sysuri + "/ResetActionInfo" and self.flavour == "bmcweb":
            return 200, {"Parameters": [{"Name": "ResetType", "Required": True,
                                         "DataType": "String",
                                         "AllowableValues": self.allowed}]}
        if path == "/redfish/v1/Chassis":
            uris = [churi]
            if self.flavour == "bmcweb":
                uris.insert(0, "/redfish/v1/Chassis/Tray")
            return 200, self.collection(uris)
        if path == "/redfish/v1/Chassis/Tray" and self.flavour == "bmcweb":
            return 200, {"@odata.id": path, "Id": "Tray", "Name": "Tray"}
        if path == churi and self.flavour == "newer":
            doc = {"@odata.id": churi, "Id": self.chassis,
                   "ThermalSubsystem": {
                       "@odata.id": churi + "/ThermalSubsystem"},
                   "PowerSubsystem": {"@odata.id": churi + "/PowerSubsystem"},
                   "EnvironmentMetrics": {
                       "@odata.id": churi + "/EnvironmentMetrics"},
                   "Links": {"ComputerSystems": [{"@odata.id": sysuri}]}}
            if self.sensors_collection:
                doc["Sensors"] = {"@odata.id": churi + "/Sensors"}
            return 200, doc
        if self.flavour == "newer" and path.startswith(churi + "/"):
            return self.newer_resource(path[len(churi):], query)
        if path == churi:
            doc = {"@odata.id": churi, "Id": self.chassis,
                   "Links": {"ComputerSystems": [{"@odata.id": sysuri}]}}
            if self.flavour != "idrac":
                doc["Sensors"] = {"@odata.id": churi + "/Sensors"}
            if self.flavour != "bmcweb":
                doc["Thermal"] = {"@odata.id": churi + "/Thermal"}
                doc["Power"] = {"@odata.id": churi + "/Power"}
            else:
                doc["PowerSubsystem"] = {"@odata.id": churi + "/PowerSubsystem"}
            return 200, doc
        if self.flavour == "ami" and path.startswith(churi + "/Sensors"):
            meter = dict(POWER_METER, **{"@odata.id": churi + "/Sensors/Power"})
            if path == churi + "/Sensors/Power":
                return 200, meter
            if path == churi + "/Sensors":
                if "$expand" in query:
                    return 200, {"Members": [meter], "Members@odata.count": 1}
                return 200, self.collection([meter["@odata.id"]])
        if self.flavour != "idrac" and path == churi + "/Sensors":
            sensors = self.of_kind("temp", "volt", "fan")
            if "$expand" in query:
                if self.flavour == "bmcweb":
                    return 400, error_body(
                        "QueryParameterValueFormatError",
                        "The value for the parameter $expand is invalid.")
                return 200, {"Members": [self.sensor_doc(s) for s in sensors],
                             "Members@odata.count": len(sensors)}
            return 200, self.collection(
                [churi + "/Sensors/" + self.sensor_id(s) for s in sensors])
        if self.flavour != "idrac" and path.startswith(churi + "/Sensors/"):
            for s in self.of_kind("temp", "volt", "fan"):
                if path == churi + "/Sensors/" + self.sensor_id(s):
                    return 200, self.sensor_doc(s)
        if self.flavour != "bmcweb" and path == churi + "/Thermal":
            return 200, {"@odata.id": path, "Fans": [
                dict({"Name": s["name"], "MemberId": self.sensor_id(s),
                      "Reading": s.get("value"),
                      "ReadingUnits": "Percent" if s.get("percent") else "RPM"},
                     **self.older_thresholds(s))
                for s in self.of_kind("fan")], "Temperatures": [
                dict({"Name": s["name"], "MemberId": self.sensor_id(s),
                      "ReadingCelsius": s.get("value")},
                     **self.older_thresholds(s))
                for s in self.of_kind("temp")]}
        if self.flavour != "bmcweb" and path == churi + "/Power":
            watts = [{"Name": "System Power Control",
                      "PowerConsumedWatts": self.watts}] if self.watts else []
            return 200, {"@odata.id": path, "PowerControl": watts,
                         "PowerSupplies": [
                self.supply_doc(s) for s in self.of_kind("psu")], "Voltages": [
                dict({"Name": s["name"], "MemberId": self.sensor_id(s),
                      "ReadingVolts": s.get("value")}, **self.older_thresholds(s))
                for s in self.of_kind("volt")]}
        if self.flavour == "bmcweb":
            psus = churi + "/PowerSubsystem/PowerSupplies"
            if path == churi + "/PowerSubsystem":
                return 200, {"PowerSupplies": {"@odata.id": psus}}
            if path == psus:
                return 200, self.collection(
                    [psus + "/" + self.sensor_id(s) for s in self.of_kind("psu")])
            for s in self.of_kind("psu"):
                if path == psus + "/" + self.sensor_id(s):
                    return 200, self.supply_doc(s, path)
        return 404, error_body("ResourceNotFound", "No resource at %s" % path)

    def newer_resource(self, sub, query):
        """(status, document) for a GET of the "newer" chassis' `sub` path."""
        churi = "/redfish/v1/Chassis/" + self.chassis
        sensors = churi + "/Sensors/"
        fans = churi + "/ThermalSubsystem/Fans"
        psus = churi + "/PowerSubsystem/PowerSupplies"
        listed = [s for s in self.of_kind("temp", "volt", "fan")
                  if s.get("listed", s["kind"] == "volt")]

        def fan_doc(s):
            speed = {"DataSourceUri": sensors + self.sensor_id(s)}
            value = s.get("value")
            if s.get("percent"):
                speed["Reading"] = value
            else:
                speed.update(SpeedRPM=value, Reading=None if value is None
                             else round(value / 120, 1))
            return {"@odata.id": fans + "/" + self.sensor_id(s),
                    "@odata.type": "#Fan.v1_5_0.Fan", "Id": self.sensor_id(s),
                    "Name": s["name"], "SpeedPercent": speed,
                    "Status": {"State": "Enabled",
                               "Health": s.get("health", "OK")}}

        def expandable(docs, uris):
            if "$expand" not in query:
                return 200, self.collection(uris)
            if not self.expand:
                return 400, error_body(
                    "QueryNotSupported", "The $expand query is not supported.")
            return 200, {"Members": docs, "Members@odata.count": len(docs)}

        if sub == "/Sensors" and self.sensors_collection:
            return expandable([self.sensor_doc(s) for s in listed],
                              [sensors + self.sensor_id(s) for s in listed])
        for s in listed:
            if (self.sensors_collection
                    and sub == "/Sensors/" + self.sensor_id(s)):
                return 200, self.sensor_doc(s)
        if sub == "/ThermalSubsystem":
            return 200, {"@odata.id": churi + sub, "Id": "ThermalSubsystem",
                         "Fans": {"@odata.id": fans},
                         "ThermalMetrics": {"@odata.id": churi + sub
                                            + "/ThermalMetrics"},
                         "Status": {"State": "Enabled", "Health": "OK"}}
        if sub == "/ThermalSubsystem/ThermalMetrics":
            temps = self.of_kind("temp")
            return 200, {"@odata.id": churi + sub, "Id": "ThermalMetrics",
                         "TemperatureSummaryCelsius": {"Internal": {
                             "Reading": max([t.get("value") or 0
                                             for t in temps] or [0])}},
                         "TemperatureReadingsCelsius": [
                             {"DeviceName": t["name"],
                              "Reading": t.get("value"),
                              "DataSourceUri": sensors + self.sensor_id(t)}
                             for t in temps]}
        if churi + sub == fans:
            docs = [fan_doc(s) for s in self.of_kind("fan")]
            return expandable(docs, [d["@odata.id"] for d in docs])
        for s in self.of_kind("fan"):
            if churi + sub == fans + "/" + self.sensor_id(s):
                return 200, fan_doc(s)
        if sub == "/PowerSubsystem":
            return 200, {"@odata.id": churi + sub, "Id": "PowerSubsystem",
                         "PowerSupplies": {"@odata.id": psus}}
        if churi + sub == psus:
            docs = [self.supply_doc(s, psus + "/" + self.sensor_id(s))
                    for s in self.of_kind("psu")]
            return expandable(docs, [d["@odata.id"] for d in docs])
        for s in self.of_kind("psu"):
            if churi + sub == psus + "/" + self.sensor_id(s):
                return 200, self.supply_doc(s, churi + sub)
        if sub == "/EnvironmentMetrics":
            doc = {"@odata.id": churi + sub, "Id": "EnvironmentMetrics",
                   "Name": "Chassis Environment Metrics"}
            if self.watts:
                doc["PowerWatts"] = {"Reading": self.watts,
                                     "DataSourceUri": sensors + "TotalPower"}
            return 200, doc
        return 404, error_body("ResourceNotFound",
                               "No resource at %s" % (churi + sub))

    def reset(self, body):
        try:
            value = json.loads(body)["ResetType"]
        except (ValueError, KeyError, TypeError):
            return 400, error_body("MalformedJSON", "Malformed request")
        with self.lock:
            if value not in self.allowed or value not in RESET_EFFECT:
                return 400, error_body("ActionParameterNotSupported",
                                       "ResetType %s not supported" % value)
            self.resets.append(value)
            self.power = RESET_EFFECT[value]
        if self.flavour == "idrac":
            return 200, {"@Message.ExtendedInfo": [{
                "MessageId": "Base.1.13.Success",
                "Message": "Successfully Completed Request"}]}
        return 204, None

    def dumps(self, doc):
        if self.flavour == "dmtf":
            return json.dumps(doc, indent=4)
        if self.flavour in ("bmcweb", "newer"):
            return json.dumps(doc, indent=2, sort_keys=True)
        return json.dumps(doc, separators=(",", ":"))


MALFORMED = {
    "truncated": lambda text: text[:len(text) // 2],
    "deep": lambda text: "[" * 100000,
    "hugenumber": lambda text: '{"Members": [], "PowerState": "On", '
                               '"Reading": 1e99999, "Id": 123456789' + "0" * 400
                               + "}",
    "garbage": lambda text: "\x00\xff<html>Service Unavailable</html>",
}


class Handler(tlspeer.PeerHandler):
    server_version = "TestRedfish/1.0"

    def do_DELETE(self):
        self.handle_request("DELETE")

    def do_PATCH(self):
        self.handle_request("PATCH")

    def handle_request(self, method):
        bmc = self.server.peer
        body = self.intake(method)
        if body is None:
            return
        pause = bmc.latency
        if isinstance(pause, list):
            pause = random.uniform(*pause)
        time.sleep(pause)
        if bmc.busy():
            payload = json.dumps(error_body(
                "ServiceTemporarilyUnavailable", "Busy; retry later")).encode()
            self.send_response(503)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(payload)))
            self.send_header("Retry-After", "5")
            self.end_headers()
            self.wfile.write(payload)
            return
        status, doc, extra = self.route(bmc, method, body)
        text = "" if doc is None else bmc.dumps(doc)
        public = self.path.split("?")[0] in ("/redfish/v1", "/redfish/v1/")
        if bmc.fault == "huge" and method == "GET" and not public:
            return self.send_huge()
        if bmc.fault in MALFORMED and method == "GET" and not public:
            text = MALFORMED[bmc.fault](text)
        payload = text.encode("utf-8", "surrogateescape")
        self.send_response(status)
        if doc is not None:
            self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(payload)))
        self.send_header("OData-Version", "4.0")
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(payload)

    def send_huge(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(HUGE))
        self.end_headers()
        chunk = b'{"Members": [' + b" " * 65523
        sent = 0
        try:
            while sent < HUGE:
                self.wfile.write(chunk)
                sent += len(chunk)
        except OSError:
            pass
        self.close_connection = True

    def route(self, bmc, method, body):
        path, _, query = self.path.partition("?")
        if method == "GET" and path in ("/redfish/v1", "/redfish/v1/"):
            return bmc.resource(path, query) + ([],)
        if method == "POST" and path == SESSIONS:
            return bmc.login(body)
        if not bmc.authorised(self.headers):
            return 401, error_body("NoValidSession",
                                   "There is no valid session."), []
        if method == "DELETE" and path.startswith(SESSIONS + "/"):
            return bmc.logout(path[len(SESSIONS) + 1:])
        if method == "POST" and path.endswith("/Actions/ComputerSystem.Reset"):
            return bmc.reset(body) + ([],)
        if method == "GET":
            return bmc.resource(path, query) + ([],)
        return 405, error_body("OperationNotAllowed", "Not allowed"), []


def main(config_path):
    with open(config_path) as f:
        config = json.load(f)
    bmcs = {}
    servers = []
    for conf in config["bmcs"]:
        bmc = Bmc(conf, config["dir"])
        bmcs[bmc.name] = bmc
        servers.append(((conf["address"], conf.get("port", 443)), bmc, Handler))
    tlspeer.serve(config, servers,
                  lambda command: bmcs[command.pop("bmc")].apply(command))


# ---------------------------------------------------------------------------
# The test side.
# ---------------------------------------------------------------------------

def sensor(kind, name, value, **extra):
    """A sensor conf: kind "temp", "volt", "fan" or "psu" (health only)."""
    return dict(extra, kind=kind, name=name, value=value)


class Fleet:
    """One test BMC process serving `specs` (dicts: name, address, flavour,
    user, password, power, sensors, allowed, log)."""

    __test__ = False

    def __init__(self, workdir, specs, tag="redfish"):
        self.dir = os.path.join(workdir, "bmc-" + tag)
        os.makedirs(self.dir, exist_ok=True)
        self.specs = {s["name"]: s for s in specs}
        self.control_path = os.path.join(self.dir, "control.sock")
        self.cert, self.key = tlspeer.make_certificate(self.dir, list(self.specs))
        self.proc = None

    def start(self):
        config = {"cert": self.cert, "key": self.key, "dir": self.dir,
                  "control": self.control_path,
                  "bmcs": list(self.specs.values())}
        self.proc = tlspeer.start(__file__, self.dir, config,
                                  "Redfish test BMCs")
        return self

    def stop(self):
        util.stop_process(self.proc)

    def control(self, name, **command):
        """Changes BMC `name`; returns its power, sessions (open and most
        ever open at once) and the reset types received."""
        return tlspeer.control(self.control_path, dict(command, bmc=name))

    def log_path(self, name):
        return os.path.join(self.dir, "requests-%s.log" % name)

    def requests(self, name):
        """Every request BMC `name` received so far, oldest first."""
        return tlspeer.logged(self.log_path(name))


class TestBmc(Fleet):
    """A fleet of one: the BMC of node `name` on `address`:443."""

    __test__ = False

    def __init__(self, workdir, name, address, flavour="dmtf", **conf):
        super().__init__(workdir, [dict(conf, name=name, address=address,
                                        flavour=flavour)], tag=name)
        self.name = name

    def control(self, **command):
        return super().control(self.name, **command)

    def requests(self):
        return super().requests(self.name)

    def wait_request(self, predicate, timeout=15, what="a request"):
        """Waits for a received request matching predicate; returns it."""
        return tlspeer.wait_logged(self.log_path(self.name), predicate,
                                   timeout, "%s at BMC %s" % (what, self.name))


if __name__ == "__main__":
    main(sys.argv[1])
