"""A test BMC that speaks the legacy OpenBMC REST interface over real TLS.

It answers the way the REST server of that generation does, byte for byte:
JSON written with a two-space indent, sorted keys and ", " between items (so
every line that ends in a comma carries a trailing space) and no final line
feed; a session cookie `sid="!...?..."; httponly; secure` set by a login;
"401 Login required" for a request without a valid session; "404" for an
unknown object, judged before the session is; sensors in the old format,
with an integer "Value" and its "Scale".

Run as a program it is one BMC on one loopback address (port 443), with a
self-signed certificate made by `openssl` at test time. The test drives it
through `TestBmc`: a Unix control socket changes its state (power, sensor
values, session expiry, refused logins, stalls), and every request it
receives is appended to a JSON-lines log that the test reads. Faults for
the soak: `fault="reset"` drops each request's connection with a TCP reset,
`fault="truncated"` or `"garbage"` answers 200 with a malformed body.
`watts=<W>` gives it the total power sensor `power/total_power` (Scale -6).
Replies as a slow BMC writes them: `split=<seconds>` sends each body in two
TLS writes with that pause between; `flood_login=True` answers a login with
an endless body (bounded at FLOODLIMIT) on a connection that then closes.
"""

import base64
import json
import os
import sys
import threading
import time

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))))
from tests.harness import tlspeer, util  # noqa: E402

UNITS = {
    "temperature": "xyz.openbmc_project.Sensor.Value.Unit.DegreesC",
    "voltage": "xyz.openbmc_project.Sensor.Value.Unit.Volts",
    "fan_tach": "xyz.openbmc_project.Sensor.Value.Unit.RPMS",
    "fan_pwm": "xyz.openbmc_project.Sensor.Value.Unit.Percent",
    "current": "xyz.openbmc_project.Sensor.Value.Unit.Amperes",
    "power": "xyz.openbmc_project.Sensor.Value.Unit.Watts",
}
HOST_TRANSITION = "/xyz/openbmc_project/state/host0/attr/RequestedHostTransition"
CHASSIS_TRANSITION = ("/xyz/openbmc_project/state/chassis0/attr/"
                      "RequestedPowerTransition")
CHASSIS_STATE = "/xyz/openbmc_project/state/chassis0"
SENSORS = "/xyz/openbmc_project/sensors/"
# The power the whole node draws, as phosphor-hwmon gives it: microwatts.
TOTAL_POWER = "power/total_power"


def total_power(watts):
    """The sensor entry of TOTAL_POWER for `watts`."""
    return {"scale": -6, "value": int(round(watts * 1000000))}


