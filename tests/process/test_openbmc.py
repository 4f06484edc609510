"""OpenBMC nodes watched over HTTPS against test BMCs on loopback."""

import json
import re
import signal
import socket
import time

import pytest

from tests.harness import chassis, ipmisim, util
from tests.harness.openbmc import TestBmc

CHASSIS = chassis.openbmc()

SENSORS = chassis.OPENBMC_SENSORS
READINGS = {"FAN": [7200], "TEMP": [2150, 4512], "VOLT": [1225]}

LOGIN_BODY = '{"data": [ "root", "0penBmc" ] }'
HOST = "/xyz/openbmc_project/state/host0/attr/RequestedHostTransition"
CHASSIS_POWER = "/xyz/openbmc_project/state/chassis0/attr/RequestedPowerTransition"
STATE = "/xyz/openbmc_project/state/chassis0"


@pytest.fixture
def bmcs(tmp_path):
    """Starts test BMCs; stops every one of them after the test."""
    started = []

    def start(name, address, **kwargs):
        kwargs.setdefault("sensors", SENSORS)
        b = TestBmc(str(tmp_path), name, address, **kwargs).start()
        started.append(b)
        return b

    yield start
    for b in started:
        b.stop()


def cluster(*nodes):
    return "".join("$NODE %s obmc %s\n" % (n, cred) for n, cred in nodes)


def wait_record(k, name, predicate, timeout=20, what="a status record"):
    def check():
        rec = k.records().get(name)
        return rec if rec and predicate(rec) else None
    return util.wait_until(check, timeout, what="%s of %s" % (what, name))


def reading(rec):
    return rec["DEAD"] == 0 and rec["POWER"] == 1 and all(
        rec[k] == v for k, v in READINGS.items())


@pytest.mark.quick
def test_login_cookie_and_scaled_readings(start_kestrel, bmcs):
    from tests.process.test_http import LISTEN, get
    bmc = bmcs("bmc01", "127.0.0.21", watts=245.5)
    k = start_kestrel(CHASSIS, "$HTTP_LISTEN %s\n" % LISTEN
                      + cluster(("bmc01", "root 0penBmc")),
                      hosts={"bmc01": "127.0.0.21"}).wait_ready()
    # Scale -3 divides by 1000; the pipe shows temperatures and voltages in
    # hundredths, fans as they are.
    wait_record(k, "bmc01", reading, what="scaled readings")
    # The total power sensor (microwatts) is the power drawn.
    util.wait_until(
        lambda: json.loads(get("/status.json")[2])["nodes"][0]["power_watts"]
        == 245.5, 10, what="the power drawn")

    reqs = bmc.requests()
    login = reqs[0]
    assert (login["method"], login["path"]) == ("POST", "/login")
    assert login["body"] == LOGIN_BODY
    assert login["headers"]["Content-Type"] == "application/json"
    assert login["cookie"] == ""
    later = reqs[1:]
    assert {(r["method"], r["path"]) for r in later} >= {
        ("GET", STATE),
        ("GET", "/xyz/openbmc_project/sensors/fan_tach/fan0"),
        ("GET", "/xyz/openbmc_project/sensors/temperature/inlet"),
        ("GET", "/xyz/openbmc_project/sensors/temperature/cpu0"),
        ("GET", "/xyz/openbmc_project/sensors/voltage/p12v"),
        ("GET", "/xyz/openbmc_project/sensors/power/total_power")}
    # One login, and its session cookie goes out with every later request.
    assert all(r["path"] != "/login" for r in later)
    cookies = {r["cookie"] for r in later}
    assert len(cookies) == 1 and re.fullmatch(r'sid="!\S+\?\S+"', cookies.pop())
    assert bmc.control()["sessions"] == 1
    assert "failed" not in k.stderr()


