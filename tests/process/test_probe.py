"""kestrel --probe: one node's BMC written as a chassis section that the
daemon binds whole, with the BMC's own names and thresholds."""

import re
import time

import pytest

from tests.harness import chassis, daemon, ipmisim, util
from tests.harness.openbmc import TestBmc as OpenBmc
from tests.harness.redfish import sensor

pytestmark = pytest.mark.quick

IPMI_NODE = "$NODE node01 simnode %s %s\n" % (ipmisim.USER, ipmisim.PASSWORD)

# What the simulator's SDR (tests/assets/ipmi/node.sdrs) says, in its order:
# thresholds cooked (12V: counts x 0.06, FAN1: counts x 50); the limits it
# lacks are the probe's guesses.
IPMI_SECTION = [
    '$$TEMP1 CPU_Temp "CPU Temp" -40 -40 80 90',
    "$$VOLT1 12V 12V 10.8 11.4 12.6 13.2",
    "$$FAN1 FAN1 FAN1 1000 1500 50000 50000",
    '$$DISC1 PSU1_Status "PSU1 Status" 0',
    '$$DISC2 CMOS_Battery "CMOS Battery" 0',
]


def probe(datadir, node, hosts=None, timeout=60):
    """Runs kestrel --probe in a mount namespace of its own (hosts file);
    (status, stdout, stderr, seconds)."""
    k = daemon.Kestrel(datadir, hosts=hosts,
                       args=["--probe", node, "-p", datadir])
    began = time.monotonic()
    status = k.start().wait_exit(timeout)
    seconds = time.monotonic() - began
    print("probe of %s: status %d in %.2f s" % (node, status, seconds))
    err = k.stderr()
    assert "Sanitizer" not in err and "runtime error" not in err, err
    return status, k.stdout(), err, seconds


def sensor_lines(text):
    return [l for l in text.splitlines()
            if re.match(r"\$\$(FAN|TEMP|VOLT|DISC)\d", l)]


def test_ipmi_probe_writes_the_sdr_and_says_what_binds(sims, datadir):
    bmcs = sims(1)
    # The present section: two names that bind, one the BMC lacks.
    present = chassis.section("simnode", [
        chassis.SIM_FAN, chassis.SIM_TEMP, ("VOLT", "Rail5", "5V", "1 2 6 7")])
    daemon.write_config(datadir, present, IPMI_NODE)
    status, out, err, _ = probe(datadir, "node01", bmcs.hosts())
    assert status == 0, err
    assert sensor_lines(out) == IPMI_SECTION
    lines = out.splitlines()
    start = lines.index("$CHASSISTYPE simnode")
    assert lines[start + 1:start + 5] == [
        "$$FANCOUNT 1", "$$TEMPCOUNT 1", "$$VOLTCOUNT 1", "$$DISCCOUNT 2"]
    # Readings, units and guesses are comments before their sensor line.
    before = lambda line: lines[lines.index(line) - 1]
    assert "! CPU Temp: 45 degrees C" in lines
    assert before(IPMI_SECTION[0]) == (
        "!   guessed, the BMC gives none: critical low, alert low")
    assert before(IPMI_SECTION[1]) == "! 12V: 12 volts"
    assert before(IPMI_SECTION[3]) == "! PSU1 Status: healthy"
    assert "!   FAN1 FAN1" in lines and '!   TEMP1 "CPU Temp"' in lines
    assert "! The present section simnode of node01: 2 of 3 sensors bind." in lines
    assert "!   VOLT1 5V; nearest: 12V, FAN1, \"CPU Temp\"" in lines


def test_the_probed_section_pasted_makes_the_daemon_bind_every_sensor(
        sims, datadir, start_kestrel):
    bmcs = sims(1)
    # The chassis may name only its transport before the probe.
    daemon.write_config(datadir, "$CHASSISTYPE simnode\n\n", IPMI_NODE)
    status, out, err, _ = probe(datadir, "node01", bmcs.hosts())
    assert status == 0, err
    assert "! The present section simnode of node01: names no sensor." in out
    # Both discrete sensors warn, so that a bound one differs from an unread.
    bmcs["node01"].set_bit(ipmisim.PSU1, ipmisim.PS_PREDFAIL, 1)
    bmcs["node01"].set_bit(ipmisim.BATTERY, ipmisim.BAT_LOW, 1)
    k = start_kestrel(out, IPMI_NODE, hosts=bmcs.hosts()).wait_ready()
    want = {"TEMP": [4500], "VOLT": [1200], "FAN": [5000], "DISC": [1, 1]}
    util.wait_until(
        lambda: all(k.records().get("node01", {}).get(kind) == values
                    for kind, values in want.items()),
        10, interval=0.2, what="every probed sensor read")
    assert k.stop() == 0
    assert "not found" not in k.stderr()


