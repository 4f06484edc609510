"""An operator's switchyard runs reaching simulated BMCs and the SMTP server
through the running daemon."""

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
    s = ipmisim.SimSet(str(tmp_path / "sims"), 2)
    yield s
    s.stop_all()


def test_power_and_reset_requests_reach_the_bmc(bmcs, start_kestrel):
    names = [s.name for s in bmcs]
    cluster = "".join("$NODE %s plain %s %s\n" % (n, ipmisim.USER, ipmisim.PASSWORD)
                      for n in names)
    k = start_kestrel(CHASSIS, cluster, hosts=bmcs.hosts()).wait_ready()
    sim, other = bmcs[names[0]], bmcs[names[1]]
    # The daemon has found the BMC once it reports the chassis powered on.
    util.wait_until(lambda: k.records().get(sim.name, {}).get("POWER") == 1, 30,
                    interval=0.5, what="the BMC's power state")

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