def test_power_commands_reach_their_urls_and_off_clears_readings(
        start_kestrel, bmcs):
    bmc = bmcs("bmc01", "127.0.0.22")
    k = start_kestrel(CHASSIS, cluster(("bmc01", "root 0penBmc")),
                      hosts={"bmc01": "127.0.0.22"}).wait_ready()
    wait_record(k, "bmc01", reading, what="readings")

    def put(path, body):
        return bmc.wait_request(
            lambda r: r["method"] == "PUT" and r["path"] == path
            and r["body"] == body, what="PUT %s %s" % (path, body))

    k.command("$DO_POWER_OFF bmc01\n")
    off = put(CHASSIS_POWER,
              '{"data": "xyz.openbmc_project.State.Chassis.Transition.Off"}')
    assert off["headers"]["Content-Type"] == "application/json"
    assert off["headers"]["Content-Length"] == "60"
    assert off["cookie"].startswith('sid="!')
    # The BMC now reports Off: the node is alive, unpowered, readings zero.
    wait_record(k, "bmc01", lambda r: r["POWER"] == 0 and r["DEAD"] == 0
                and r["FAN"] == [0] and r["TEMP"] == [0, 0] and r["VOLT"] == [0],
                what="power off")

    k.command("$DO_RESET bmc01\n")
    reset = put(HOST,
                '{"data": "xyz.openbmc_project.State.Host.Transition.Reboot"}')
    assert reset["headers"]["Content-Length"] == "60"
    k.command("$DO_POWER_ON bmc01\n")
    on = put(HOST, '{"data": "xyz.openbmc_project.State.Host.Transition.On"}')
    assert on["headers"]["Content-Length"] == "56"
    assert all(r["path"] != "/login" for r in bmc.requests()[1:])


def test_expired_session_marks_the_node_dead_and_logs_in_again(
        start_kestrel, bmcs):
    bmc = bmcs("bmc01", "127.0.0.23")
    k = start_kestrel(CHASSIS, cluster(("bmc01", "root 0penBmc")),
                      hosts={"bmc01": "127.0.0.23"}).wait_ready()
    wait_record(k, "bmc01", reading, what="readings")
    before = len(bmc.requests())
    bmc.control(expire=True)
    # A reply without "Scale" (401 Login required) ends the session; the
    # next task logs in again and the readings come back.
    relogin = util.wait_until(
        lambda: [r for r in bmc.requests()[before:] if r["path"] == "/login"],
        30, what="a second login")[0]
    assert relogin["body"] == LOGIN_BODY
    wait_record(k, "bmc01", reading, timeout=30, what="readings again")
    assert "Could not determine power status from bmc01" in k.stderr()
    assert bmc.control()["sessions"] == 2


def test_session_expiring_while_the_node_is_off_is_renewed(
        start_kestrel, bmcs):
    # An unpowered node is only asked for its power state; the 401 reply to
    # that request must end the session too, or the node stays dead.
    bmc = bmcs("bmc01", "127.0.0.29", power="Off")
    k = start_kestrel(CHASSIS, cluster(("bmc01", "root 0penBmc")),
                      hosts={"bmc01": "127.0.0.29"}).wait_ready()
    wait_record(k, "bmc01", lambda r: r["DEAD"] == 0 and r["POWER"] == 0,
                what="alive and off")
    before = len(bmc.requests())
    bmc.control(expire=True)
    k.wait_stderr("Could not determine power status from bmc01")
    util.wait_until(
        lambda: [r for r in bmc.requests()[before:] if r["path"] == "/login"],
        30, what="a second login")
    wait_record(k, "bmc01", lambda r: r["DEAD"] == 0 and r["POWER"] == 0,
                timeout=30, what="alive again")
    assert all(r["path"] != "/xyz/openbmc_project/sensors/fan_tach/fan0"
               for r in bmc.requests())


def test_refused_login_at_start_recovers_once_the_bmc_accepts(
        start_kestrel, bmcs):
    bmc = bmcs("bmc01", "127.0.0.24")
    bmc.control(refuse_login=True)
    k = start_kestrel(CHASSIS, cluster(("bmc01", "root 0penBmc")),
                      hosts={"bmc01": "127.0.0.24"}).wait_ready()
    k.wait_stderr("Login to bmc01 failed\n")
    assert k.records()["bmc01"]["DEAD"] == 1
    # The next login of the poll comes 30 s after the refusal: once the BMC
    # accepts it the node comes back by itself.
    bmc.control(refuse_login=False)
    wait_record(k, "bmc01", reading, timeout=45, what="recovery")
    assert "Login to bmc01 accepted again" in k.stderr()