def test_ipmi_probe_of_a_bmc_refusing_the_login(sims, datadir):
    bmcs = sims(1)
    daemon.write_config(datadir, "$CHASSISTYPE simnode\n\n",
                        "$NODE node01 simnode admin wrong\n")
    status, out, err, _ = probe(datadir, "node01", bmcs.hosts())
    assert (status, out) == (1, "")
    assert err.startswith(
        "IPMI BMC of node01 (node01-ipmi) refused the login (check the user "
        "and password): "), err
    # A node the cluster file does not name is a usage error.
    status, _, err, _ = probe(datadir, "node09", bmcs.hosts())
    assert status == 2 and err == "No node node09 in %s/cluster.dat.\n" % datadir


# Redfish: thresholds in the Sensor schema (and as Thermal and Power name
# them), a fan in percent, two temperatures of one name, a supply.
RF_SENSORS = [
    sensor("fan", "Fan0", 35, percent=True,
           thresholds={"LowerCritical": 10, "LowerCaution": 15}),
    sensor("temp", "Inlet Temp", 21.5, id="Inlet1"),
    sensor("temp", "Inlet Temp", 22.5, id="Inlet2"),
    sensor("temp", "CPU1 Temp", 45.125,
           thresholds={"UpperCaution": 80, "UpperCritical": 90}),
    sensor("volt", "P12V", 12.25,
           thresholds={"LowerCritical": 10.8, "LowerCaution": 11.4,
                       "UpperCaution": 12.6, "UpperCritical": 13.2}),
    sensor("psu", "PSU1", None, health="OK"),
]
RF_LINES = [
    "$$FAN1 Fan0 Fan0 10 15 100 100",
    '$$TEMP1 Inlet_Temp "Inlet Temp" -40 -40 125 125',
    "$$TEMP2 Inlet_Temp_2 Inlet2 -40 -40 125 125",
    '$$TEMP3 CPU1_Temp "CPU1 Temp" -40 -40 80 90',
    "$$VOLT1 P12V P12V 10.8 11.4 12.6 13.2",
    "$$DISC1 PSU1 PSU1 0",
]


def test_redfish_probe_in_each_layout_and_the_pasted_section_binds(
        fleets, datadir, start_kestrel):
    addresses = {"mock": "127.0.0.51", "web": "127.0.0.52",
                 "drac": "127.0.0.53", "new": "127.0.0.55"}
    bmcs = fleets([dict(name="mock", address=addresses["mock"], flavour="dmtf",
                       sensors=RF_SENSORS),
                  dict(name="web", address=addresses["web"], flavour="bmcweb",
                       sensors=RF_SENSORS),
                  dict(name="drac", address=addresses["drac"],
                       flavour="idrac", sensors=RF_SENSORS),
                  dict(name="new", address=addresses["new"],
                       flavour="newer", sensors=RF_SENSORS),
                  dict(name="bad", address="127.0.0.54", password="other")])
    hosts = dict(addresses, bad="127.0.0.54")
    daemon.write_config(
        datadir, "$CHASSISTYPE rf\n$$REDFISH\n\n",
        "".join("$NODE %s rf admin secret\n" % n for n in hosts))
    # The mockup serves Sensors ($expand), and Thermal and Power beside it:
    # each sensor once, in the collection's order, the supply from Power.
    status, out, err, _ = probe(datadir, "mock", hosts)
    assert status == 0, err
    assert sensor_lines(out) == RF_LINES, out
    lines = out.splitlines()
    assert lines[lines.index("$CHASSISTYPE rf") + 1] == "$$REDFISH"
    assert "! Fan0: 35 percent" in lines
    assert "!   a fan in percent of full speed: its limits are percent" in lines
    assert "! PSU1: healthy" in lines
    assert "!   named by its Id: an earlier sensor has its name" in lines
    # Its session is given back, and it took no other session for one a
    # killed daemon left (a daemon may be running on the node).
    assert bmcs.control("mock")["sessions"] == 0
    assert ("GET", "/redfish/v1/SessionService/Sessions") not in [
        (r["method"], r["path"]) for r in bmcs.requests("mock")]
    # Sensors one by one and the supplies of PowerSubsystem (bmcweb); only
    # Thermal and Power, with basic authentication, whose older threshold
    # names give the same limits (iDRAC).
    for name in ("web", "drac"):
        status, out, err, _ = probe(datadir, name, hosts)
        assert status == 0, err
        assert sensor_lines(out) == RF_LINES, out
    # The newer schema alone: the voltage from Sensors, the supply from
    # PowerSubsystem, the fan and temperatures from ThermalSubsystem.
    status, out, err, _ = probe(datadir, "new", hosts)
    assert status == 0, err
    assert sensor_lines(out) == [
        "$$VOLT1 P12V P12V 10.8 11.4 12.6 13.2", "$$DISC1 PSU1 PSU1 0",
        "$$FAN1 Fan0 Fan0 0 0 100 100",
        '$$TEMP1 Inlet_Temp "Inlet Temp" -40 -40 125 125',
        "$$TEMP2 Inlet_Temp_2 Inlet2 -40 -40 125 125",
        '$$TEMP3 CPU1_Temp "CPU1 Temp" -40 -40 125 125'], out
    status, out, err, _ = probe(datadir, "bad", hosts)
    assert (status, out) == (1, "")
    assert err.startswith("Redfish BMC of bad (bad-ipmi) refused the login "
                          "(check the user and password): login failed: "
                          "HTTP 401"), err
    # The daemon binds the whole probed section of the mockup at once.
    _, section, _, _ = probe(datadir, "mock", hosts)
    k = start_kestrel(section, "$NODE mock rf admin secret\n",
                      hosts=hosts).wait_ready()
    util.wait_until(
        lambda: k.records().get("mock", {}).get("TEMP") == [2150, 2250, 4512]
        and k.records()["mock"].get("FAN") == [35]
        and k.records()["mock"].get("VOLT") == [1225], 15, interval=0.2,
        what="every probed sensor read")
    assert k.stop() == 0
    assert "not found" not in k.stderr()


