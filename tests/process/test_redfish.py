"""Redfish nodes watched and powered over HTTPS against the Redfish test BMC
in its layouts (DMTF mockup, bmcweb, iDRAC/iLO, MegaRAC, newer schema
only), on loopback."""

import json
import os
import signal
import socket
import subprocess
import time

import pytest

from tests.harness import chassis, daemon, smtp, util
from tests.harness.openbmc import TestBmc as OpenBmc
from tests.harness.redfish import sensor
from tests.process.test_alerts import FAKETIME_LIB, FAST, POWERED_OFF

CHASSIS = chassis.redfish()
# The bmcweb node names its voltage by the sensor's Id.
BMCWEB_CHASSIS = CHASSIS.replace("rf\n", "rfb\n", 1).replace(
    "P12V P12V", "P12V voltage_P12V")
# Exact in binary, so the hundredths in the pipe are certain.
SENSORS = [sensor("fan", "Fan0", 7200), sensor("temp", "Inlet Temp", 21.5),
           sensor("temp", "CPU1 Temp", 45.125), sensor("volt", "P12V", 12.25),
           sensor("psu", "PSU1", None, health="Warning"),
           sensor("temp", "Unbound Temp", 30)]
READINGS = {"FAN": [7200], "TEMP": [2150, 4512], "VOLT": [1225], "DISC": [1]}
ADDRESSES = {"mock": "127.0.0.41", "web": "127.0.0.42", "drac": "127.0.0.43"}
FLAVOURS = {"mock": "dmtf", "web": "bmcweb", "drac": "idrac"}
SESSIONS = "/redfish/v1/SessionService/Sessions"


def bmcconf(name, **extra):
    return dict(dict(name=name, address=ADDRESSES.get(name, extra.get(
        "address")), flavour=FLAVOURS.get(name, "dmtf"), sensors=SENSORS),
        **extra)


def cluster(*names):
    return "".join("$NODE %s %s admin secret\n"
                   % (n, "rfb" if n == "web" else "rf") for n in names)


def wait_record(k, name, predicate, timeout=25, what="a status record"):
    def check():
        rec = k.records().get(name)
        return rec if rec and predicate(rec) else None
    return util.wait_until(check, timeout, interval=0.2,
                           what="%s of %s" % (what, name))


def reading(rec):
    return rec["DEAD"] == 0 and rec["POWER"] == 1 and all(
        rec[k] == v for k, v in READINGS.items())


def paths(requests, since=0.0):
    return [(r["method"], r["path"]) for r in requests if r["t"] >= since]


def wait_passes(fleet, names, count):
    """Waits until each named BMC has been read count more times."""
    def systems(name):
        return len([p for p in paths(fleet.requests(name))
                    if p[0] == "GET" and "/Systems/" in p[1]])
    goal = {n: systems(n) + count for n in names}
    util.wait_until(lambda: all(systems(n) >= goal[n] for n in names),
                    10 + 5 * count, what="%d more passes" % count)