@pytest.mark.quick
def test_credentials_are_escaped_in_the_login_body(start_kestrel, bmcs):
    # The cluster file drops double quotes, but a backslash or a tab reaches
    # the password as it stands.
    password = "pa\\ss\tword"
    bmc = bmcs("bmc01", "127.0.0.25", password=password)
    k = start_kestrel(CHASSIS, cluster(("bmc01", "root " + password)),
                      hosts={"bmc01": "127.0.0.25"}).wait_ready()
    wait_record(k, "bmc01", reading, what="readings")
    body = bmc.requests()[0]["body"]
    assert body == '{"data": [ "root", "pa\\\\ss\\tword" ] }'
    assert json.loads(body)["data"] == ["root", password]


def test_missing_sensor_is_reported_and_the_node_stays_up(start_kestrel, bmcs):
    sensors = dict(SENSORS)
    del sensors["temperature/cpu0"]
    bmc = bmcs("bmc01", "127.0.0.26", sensors=sensors)
    k = start_kestrel(CHASSIS, cluster(("bmc01", "root 0penBmc")),
                      hosts={"bmc01": "127.0.0.26"}).wait_ready()
    k.wait_stderr("OpenBMC sensor temperature/cpu0 not found on bmc01\n")
    rec = wait_record(k, "bmc01", lambda r: r["TEMP"] == [2150, 0]
                      and r["FAN"] == [7200], what="the other readings")
    assert rec["DEAD"] == 0
    # Two readouts later the session still holds: one login only.
    count = lambda: sum(1 for r in bmc.requests()
                        if r["path"].endswith("temperature/cpu0"))
    util.wait_until(lambda: count() >= 3, 20, what="three readouts")
    paths = [r["path"] for r in bmc.requests()]
    assert paths.count("/login") == 1
    # No total power sensor: asked once a login, and not a word about it.
    assert sum(p.endswith("power/total_power") for p in paths) == 1
    assert "total_power" not in k.stderr()
    assert k.records()["bmc01"]["DEAD"] == 0
    # Said once, not at every readout; said again once it went and came back.
    missing = "OpenBMC sensor temperature/cpu0 not found on bmc01\n"
    assert k.stderr().count(missing) == 1
    bmc.control(sensors={"temperature/cpu0": SENSORS["temperature/cpu0"]})
    wait_record(k, "bmc01", lambda r: r["TEMP"][1] != 0, what="the sensor back")
    bmc.control(sensors={"temperature/cpu0": None})
    util.wait_until(lambda: k.stderr().count(missing) == 2, 20,
                    what="the second report")


def test_a_stalled_bmc_holds_up_neither_start_up_nor_other_nodes(
        start_kestrel, bmcs):
    good = bmcs("bmc01", "127.0.0.27")
    stalled = bmcs("bmc02", "127.0.0.28")
    stalled.control(stall="accept")  # takes the connection, never speaks
    hosts = {"bmc01": "127.0.0.27", "bmc02": "127.0.0.28"}
    k = start_kestrel(CHASSIS, cluster(("bmc02", "root 0penBmc"),
                                       ("bmc01", "root 0penBmc")),
                      hosts=hosts).wait_ready(timeout=30)
    k.wait_stderr("OpenBMC login on bmc02-ipmi failed: Timeout was reached.\n"
                  "Is the node available?\n")
    wait_record(k, "bmc01", reading, what="readings of the good node")
    assert k.records()["bmc02"]["DEAD"] == 1
    stalled.control(stall=None)

    wait_record(k, "bmc02", reading, timeout=30, what="bmc02 coming up")

    # Now it takes requests over TLS and never replies to them: each request
    # of bmc02 hangs until its time-out while bmc01 goes on being read. (That
    # the poll queues no second status or data task behind a hung one is
    # shown by the unit tests of the poll.)
    stalled.control(stall="reply")
    t0 = time.time()
    util.wait_until(lambda: any(r["t"] > t0 + 8 for r in good.requests()
                                if "sensors" in r["path"]), 20,
                    what="bmc01 readouts during the stall")
    assert any(r["t"] > t0 for r in stalled.requests())
    rec = k.records()["bmc01"]
    assert rec["DEAD"] == 0 and rec["TIME"] >= int(t0)
    stalled.control(stall=None)
    wait_record(k, "bmc02", lambda r: reading(r) and r["TIME"] > t0 + 8,
                timeout=30, what="bmc02 after the stall")
    assert k.running()


