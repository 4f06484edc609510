"""kestrel --probe: one node's BMC written as a chassis section that the
daemon binds whole, with the BMC's own names and thresholds."""

import time

import pytest

from tests.harness import chassis, daemon, ipmisim, util

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


@pytest.fixture
def sims(tmp_path):
    started = []

    def start(count):
        s = ipmisim.SimSet(str(tmp_path / "sims"), count)
        started.append(s)
        return s

    yield start
    for s in started:
        s.stop_all()


def probe(datadir, node, hosts=None, timeout=60):
    """Runs kestrel --probe in a mount namespace of its own (hosts file);
    (status, stdout, stderr, seconds)."""
    k = daemon.Kestrel(datadir, hosts=hosts,
                       args=["--probe", node, "-p", datadir])
    began = time.monotonic()
    status = k.start().wait_exit(timeout)
    seconds = time.monotonic() - began
    print("probe of %s: status %d in %.2f s" % (node, status, seconds))
    return status, k.stdout(), k.stderr(), seconds


def sensor_lines(text):
    return [l for l in text.splitlines() if l.startswith("$$")
            and "COUNT" not in l]


def test_ipmi_probe_writes_the_sdr_and_says_what_binds(sims, datadir):
    bmcs = sims(1)
    # The present section: two names that bind, one the BMC lacks.
    present = chassis.section("simnode", [
        chassis.SIM_FAN, chassis.SIM_TEMP, ("VOLT", "Rail5", "5V", "1 2 6 7")])
    daemon.write_config(datadir, present, IPMI_NODE)
    status, out, err, seconds = probe(datadir, "node01", bmcs.hosts())
    assert status == 0, err
    assert seconds < 10
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
    status, out, err, seconds = probe(datadir, "node01", bmcs.hosts())
    assert (status, out) == (1, "")
    assert err.startswith(
        "IPMI BMC of node01 (node01-ipmi) refused the login (check the user "
        "and password): "), err
    assert seconds < 10
    # A node the cluster file does not name is a usage error.
    status, _, err, _ = probe(datadir, "node09", bmcs.hosts())
    assert status == 2 and err == "No node node09 in %s/cluster.dat.\n" % datadir