# OpenBMC: sorted paths as the enumeration gives them; two sensors whose
# labels would both be "fan0"; the test BMC's default thresholds
# (Critical/Warning Low 0, High 65000/63000 in the sensor's scale); a fan in
# percent without thresholds; a current sensor kestrel does not watch.
NO_THRESHOLDS = dict.fromkeys(
    ["CriticalLow", "WarningLow", "WarningHigh", "CriticalHigh"])
OB_SENSORS = {
    "current/psu0": {"scale": -3, "value": 5000},
    "fan_pwm/fan0": {"scale": 0, "value": 40, "thresholds": NO_THRESHOLDS},
    "fan_tach/fan0": {"scale": 0, "value": 7200},
    "temperature/cpu0": {"scale": -3, "value": 45125},
    "voltage/p12v": {"scale": -3, "value": 12250, "thresholds": {
        "CriticalLow": 10800, "WarningLow": 11400, "WarningHigh": 12600,
        "CriticalHigh": 13200}},
}
OB_LINES = [
    "$$FAN1 fan0 fan_pwm/fan0 0 0 100 100",
    "$$FAN2 fan0_2 fan_tach/fan0 0 0 63000 65000",
    "$$TEMP1 cpu0 temperature/cpu0 0 0 63 65",
    "$$VOLT1 p12v voltage/p12v 10.8 11.4 12.6 13.2",
]


def test_openbmc_probe_and_the_pasted_section_binds(
        tmp_path, datadir, start_kestrel):
    hosts = {"ob": "127.0.0.61", "obbad": "127.0.0.62"}
    bmcs = [OpenBmc(str(tmp_path), "ob", hosts["ob"], sensors=OB_SENSORS),
            OpenBmc(str(tmp_path), "obbad", hosts["obbad"], password="other")]
    try:
        for b in bmcs:
            b.start()
        daemon.write_config(datadir, "$CHASSISTYPE ob\n$$OPENBMC\n\n",
                            "$NODE ob ob root 0penBmc\n"
                            "$NODE obbad ob root 0penBmc\n")
        status, out, err, _ = probe(datadir, "ob", hosts)
        assert status == 0, err
        assert sensor_lines(out) == OB_LINES, out
        lines = out.splitlines()
        assert lines[lines.index("$CHASSISTYPE ob") + 1] == "$$OPENBMC"
        assert "! fan_pwm/fan0: 40 percent" in lines
        assert "! temperature/cpu0: 45.125 degrees C" in lines
        assert "!   current/psu0" in lines  # offered, not watched
        status, out, err, _ = probe(datadir, "obbad", hosts)
        assert (status, out) == (1, "")
        assert err.startswith("OpenBMC BMC of obbad (obbad-ipmi) refused the "
                              "login (check the user and password): "), err
        _, section, _, _ = probe(datadir, "ob", hosts)
        k = start_kestrel(section, "$NODE ob ob root 0penBmc\n",
                          hosts=hosts).wait_ready()
        util.wait_until(
            lambda: k.records().get("ob", {}).get("FAN") == [40, 7200]
            and k.records()["ob"].get("TEMP") == [4512]
            and k.records()["ob"].get("VOLT") == [1225], 15, interval=0.2,
            what="every probed sensor read")
        assert k.stop() == 0
        assert "Failed" not in k.stderr()
    finally:
        for b in bmcs:
            b.stop()
