"""An operator's switchyard runs reaching simulated BMCs and the SMTP server
through the running daemon."""

import os
import subprocess

import pytest

from tests.harness import ipmisim, util

CHASSIS = "$CHASSISTYPE plain\n$$FANCOUNT 0\n\n"


def switchyard(k, *args):
    r = subprocess.run([util.binary("switchyard"), "-o", k.nodecommands] + list(args),
                       capture_output=True, text=True, timeout=30)
    assert (r.returncode, r.stderr) == (0, ""), r
    return r.stdout


@pytest.fixture
def bmcs(tmp_path):
    s = ipmisim.SimSet(str(tmp_path / "sims"), 3)
    yield s
    s.stop_all()


def power_times(sim):
    """When the BMC took each power command, by its log's time stamps."""
    text = util.read_text(os.path.join(sim.statedir, "chassis.log"))
    return [float(l.split()[0]) for l in text.splitlines() if " power " in l]


def test_power_and_reset_requests_reach_the_bmc(bmcs, start_kestrel):
    names = [s.name for s in bmcs]
    # One power-on per second: the host list's three wait their turn.
    cluster = "$POWER_ON_RATE 1\n" + "".join(
        "$NODE %s plain %s %s\n" % (n, ipmisim.USER, ipmisim.PASSWORD)
        for n in names)
    k = start_kestrel(CHASSIS, cluster, hosts=bmcs.hosts()).wait_ready()
    sim, other = bmcs[names[0]], bmcs[names[1]]
    # The daemon has found the BMCs once it reports the chassis powered on.
    util.wait_until(lambda: all(k.records().get(n, {}).get("POWER") == 1
                                for n in names), 30,
                    interval=0.5, what="the BMCs' power state")

    # Two requests of one run arrive together and are executed in order.
    out = switchyard(k, "-r", "-p", sim.name)
    assert out == ("Power OFF requested for node %s\nReset node %s requested\n"
                   % (sim.name, sim.name))
    util.wait_until(lambda: len(sim.chassis_log()) >= 2, 10,
                    what="two chassis commands")
    assert sim.chassis_log() == ["power 0", "reset 1"]
    util.wait_until(lambda: k.records()[sim.name]["POWER"] == 0, 15,
                    interval=0.5, what="power off in the snapshot")

    switchyard(k, "--poweron", sim.name)
    util.wait_until(lambda: sim.chassis_log()[2:] == ["power 1"], 10,
                    what="power on at the BMC")
    assert sim.power() == 1
    util.wait_until(lambda: k.records()[sim.name]["POWER"] == 1, 15,
                    interval=0.5, what="power on in the snapshot")
    assert other.chassis_log() == []

    # A Slurm host list stands for each of its nodes.
    out = switchyard(k, "-p", "node[01-03]")
    assert out == "".join("Power OFF requested for node %s\n" % n for n in names)
    for s in bmcs:
        util.wait_until(lambda s=s: s.chassis_log()[-1:] == ["power 0"], 10,
                        what="power off at %s" % s.name)
    assert [len(s.chassis_log()) for s in bmcs] == [4, 1, 1]

    # Beyond the rate they wait and go out in order, none lost.
    switchyard(k, "-P", "node[01-03]")
    k.wait_stderr("Power-ons wait their turn: at most 1 go out per second")
    for s in bmcs:
        util.wait_until(lambda s=s: s.chassis_log()[-1:] == ["power 1"], 15,
                        what="power on at %s" % s.name)
    ons = [power_times(s)[-1] for s in bmcs]
    assert ons == sorted(ons), ons