def test_bmcs_that_never_answer_tls_do_not_hold_up_start_up(
        start_kestrel, bmcs):
    # Sockets that listen and are never read: the kernel takes each
    # connection and the TLS handshake hangs.
    silent = ["127.0.0.%d" % i for i in range(71, 75)]
    listeners = []
    for addr in silent:
        s = socket.socket()
        s.bind((addr, 443))
        s.listen(8)
        listeners.append(s)
    try:
        bmcs("bmc01", "127.0.0.75")
        hosts = {"mute%d" % i: a for i, a in enumerate(silent)}
        hosts["bmc01"] = "127.0.0.75"
        nodes = [(name, "root 0penBmc") for name in hosts]  # bmc01 last
        k = start_kestrel(CHASSIS, cluster(*nodes), hosts=hosts)
        # No BMC is waited on: the silent ones would take 3 s each.
        k.wait_ready(timeout=5)
        wait_record(k, "bmc01", reading, timeout=10,
                    what="readings of the good node")
        for name in hosts:
            if name != "bmc01":
                k.wait_stderr("OpenBMC login on %s-ipmi failed: Timeout was "
                              "reached.\nIs the node available?\n" % name)
        assert k.running()
    finally:
        for s in listeners:
            s.close()


@pytest.mark.slow
def test_reset_connections_and_malformed_bodies_pass_for_no_reading(
        start_kestrel, bmcs):
    bad = bmcs("bmc02", "127.0.0.29")
    k = start_kestrel(CHASSIS, cluster(("bmc02", "root 0penBmc")),
                      hosts={"bmc02": "127.0.0.29"}).wait_ready()
    wait_record(k, "bmc02", reading, what="readings before the faults")
    for fault in ("reset", "truncated", "garbage"):
        before = len(k.stderr())
        bad.control(fault=fault)
        t0 = time.time()

        def checked():
            rec = k.records()["bmc02"]
            # Each value the last good one or none at all, never one made up
            # from half a reply.
            assert all(got in (want, 0) for key, values in READINGS.items()
                       for got, want in zip(rec[key], values)), (fault, rec)
            return len([r for r in bad.requests() if r["t"] > t0]) >= 8
        util.wait_until(checked, 30, interval=0.5,
                        what="two readouts under %s" % fault)
        assert "bmc02" in k.stderr()[before:], fault  # each fault is noticed
        bad.control(fault=None)
        wait_record(k, "bmc02", lambda r: reading(r) and r["TIME"] > t0 + 1,
                    timeout=30, what="readings after %s" % fault)
    assert k.running()


def test_a_reply_in_two_pieces_gives_readings(start_kestrel, bmcs):
    bmc = bmcs("bmc01", "127.0.0.31")
    # Each body in two TLS writes, the second well after the first.
    bmc.control(split=0.2)
    k = start_kestrel(CHASSIS, cluster(("bmc01", "root 0penBmc")),
                      hosts={"bmc01": "127.0.0.31"}).wait_ready()
    wait_record(k, "bmc01", reading, timeout=30, what="readings")
    states = lambda: sum(1 for r in bmc.requests() if r["path"] == STATE)
    seen = states()
    util.wait_until(lambda: states() >= seen + 3, 30,
                    what="three more power states")
    assert reading(k.records()["bmc01"])
    assert "Could not" not in k.stderr() and "failed" not in k.stderr()
    assert [r["path"] for r in bmc.requests()].count("/login") == 1


def test_an_endless_login_reply_is_one_bounded_failure(start_kestrel, bmcs):
    bmc = bmcs("bmc01", "127.0.0.32")
    bmc.control(flood_login=True)
    k = start_kestrel(CHASSIS, cluster(("bmc01", "root 0penBmc")),
                      hosts={"bmc01": "127.0.0.32"}).wait_ready(timeout=30)
    too_long = ("Reply from bmc01 to https://bmc01-ipmi/login longer than "
                "4194304 bytes\n")
    k.wait_stderr(too_long)
    # The dead node's pace logs in every few seconds; each is cut off at
    # 4 MiB and the failure is said once in the minute.
    logins = lambda: [r for r in bmc.requests() if r["path"] == "/login"]
    util.wait_until(lambda: len(logins()) >= 4, 30, what="four logins")
    err = k.stderr()
    assert err.count(too_long) == 1, err[-2000:]
    assert len(err) < 8192, len(err)
    assert k.records()["bmc01"]["DEAD"] == 1
    bmc.control(flood_login=False)
    wait_record(k, "bmc01", reading, timeout=30, what="readings after")
    assert k.running()


