"""The packaged daemon under its systemd unit's confinement, against
simulated BMCs: IPMI and OpenBMC readings, the summary given to the web
server's group, commands, alert e-mail and an automatic shutdown through the
ssh stand-in. Where systemd is not PID 1 the unit's settings are applied
through their equivalents (tests/harness/service.py).

The package's files come from KESTREL_DEB (a built .deb, unpacked) or else
from `cmake --install` of the build under test."""

import glob
import grp
import os
import stat
import subprocess

from tests.harness import daemon, ipmisim, service, smtp, util
from tests.harness.openbmc import TestBmc
from tests.process.test_alerts import FAST, SIM_CHASSIS, settings

UNIT_DATADIR = "/etc/tarn/kestrel"
KEY = "test key of root's ssh client\n"
OPENBMC_CHASSIS = """$CHASSISTYPE obmc
$$OPENBMC
$$FANCOUNT 1
$$FAN1 FAN0 fan_tach/fan0 300 600 20000 25000

"""
# Run by the ssh stand-in, inside the confinement: what ssh would meet.
PROBE = """{{ cat /root/.ssh/id_ed25519
  grep -E '^(NoNewPrivs|Seccomp|CapEff):' /proc/self/status
  touch /usr/probe 2>/dev/null || echo "/usr read-only"
  touch /root/.ssh/known_hosts 2>/dev/null || echo "/root/.ssh read-only"
  ls -A /home | wc -l; }} > {out}
"""


def package_files(root):
    """Unpacks the package's files into root; returns the unit's path."""
    deb = os.environ.get("KESTREL_DEB")
    if deb:
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    else:
        subprocess.run(["cmake", "--install", util.build_dir()], check=True,
                       capture_output=True, env=dict(os.environ, DESTDIR=root))
    [unit] = glob.glob(root + "/**/systemd/system/kestrel.service",
                       recursive=True)
    return unit


def both_read(records):
    """The snapshot once an IPMI and the OpenBMC node have readings."""
    ipmi, obmc = records["node02"], records["bmc01"]
    return records if ipmi["FAN"][0] and obmc["FAN"] == [7200] else None


def test_the_confined_daemon_does_all_its_work(tmp_path):
    root, datadir = str(tmp_path / "pkg"), str(tmp_path / "data")
    home = tmp_path / "roothome" / ".ssh"
    home.mkdir(parents=True)
    (home / "id_ed25519").write_text(KEY)
    confined = service.Confinement(
        package_files(root), str(tmp_path / "confine"),
        {UNIT_DATADIR: datadir}, keep=[root], site=[(str(home.parent), "/root")])
    program, *args = confined.execstart
    assert args == ["-p", UNIT_DATADIR]

    bmcs = ipmisim.SimSet(str(tmp_path / "sims"), 2)
    obmc = TestBmc(str(tmp_path), "bmc01", "127.0.0.31",
                   sensors={"fan_tach/fan0": {"scale": 0, "value": 7200}})
    mail = smtp.SmtpServer(str(tmp_path / "smtp"))
    k = None
    try:
        obmc.start()
        mail.start()
        bmcs["node01"].set_value(ipmisim.CPU_TEMP, 95)  # critical: shut down
        group = grp.getgrnam("daemon")
        daemon.write_config(datadir, SIM_CHASSIS + OPENBMC_CHASSIS,
                            settings(mail, shutdowns="yes")
                            + "$APACHE_GROUP daemon\n"
                            "$NODE node01 simnode admin secret\n"
                            "$NODE node02 simnode admin secret\n"
                            "$NODE bmc01 obmc root 0penBmc\n")
        probe = os.path.join(datadir, "probe")
        hosts = dict(bmcs.hosts(), bmc01=obmc.address)
        # -d: in the foreground the daemon keeps the harness's PID and
        # stderr; the unit (Type=forking) starts it without.
        k = daemon.Kestrel(datadir, hosts=hosts, program=root + program,
                           args=["-d", "-p", datadir],
                           wrapper=confined.wrapper() + FAST,
                           ssh_extra=PROBE.format(out=probe)).start()
        k.wait_ready(timeout=60)  # slow under a sanitizer and a busy machine
        with open("/proc/%d/limits" % k.proc.pid) as f:
            files = [l.split()[3:5] for l in f if l.startswith("Max open files")]
        assert files == [[str(confined.nofile)] * 2]

        summary = os.stat(k.autonodeconf)  # chown needs CAP_CHOWN
        assert (stat.S_IMODE(summary.st_mode), summary.st_gid) == (
            0o640, group.gr_gid)
        rec = util.wait_until(lambda: both_read(k.records()), 30,
                              what="IPMI and OpenBMC readings")
        assert rec["node02"]["DEAD"] == 0 and rec["node02"]["POWER"] == 1

        k.command("$VERSION 1\n$DO_POWER_OFF node02\n")
        util.wait_until(lambda: bmcs["node02"].chassis_log() == ["power 0"],
                        15, what="the commanded power-off")

        [m] = mail.wait_messages(1, 60)
        assert b"Critical high alert generated for node node01" in m["data"]
        util.wait_until(lambda: k.ssh_calls(), 10, what="the ssh run")
        assert [c.split(" ", 1)[1] for c in k.ssh_calls()] == [
            "node01 /sbin/poweroff"]
        util.wait_until(lambda: bmcs["node01"].chassis_log() == ["power 0"],
                        30, what="the BMC power-off after ssh")
        assert util.read_text(probe) == KEY + (
            "CapEff:\t0000000000000003\nNoNewPrivs:\t1\nSeccomp:\t2\n"
            "/usr read-only\n/root/.ssh read-only\n0\n")

        assert k.stop() == 0
        assert not os.path.exists(k.nodewatch)
        assert "Sanitizer" not in k.stderr()
    finally:
        if k and k.running():
            k.stop()
        bmcs.stop_all()
        obmc.stop()
        mail.stop()