# Malformed bodies: a reply cut in half, and what a crashed web server sends.
MALFORMED = {
    "truncated": lambda text: text[:len(text) // 2],
    "garbage": lambda text: "\x00\xff<html>Service Unavailable</html>",
}


# The most an endless login reply sends before giving up.
FLOODLIMIT = 256 * 1024 * 1024
FLOODCHUNK = b"flood " * 2730


def dumps(obj):
    """JSON as the BMC writes it (trailing spaces after commas included)."""
    return json.dumps(obj, indent=2, sort_keys=True, separators=(", ", ": "))


def reply(data, status="ok", message="200 OK"):
    return dumps({"data": data, "message": message, "status": status})


def error_reply(description, message):
    return reply({"description": description}, "error", message)



# ---------------------------------------------------------------------------
# The server side (runs in its own process).
# ---------------------------------------------------------------------------

class State:
    """Everything the BMC knows; guarded by `lock`."""

    def __init__(self, config):
        self.lock = threading.Lock()
        self.user = config["user"]
        self.password = config["password"]
        self.power = config.get("power", "On")
        self.sensors = dict(config.get("sensors", {}))
        self.sessions = {}  # sid -> epoch
        self.epoch = 0
        self.refuse_login = False
        self.stall = None  # None, "accept" (no TLS handshake) or "reply"
        self.fault = None  # None, "reset" or a key of MALFORMED
        self.split = None  # seconds between the two halves of a body
        self.flood_login = False
        self.unstall = threading.Event()
        self.logpath = config["log"]

    def record(self, entry):
        with self.lock:
            with open(self.logpath, "a") as f:
                f.write(json.dumps(entry) + "\n")

    def new_session(self):
        sid = '"!%s?%s"' % (
            base64.b64encode(os.urandom(32)).decode(),
            base64.b64encode(os.urandom(48)).decode())
        with self.lock:
            self.sessions[sid] = self.epoch
        return sid

    def valid_session(self, cookie):
        for part in cookie.split(";"):
            name, _, value = part.strip().partition("=")
            if name == "sid":
                with self.lock:
                    return self.sessions.get(value) == self.epoch
        return False

    def apply(self, command):
        with self.lock:
            if "power" in command:
                self.power = command["power"]
            for name, sensor in command.get("sensors", {}).items():
                if sensor is None:
                    self.sensors.pop(name, None)
                else:
                    self.sensors[name] = sensor
            if command.get("expire"):
                self.epoch += 1
            if "refuse_login" in command:
                self.refuse_login = bool(command["refuse_login"])
            if "password" in command:
                self.password = command["password"]
            if "split" in command:
                self.split = command["split"]
            if "flood_login" in command:
                self.flood_login = bool(command["flood_login"])
            tlspeer.apply_faults(self, command)
            return {"power": self.power, "epoch": self.epoch,
                    "sessions": len(self.sessions)}


class Handler(tlspeer.PeerHandler):
    server_version = "TestBmc/1.0"

    def do_PUT(self):
        self.handle_request("PUT")

    def handle_request(self, method):
        state = self.server.peer
        cookie = self.headers.get("Cookie", "")
        body = self.intake(method, cookie=cookie)
        if body is None:
            return
        if state.flood_login and self.path == "/login":
            self.flood()
            return
        status, text, extra = self.route(state, method, body, cookie)
        if state.fault in MALFORMED and self.path != "/login":
            text = MALFORMED[state.fault](text)
        payload = text.encode("utf-8", "surrogateescape")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(payload)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        if state.split is None:
            self.wfile.write(payload)
            return
        half = len(payload) // 2
        self.wfile.write(payload[:half])
        time.sleep(state.split)
        self.wfile.write(payload[half:])

    def flood(self):
        """A 200 reply whose body goes on until the client hangs up."""
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        sent = 0
        try:
            while sent < FLOODLIMIT:
                self.wfile.write(FLOODCHUNK)
                sent += len(FLOODCHUNK)
        except (OSError, ValueError):
            pass

    def route(self, state, method, body, cookie):
        path = self.path
        if method == "POST" and path == "/login":
            return self.login(state, body)
        if method == "GET" and path.startswith(SENSORS):
            name = path[len(SENSORS):]
            with state.lock:
                sensor = state.sensors.get(name)
            if sensor is None and name != "enumerate":  # before the session
                return (404, error_reply(
                    "org.freedesktop.DBus.Error.FileNotFound: path or object "
                    "not found: %s" % path.rstrip("/"), "404 Not Found"), [])
        if not state.valid_session(cookie):
            return 401, error_reply("Login required", "401 Unauthorized"), []
        if method == "GET" and path == SENSORS + "enumerate":
            with state.lock:
                sensors = dict(state.sensors)
            return 200, reply({SENSORS + n: self.sensor_data(n, sensors[n])
                               for n in sorted(sensors)}), []
        if method == "GET" and path.startswith(SENSORS):
            return 200, reply(self.sensor_data(name, sensor)), []
        if method == "GET" and path == CHASSIS_STATE:
            with state.lock:
                power = state.power
            return 200, reply({
                "CurrentPowerState":
                    "xyz.openbmc_project.State.Chassis.PowerState." + power,
                "LastStateChangeTime": 1565798400000,
                "POHCounter": 12,
                "RequestedPowerTransition":
                    "xyz.openbmc_project.State.Chassis.Transition." + power,
            }), []
        if method == "PUT" and path in (HOST_TRANSITION, CHASSIS_TRANSITION):
            return self.transition(state, path, body)
        return (404, error_reply(
            "org.freedesktop.DBus.Error.FileNotFound: path or object not "
            "found: %s" % path, "404 Not Found"), [])

    def login(self, state, body):
        if self.headers.get("Content-Type") != "application/json":
            return (415, error_reply("Expecting content type "
                                     "'application/json'",
                                     "415 Unsupported Media Type"), [])
        try:
            data = json.loads(body)["data"]
            user, password = data
        except (ValueError, KeyError, TypeError):
            return 400, error_reply("Malformed login request",
                                    "400 Bad Request"), []
        with state.lock:
            ok = (not state.refuse_login and user == state.user
                  and password == state.password)
        if not ok:
            return (401, error_reply("Invalid username or password",
                                     "401 Unauthorized"), [])
        sid = state.new_session()
        return (200, reply("User '%s' logged in" % user),
                [("Set-Cookie", "sid=%s; httponly; secure" % sid)])

    def transition(self, state, path, body):
        try:
            value = json.loads(body)["data"]
        except (ValueError, KeyError, TypeError):
            return 400, error_reply("Malformed request", "400 Bad Request"), []
        if path == HOST_TRANSITION:
            allowed = {"xyz.openbmc_project.State.Host.Transition.On": "On",
                       "xyz.openbmc_project.State.Host.Transition.Reboot": "On",
                       "xyz.openbmc_project.State.Host.Transition.Off": "Off"}
        else:
            allowed = {"xyz.openbmc_project.State.Chassis.Transition.Off": "Off",
                       "xyz.openbmc_project.State.Chassis.Transition.On": "On"}
        if value not in allowed:
            return 400, error_reply("Invalid transition", "400 Bad Request"), []
        with state.lock:
            state.power = allowed[value]
        return 200, reply(None), []

    @staticmethod
    def sensor_data(name, sensor):
        kind = name.split("/", 1)[0]
        # Thresholds in the sensor's own scale; a sensor may give its own.
        return dict({
            "CriticalAlarmHigh": False,
            "CriticalAlarmLow": False,
            "CriticalHigh": 65000,
            "CriticalLow": 0,
            "Scale": sensor["scale"],
            "Unit": UNITS.get(kind, UNITS["temperature"]),
            "Value": sensor["value"],
            "WarningAlarmHigh": False,
            "WarningAlarmLow": False,
            "WarningHigh": 63000,
            "WarningLow": 0,
        }, **sensor.get("thresholds", {}))


def main(config_path):
    with open(config_path) as f:
        config = json.load(f)
    state = State(config)
    tlspeer.serve(config, [((config["address"], config.get("port", 443)),
                            state, Handler)], state.apply)


# ---------------------------------------------------------------------------
# The test side.
# ---------------------------------------------------------------------------

class TestBmc:
    """One test BMC process for the node `name` on `address`:443."""

    __test__ = False  # not a pytest class

    def __init__(self, workdir, name, address, user="root",
                 password="0penBmc", power="On", sensors=None, watts=None):
        self.dir = os.path.join(workdir, "bmc-" + name)
        os.makedirs(self.dir, exist_ok=True)
        self.name = name
        self.address = address
        self.control_path = os.path.join(self.dir, "control.sock")
        self.log_path = os.path.join(self.dir, "requests.log")
        cert, key = tlspeer.make_certificate(self.dir, [name])
        sensors = dict(sensors or {})
        if watts is not None:
            sensors[TOTAL_POWER] = total_power(watts)
        self.config = {
            "address": address, "port": 443, "cert": cert, "key": key,
            "user": user, "password": password, "power": power,
            "sensors": sensors, "control": self.control_path,
            "log": self.log_path,
        }
        self.proc = None

    def start(self):
        self.proc = tlspeer.start(__file__, self.dir, self.config,
                                  "test BMC %s" % self.name)
        return self

    def stop(self):
        util.stop_process(self.proc)

    def control(self, **command):
        """Changes the BMC's state; returns its power, epoch and sessions."""
        return tlspeer.control(self.control_path, command)

    def requests(self):
        """Every request received so far, oldest first."""
        return tlspeer.logged(self.log_path)

    def wait_request(self, predicate, timeout=15, what="a request"):
        """Waits for a received request matching predicate; returns it."""
        return tlspeer.wait_logged(self.log_path, predicate, timeout,
                                   "%s at BMC %s" % (what, self.name))


if __name__ == "__main__":
    main(sys.argv[1])