# The daemon's clock runs ten times faster (libfaketime, as in
# test_alerts.py), so that minutes of back-off pass in seconds; the test BMC
# runs in real time.
SPEED = 10
FAST = ["env", "LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/"
        "libfaketimeMT.so.1", "FAKETIME=+0 x%d" % SPEED,
        "ASAN_OPTIONS=verify_asan_link_order=0"]


def test_a_refused_login_is_retried_ever_later_but_a_command_tries_at_once(
        start_kestrel, bmcs):
    bmc = bmcs("bmc01", "127.0.0.33")
    bmc.control(refuse_login=True)
    k = start_kestrel(CHASSIS, cluster(("bmc01", "root 0penBmc")),
                      hosts={"bmc01": "127.0.0.33"}, wrapper=FAST).wait_ready()
    logins = lambda: [r["t"] for r in bmc.requests() if r["path"] == "/login"]
    t0 = util.wait_until(logins, 10, what="the first login")[0]
    # Five minutes of the daemon's clock: logins at 0, 30, 90 and 210 s.
    window = 300 / SPEED
    time.sleep(max(0, t0 + window - time.time()))
    polled = [t for t in logins() if t < t0 + window]
    print("logins in 5 daemon minutes:", len(polled))
    assert 3 <= len(polled) <= 5, polled
    assert k.stderr().count("Login to bmc01 failed\n") == 1
    assert k.records()["bmc01"]["DEAD"] == 1

    # A command's login goes out at once, long before the next one due
    # (at 450 s), and its refusal is said.
    before = len(logins())
    k.command("$DO_POWER_ON bmc01\n")
    command_login = util.wait_until(lambda: logins()[before:], 100 / SPEED,
                                    what="the command's login")[0]
    util.wait_until(lambda: k.stderr().count("Login to bmc01 failed\n") == 2,
                    10, what="the command's refusal said")
    print("logins in the 5 daemon minutes up to the command's:",
          len([t for t in logins() if command_login - window < t
               <= command_login]))

    # SIGHUP, as after the account was unlocked: a login at once, long
    # before the next one due, and the daemon lives on.
    before = len(logins())
    k.proc.send_signal(signal.SIGHUP)
    util.wait_until(lambda: logins()[before:], 100 / SPEED,
                    what="the login SIGHUP asked for")
    assert k.running()

    bmc.control(refuse_login=False)
    k.command("$DO_POWER_ON bmc01\n")
    k.wait_stderr("Login to bmc01 accepted again")
    bmc.wait_request(lambda r: r["method"] == "PUT" and r["path"] == HOST,
                     what="the power-on")
    assert k.stderr().count("Login to bmc01 failed\n") == 2


def test_ipmi_and_openbmc_nodes_are_watched_side_by_side(
        start_kestrel, bmcs, tmp_path):
    sims = ipmisim.SimSet(str(tmp_path / "sims"), 1)
    try:
        bmc = bmcs("bmc01", "127.0.0.30")
        both = CHASSIS + chassis.sim(discs=0)
        nodes = cluster(("bmc01", "root 0penBmc")) + (
            "$NODE node01 simnode %s %s\n" % (ipmisim.USER, ipmisim.PASSWORD))
        hosts = dict(sims.hosts(), bmc01="127.0.0.30")
        k = start_kestrel(both, nodes, hosts=hosts).wait_ready()
        wait_record(k, "bmc01", reading, timeout=30, what="OpenBMC readings")
        wait_record(k, "node01", lambda r: r["DEAD"] == 0 and r["POWER"] == 1
                    and r["FAN"] == [5000] and r["TEMP"] == [4500]
                    and r["VOLT"] == [1200], timeout=30, what="IPMI readings")
        # One command line each; both BMCs act and both nodes show it.
        k.command("$DO_POWER_OFF node01\n$DO_POWER_OFF bmc01\n")
        util.wait_until(lambda: sims["node01"].power() == 0, 15,
                        what="IPMI power off")
        util.wait_until(lambda: bmc.control()["power"] == "Off", 15,
                        what="OpenBMC power off")
        for name in ("node01", "bmc01"):
            wait_record(k, name, lambda r: r["POWER"] == 0 and r["DEAD"] == 0,
                        timeout=20, what="power off")
        assert k.stop() == 0
        err = k.stderr()
        assert "Sanitizer" not in err and "runtime error" not in err, err
    finally:
        sims.stop_all()