def switchyard(k, *args):
    r = subprocess.run([util.binary("switchyard"), "-o", k.nodecommands]
                       + list(args), capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, r


def test_three_layouts_give_bound_readings_with_the_fewest_requests(
        start_kestrel, fleets):
    f = fleets([bmcconf("mock"), bmcconf("web"), bmcconf("drac")])
    k = start_kestrel(CHASSIS + BMCWEB_CHASSIS, cluster("mock", "web", "drac"),
                      hosts=ADDRESSES).wait_ready()
    for name in ADDRESSES:
        wait_record(k, name, reading, what="scaled readings")
    # A whole pass after the first: what each layout costs per pass.
    t0 = time.time() + 0.5
    util.wait_until(lambda: all(len([p for p in paths(f.requests(n), t0)
                                     if "/Systems/" in p[1]]) >= 2
                                for n in ADDRESSES), 20, what="two passes")
    passes = {n: paths(f.requests(n), t0) for n in ADDRESSES}
    # Mockup: one expanded Sensors request (and Power for the supply).
    assert set(passes["mock"]) == {
        ("GET", "/redfish/v1/Systems/437XR1138R2"),
        ("GET", "/redfish/v1/Chassis/1U/Sensors?$expand=.($levels=1)"),
        ("GET", "/redfish/v1/Chassis/1U/Power")}
    # bmcweb: only the bound sensors, by the URIs of discovery; the
    # collection and the unbound sensor are never read again, and $expand,
    # not advertised, is never tried.
    assert set(passes["web"]) == {
        ("GET", "/redfish/v1/Systems/system"),
        ("GET", "/redfish/v1/Chassis/chassis/Sensors/fantach_Fan0"),
        ("GET", "/redfish/v1/Chassis/chassis/Sensors/temperature_Inlet_Temp"),
        ("GET", "/redfish/v1/Chassis/chassis/Sensors/temperature_CPU1_Temp"),
        ("GET", "/redfish/v1/Chassis/chassis/Sensors/voltage_P12V"),
        ("GET", "/redfish/v1/Chassis/chassis/PowerSubsystem/PowerSupplies/PSU1")}
    assert not any("$expand" in r["path"] for r in f.requests("web"))
    # iDRAC: Thermal and Power, with basic authentication on each request.
    drac = f.requests("drac")
    assert set(passes["drac"]) == {
        ("GET", "/redfish/v1/Systems/System.Embedded.1"),
        ("GET", "/redfish/v1/Chassis/System.Embedded.1/Thermal"),
        ("GET", "/redfish/v1/Chassis/System.Embedded.1/Power")}
    assert [r["method"] for r in drac].count("POST") == 1
    assert all(r["headers"]["Authorization"].startswith("Basic ")
               for r in drac if r["t"] >= t0)
    login = next(r for r in f.requests("mock") if r["method"] == "POST")
    assert login["body"] == ('{"UserName": "admin", "Password": "secret", '
                             '"Context": "kestrel"}')
    assert [f.control(n)["sessions"] for n in ADDRESSES] == [1, 1, 0]
    err = k.stderr()
    assert "Redfish BMC of drac refuses sessions (HTTP 405)" in err
    assert "secret" not in err
    assert util.read_text(k.autonodeconf).count("$$OPENBMCCONSOLE") == 3

    # A null reading leaves its slot alone and is said once; so is a sensor
    # that disappears, and each comes back by itself.
    f.control("web", sensors={"CPU1 Temp": {"value": None}})
    f.control("mock", sensors={"Inlet Temp": None})
    k.wait_stderr("Redfish sensor CPU1 Temp on web has no reading\n")
    k.wait_stderr("Redfish sensor Inlet Temp not found on mock\n")
    wait_passes(f, ["web", "mock"], 3)
    assert k.stderr().count("CPU1 Temp on web has no reading") == 1
    assert k.stderr().count("Inlet Temp not found on mock") == 1
    assert k.records()["web"]["TEMP"] == [2150, 4512]
    f.control("web", sensors={"CPU1 Temp": {"value": 50.5}})
    f.control("mock", sensors={"Inlet Temp": {"kind": "temp", "value": 23.5}})
    wait_record(k, "web", lambda r: r["TEMP"] == [2150, 5050], what="the value")
    wait_record(k, "mock", lambda r: r["TEMP"][0] == 2350, what="the sensor")


@pytest.mark.quick
def test_links_to_another_host_and_proxies_get_no_credential(
        start_kestrel, fleets):
    # Hostile BMCs point the session service (sessions mode), the system
    # (basic authentication) and a session's Location at another host,
    # and the environment names a proxy that would see every login.
    evil = "127.0.0.66"
    f = fleets([bmcconf("mock"), bmcconf("web"), bmcconf("drac"),
                bmcconf("evil", address=evil)])
    f.control("mock", links={"sessions": "@%s%s" % (evil, SESSIONS)})
    f.control("drac", links={"system": "@%s/redfish/v1/Systems/1" % evil})
    f.control("web", links={"location": "https://%s%s/1" % (evil, SESSIONS)})
    proxy = socket.socket()
    proxy.bind(("127.0.0.67", 3128))
    proxy.listen()
    proxy.setblocking(False)
    via = "http://127.0.0.67:3128"
    try:
        k = start_kestrel(CHASSIS + BMCWEB_CHASSIS,
                          cluster("mock", "web", "drac"), hosts=ADDRESSES,
                          env={"https_proxy": via, "HTTPS_PROXY": via,
                               "all_proxy": via}).wait_ready()
        wait_record(k, "web", reading, what="readings without the proxy")
        refused = "failed: a link that leaves the BMC, not followed\n"
        k.wait_stderr("Redfish BMC of mock: POST @%s%s %s" % (
            evil, SESSIONS, refused))
        k.wait_stderr("Redfish BMC of drac: GET @%s/redfish/v1/Systems/1 %s"
                      % (evil, refused))
        k.wait_stderr("Redfish BMC of web gave a session at another place "
                      "(https://%s%s/1): it is not deleted there\n"
                      % (evil, SESSIONS))
        wait_passes(f, ["web"], 2)
        util.wait_until(lambda: len([p for p in paths(f.requests("mock"))
                                     if p[1] == "/redfish/v1/"]) >= 3, 20,
                        what="three logins tried on mock")
        assert k.stop() == 0
        err = k.stderr()
        assert err.count(evil + SESSIONS + " " + refused) == 1
        assert err.count(evil + "/redfish/v1/Systems/1 " + refused) == 1
        assert f.requests("evil") == []
        with pytest.raises(BlockingIOError):
            proxy.accept()
    finally:
        proxy.close()


def test_sensors_a_collection_lacks_are_read_from_thermal_and_power(
        start_kestrel, fleets):
    f = fleets([bmcconf("ami", address="127.0.0.44", flavour="ami")])
    k = start_kestrel(CHASSIS, cluster("ami"),
                      hosts={"ami": "127.0.0.44"}).wait_ready()
    wait_record(k, "ami", reading, what="readings from Thermal and Power")
    wait_passes(f, ["ami"], 2)
    assert "not found" not in k.stderr()
    # The collection once a pass, and Thermal and Power beside it.
    paths = [r["path"] for r in f.requests("ami") if r["method"] == "GET"]
    assert paths.count("/redfish/v1/Chassis/Self/Thermal") >= 2
    assert any(p.startswith("/redfish/v1/Chassis/Self/Sensors") for p in paths), paths


def test_busy_answers_leave_the_node_alive_and_end_within_a_pass(
        start_kestrel, fleets):
    f = fleets([bmcconf("mock")])
    k = start_kestrel(CHASSIS, cluster("mock"), hosts=ADDRESSES).wait_ready()
    wait_record(k, "mock", reading, what="readings")
    # One 503: retried at the next pass, and nothing in the node changes.
    f.control("mock", busy={"count": 1})
    samples = []
    deadline = time.time() + 8
    while time.time() < deadline:
        samples.append(k.records()["mock"])
        time.sleep(0.3)
    assert f.control("mock")["sessions"] == 1
    assert all(reading(r) for r in samples), [r for r in samples
                                              if not reading(r)][:1]
    # 30 s of them: the node is read again within a pass once they end.
    f.control("mock", busy={"seconds": 30})
    time.sleep(30)
    end = time.time()
    wait_record(k, "mock", lambda r: reading(r) and r["TIME"] >= int(end),
                timeout=10, what="readings after the busy spell")
    assert k.stderr().count("answered HTTP 503") <= 2
    assert f.control("mock")["max_sessions"] == 1


@pytest.mark.slow
def test_a_bmc_taking_seconds_a_request_is_read_with_one_session(
        start_kestrel, fleets):
    # As iDRACs and iLOs answer: 2-8 s a request, logins included.
    f = fleets([bmcconf("mock", latency=[2, 8])])
    k = start_kestrel(CHASSIS, cluster("mock"), hosts=ADDRESSES).wait_ready()
    wait_record(k, "mock", reading, timeout=120, what="readings")
    first = time.time()
    while time.time() < first + 25:  # a pass or two of 3 requests
        rec = k.records()["mock"]
        assert reading(rec), rec
        assert time.time() - rec["TIME"] <= 30, rec
        time.sleep(1)
    assert f.control("mock")["max_sessions"] == 1
    assert k.stop(timeout=25) == 0
    assert f.control("mock")["sessions"] == 0


def test_no_session_outlives_the_daemon_nor_doubles_under_slow_logins(
        start_kestrel, fleets):
    # Logins of 6 s into a table of 8, as on iLOs: one session, ever.
    f = fleets([bmcconf("mock", login_delay=6, session_cap=8)])
    k = start_kestrel(CHASSIS, cluster("mock"), hosts=ADDRESSES).wait_ready()
    wait_record(k, "mock", reading, timeout=30, what="readings")
    assert f.control("mock")["max_sessions"] == 1
    # A fatal error at run time (the status pipe turned into a directory)
    # logs out as a stop does.
    os.unlink(k.nodewatch)
    os.mkdir(k.nodewatch)
    assert k.wait_exit(timeout=20) == 1
    assert "Could not open %s for writing." % k.nodewatch in k.stderr()
    assert f.control("mock")["sessions"] == 0


def test_a_session_a_killed_daemon_left_is_deleted_at_the_next_login(
        start_kestrel, fleets):
    # The second BMC takes no Context: kestrel logs in without one.
    f = fleets([bmcconf("mock"), bmcconf("web", no_context=True)])
    chassis, nodes = CHASSIS + BMCWEB_CHASSIS, cluster("mock", "web")
    for run in (1, 2):
        k = start_kestrel(chassis, nodes, hosts=ADDRESSES).wait_ready()
        for name in ("mock", "web"):
            wait_record(k, name, reading, what="readings, run %d" % run)
        assert f.control("mock")["sessions"] == 1
        k.proc.kill()  # no logout
        k.wait_exit()
    assert [r["method"] for r in f.requests("mock")].count("DELETE") == 1
    assert f.control("web")["sessions"] == 2  # untagged: left to expire


def test_a_fan_in_percent_and_the_power_drawn_show_as_the_bmc_gives_them(
        start_kestrel, fleets):
    from tests.process.test_http import LISTEN, get
    # As iLOs give fans: 35 % of full speed, in Thermal; limits in percent.
    sensors = [sensor("fan", "Fan0", 35, percent=True)] + SENSORS[1:]
    f = fleets([bmcconf("drac", sensors=sensors, watts=231)])
    chassis = CHASSIS.replace("FAN0 Fan0 300 600 20000 25000",
                              "FAN0 Fan0 10 20 95 100")
    k = start_kestrel(chassis, "$HTTP_LISTEN %s\n" % LISTEN + cluster("drac"),
                      hosts=ADDRESSES).wait_ready()
    # Thermal, then Power (with the power drawn) in each pass.
    node = util.wait_until(
        lambda: [n for n in json.loads(get("/status.json")[2])["nodes"]
                 if n["readings"][0]["value"] == 35
                 and n["power_watts"] == 231],
        20, what="the fan and the power drawn")[0]
    fan = node["readings"][0]
    assert (fan["unit"], fan["state"]) == ("percent", 0), fan
    metrics = get("/metrics")[2].decode()
    assert 'kestrel_power_watts{node="drac"} 231\n' in metrics
    assert 'kestrel_fan_speed_percent{node="drac"' in metrics
    assert 'kestrel_fan_speed_rpm{node="drac"' not in metrics
    assert f.control("drac")["sessions"] == 0  # basic authentication


def test_a_bmc_of_the_newer_schema_only_is_read_from_its_subsystems(
        start_kestrel, fleets):
    from tests.process.test_http import LISTEN, get
    # No Thermal or Power; a Sensors collection with the voltage alone.
    sensors = [sensor("fan", "Fan0", 35, percent=True)] + SENSORS[1:]
    f = fleets([bmcconf("new", address="127.0.0.45", flavour="newer",
                        sensors=sensors, watts=231)])
    chassis = CHASSIS.replace("FAN0 Fan0 300 600 20000 25000",
                              "FAN0 Fan0 10 20 95 100")
    k = start_kestrel(chassis, "$HTTP_LISTEN %s\n" % LISTEN + cluster("new"),
                      hosts={"new": "127.0.0.45"}).wait_ready()
    wait_record(k, "new", lambda r: reading(dict(r, FAN=[7200])) and
                r["FAN"] == [35], what="readings from the subsystems")
    node = util.wait_until(
        lambda: [n for n in json.loads(get("/status.json")[2])["nodes"]
                 if n["power_watts"] == 231], 20, what="the power drawn")[0]
    assert [(r["unit"], r["value"]) for r in node["readings"]] == [
        ("percent", 35), ("celsius", 21.5), ("celsius", 45.125),
        ("volts", 12.25), (None, 1)], node["readings"]
    # Each source once a pass: the voltage from the collection,
    # ThermalMetrics, the fan, the supply and EnvironmentMetrics.
    wait_passes(f, ["new"], 1)
    t0 = time.time()
    wait_passes(f, ["new"], 2)
    board = "/redfish/v1/Chassis/board"
    assert set(paths(f.requests("new"), t0)) == {("GET", p) for p in (
        "/redfish/v1/Systems/host", board + "/Sensors/P12V",
        board + "/ThermalSubsystem/ThermalMetrics",
        board + "/ThermalSubsystem/Fans/Fan0",
        board + "/PowerSubsystem/PowerSupplies/PSU1",
        board + "/EnvironmentMetrics")}
    assert "not found" not in k.stderr()


def test_a_node_whose_bmc_knows_none_of_the_names_says_so(datadir, fleets):
    from tests.process.test_http import LISTEN, get
    f = fleets([bmcconf("mock"), bmcconf("web")])
    wrong = ("$CHASSISTYPE typo\n$$REDFISH\n$$FANCOUNT 1\n"
             "$$FAN1 F NoSuchFan 300 600 20000 25000\n\n")
    daemon.write_config(datadir, CHASSIS + wrong,
                        "$HTTP_LISTEN %s\n" % LISTEN + cluster("mock")
                        + "$NODE web typo admin secret\n")
    # The daemon's clock runs 10 times faster: 30 s of answers take 3 s.
    k = daemon.Kestrel(datadir, hosts=ADDRESSES, wrapper=FAST).start()
    try:
        k.wait_ready()

        def bound():
            nodes = json.loads(get("/status.json")[2])["nodes"]
            return {n["name"]: n["sensors_bound"] for n in nodes
                    if n["power"] and not n["dead"]}
        util.wait_until(lambda: bound() == {"mock": True, "web": False}, 20,
                        what="web unbound, mock bound")
    finally:
        k.stop()


def test_a_refused_login_waits_longer_each_time_and_a_command_tries_at_once(
        datadir, fleets):
    f = fleets([bmcconf("mock")])
    daemon.write_config(datadir, CHASSIS, "$NODE mock rf admin wrong\n")
    # The daemon's clock runs 10 times faster: waits of 30 s and 60 s take
    # 3 s and 6 s.
    k = daemon.Kestrel(datadir, hosts=ADDRESSES, wrapper=FAST).start()

    def logins():
        return [r for r in f.requests("mock")
                if (r["method"], r["path"]) == ("POST", SESSIONS)]
    try:
        k.wait_ready()
        util.wait_until(lambda: len(logins()) >= 3, 20,
                        what="logins after 30 and 60 s")
        # The next is due 120 s (12 s here) after the third.
        time.sleep(5)
        assert len(logins()) == 3
        switchyard(k, "-P", "mock")
        util.wait_until(lambda: len(logins()) == 4, 5, what="the command's login")
        k.wait_stderr("Failed to issue power on command with Redfish to mock: "
                      "login failed: HTTP 401\n")
        assert k.stderr().count(
            "Redfish BMC of mock: login failed: HTTP 401\n") == 1
        # SIGHUP, as after the account was unlocked: the poll's next login
        # goes at once, not 240 s (24 s here) later, and the daemon lives on.
        k.proc.send_signal(signal.SIGHUP)
        util.wait_until(lambda: len(logins()) == 5, 5, what="the login SIGHUP asked for")
        assert k.running()
    finally:
        k.stop()


def test_a_line_feed_in_a_link_forges_no_log_line(start_kestrel, fleets):
    forged = "node07 being shutdown automatically"
    f = fleets([bmcconf("mock")])
    f.control("mock", links={"system": "/redfish/v1/Systems/1\n" + forged})
    k = start_kestrel(CHASSIS, cluster("mock"), hosts=ADDRESSES).wait_ready()
    k.wait_stderr("/redfish/v1/Systems/1\\x0a" + forged)
    assert k.stop() == 0
    lines = k.stderr().splitlines()
    assert not [line for line in lines if line.startswith(forged)], lines


def test_a_wall_clock_step_neither_freezes_polling_nor_kills_the_node(
        datadir, fleets, tmp_path):
    f = fleets([bmcconf("mock")])
    daemon.write_config(datadir, CHASSIS, cluster("mock"))
    # libfaketime reads the wall clock's offset from a file on every call
    # and leaves the monotonic clock alone.
    offset = tmp_path / "offset"
    offset.write_text("+0\n")
    wrapper = ["env", "LD_PRELOAD=" + FAKETIME_LIB,
               "FAKETIME_TIMESTAMP_FILE=%s" % offset, "FAKETIME_NO_CACHE=1",
               "FAKETIME_DONT_FAKE_MONOTONIC=1", "DONT_FAKE_MONOTONIC=1",
               "ASAN_OPTIONS=verify_asan_link_order=0"]
    k = daemon.Kestrel(datadir, hosts=ADDRESSES, wrapper=wrapper).start()
    try:
        k.wait_ready()
        wait_record(k, "mock", reading, what="readings")
        for step in ("-600", "+600"):
            offset.write_text(step + "\n")
            wait_passes(f, ["mock"], 3)
            wait_record(k, "mock", reading, what="readings after %s s" % step)
    finally:
        k.stop()


def test_switchyard_power_requests_arrive_as_reset_types(start_kestrel, fleets):
    # bmcweb's allowed values without ForceRestart: the nearest is sent.
    f = fleets([bmcconf("mock"), bmcconf("web", allowed=[
        "On", "ForceOff", "GracefulShutdown", "PowerCycle"])])
    k = start_kestrel(CHASSIS + BMCWEB_CHASSIS, cluster("mock", "web"),
                      hosts=ADDRESSES).wait_ready()
    for name in ("mock", "web"):
        wait_record(k, name, reading, what="readings")
    switchyard(k, "-p", "mock")
    util.wait_until(lambda: f.control("mock")["resets"] == ["ForceOff"], 10,
                    what="ForceOff")
    wait_record(k, "mock", lambda r: r["POWER"] == 0 and r["DEAD"] == 0
                and r["FAN"] == [0] and r["TEMP"] == [0, 0], what="power off")
    switchyard(k, "-P", "mock")
    wait_record(k, "mock", reading, what="power on")
    switchyard(k, "-r", "mock")
    switchyard(k, "-r", "web")
    util.wait_until(lambda: f.control("mock")["resets"][2:] == ["ForceRestart"]
                    and f.control("web")["resets"] == ["PowerCycle"], 10,
                    what="the resets")
    assert f.control("mock")["resets"] == ["ForceOff", "On", "ForceRestart"]
    post = [r for r in f.requests("mock") if r["method"] == "POST"
            and r["path"].endswith("/Actions/ComputerSystem.Reset")]
    assert [r["body"] for r in post] == ['{"ResetType": "%s"}' % v for v in
                                         ("ForceOff", "On", "ForceRestart")]
    assert all(r["headers"]["Content-Type"] == "application/json" for r in post)


def test_an_expired_token_is_renewed_with_one_session_and_none_after_stop(
        start_kestrel, fleets):
    f = fleets([bmcconf("mock"), bmcconf("web")])
    k = start_kestrel(CHASSIS + BMCWEB_CHASSIS, cluster("mock", "web"),
                      hosts=ADDRESSES).wait_ready()
    for name in ("mock", "web"):
        wait_record(k, name, reading, what="readings")
    for round_ in range(2):
        t0 = time.time()
        for name in ("mock", "web"):
            f.control(name, expire=True)
        for name in ("mock", "web"):
            util.wait_until(lambda: f.control(name)["sessions"] == 1, 20,
                            what="a new session at %s" % name)
            wait_record(k, name, lambda r: reading(r) and r["TIME"] > t0,
                        what="fresh readings")
            later = [(r["method"], r["path"]) for r in f.requests(name)
                     if r["t"] >= t0 and r["method"] != "GET"]
            # The old session is deleted before the new login replaces it.
            assert later[:2] == [("DELETE", "%s/%d" % (SESSIONS, round_ + 1)),
                                 ("POST", SESSIONS)], later
    assert [f.control(n)["max_sessions"] for n in ("mock", "web")] == [1, 1]
    assert k.stop() == 0
    for name in ("mock", "web"):
        assert f.control(name)["sessions"] == 0
        assert f.requests(name)[-1]["method"] == "DELETE"
    assert "Removing" in k.stderr()


def test_stalled_resetting_and_malformed_bmcs_hold_up_nobody(
        start_kestrel, fleets):
    names = ["good", "stall", "bad"]
    addrs = {"good": "127.0.0.51", "stall": "127.0.0.52", "bad": "127.0.0.53"}
    f = fleets([bmcconf(n, address=addrs[n]) for n in names])
    k = start_kestrel(CHASSIS, cluster(*names), hosts=addrs).wait_ready()
    for name in names:
        wait_record(k, name, reading, what="readings")
    f.control("stall", stall="reply")
    t0 = time.time()
    for fault in ("truncated", "deep", "hugenumber", "garbage", "huge",
                  "reset"):
        f.control("bad", fault=fault)
        ts = time.time()
        # Each fault is met and the good node is read on meanwhile.
        util.wait_until(lambda: any(r["t"] > ts + 0.2 for r in f.requests("bad")),
                        10, what="a request meeting %s" % fault)
        wait_record(k, "good", lambda r: r["DEAD"] == 0 and r["TIME"] >= int(ts),
                    timeout=10, what="fresh readings during %s" % fault)
    f.control("bad", fault=None)
    # Lifted, both come back by themselves; the stalled one never answered.
    f.control("stall", stall=None)
    for name in ("stall", "bad"):
        wait_record(k, name, lambda r: reading(r) and r["TIME"] > t0 + 5,
                    timeout=40, what="recovery")
    assert k.running()
    err = k.stderr()
    stalled = [l for l in err.splitlines()
               if l.startswith("Redfish BMC of stall: GET ")]
    assert stalled and stalled[0].endswith(" failed: Timeout was reached")
    for text in ("nested deeper than 32 levels", "reply longer than 4194304 "
                 "bytes", "is not valid JSON"):
        assert text in err, text
    # A fault is said once while it lasts, not at every probe.
    assert err.count("Timeout was reached") <= 2
    assert "Sanitizer" not in err and "runtime error" not in err, err


@pytest.mark.quick
def test_tls_ca_checks_redfish_and_openbmc_certificates(
        start_kestrel, fleets, tmp_path):
    trusted = fleets([bmcconf("mock")], tag="trusted")
    other = fleets([bmcconf("web")], tag="other")
    obmc = OpenBmc(str(tmp_path), "obmc", "127.0.0.44").start()
    try:
        chassis = CHASSIS + BMCWEB_CHASSIS + "$CHASSISTYPE o\n$$OPENBMC\n\n"
        nodes = cluster("mock", "web") + "$NODE obmc o root 0penBmc\n" + \
            "$TLS_CA %s\n" % trusted.cert
        k = start_kestrel(chassis, nodes, hosts=dict(ADDRESSES, obmc="127.0.0.44"))
        k.wait_ready(timeout=30)
        wait_record(k, "mock", reading, what="readings over a checked certificate")
        bad = "SSL peer certificate or SSH remote key was not OK"
        k.wait_stderr("Redfish BMC of web: GET /redfish/v1/ failed: " + bad)
        assert "OpenBMC login on obmc-ipmi failed: %s." % bad in k.stderr()
        for name in ("web", "obmc"):
            wait_record(k, name, lambda r: r["DEAD"] == 1, what="dead")
        assert other.requests("web") == []  # refused before any request
    finally:
        obmc.stop()


def test_a_critical_reading_mails_and_shuts_down_with_forceoff(
        tmp_path, fleets, datadir):
    # The daemon's clock runs 10 times faster, as in test_alerts: the 180 s
    # settling time, the checks and the power-off 100 s after ssh take a
    # tenth of that.
    mail = smtp.SmtpServer(str(tmp_path / "smtp"), port=2527).start()
    try:
        hot = [dict(s, value=95) if s["name"] == "CPU1 Temp" else s
               for s in SENSORS]
        f = fleets([bmcconf("mock", sensors=hot)])
        daemon.write_config(datadir, CHASSIS, cluster("mock") + (
            "$ENABLE_ALERTS yes\n$ENABLE_SHUTDOWNS yes\n$EMAIL_TO ops@example.org"
            "\n$EMAIL_FROM kestrel@example.org\n$EMAIL_SERVER %s\n"
            % mail.hostport))
        k = daemon.Kestrel(datadir, hosts=ADDRESSES, wrapper=FAST).start()
        try:
            k.wait_ready()
            [m] = mail.wait_messages(1, 60)
            text = m["data"].decode().replace("\r\n", "\n")
            assert "Critical high alert generated for node mock:\n" \
                   "  Temperature[2] CPU1 Temp reading 95.00\n" in text
            assert POWERED_OFF in text
            util.wait_until(lambda: k.ssh_calls(), 10, what="the ssh run")
            assert [c.split(" ", 1)[1] for c in k.ssh_calls()] == [
                "mock /sbin/poweroff"]
            util.wait_until(lambda: f.control("mock")["resets"] == ["ForceOff"],
                            30, what="the BMC power-off")
            wait_record(k, "mock", lambda r: r["POWER"] == 0, what="power off")
            assert k.stop() == 0
            assert f.control("mock")["sessions"] == 0
        finally:
            if k.running():
                k.stop()
    finally:
        mail.stop()
