"""Draining and resuming nodes in Slurm end to end: kestrel against a real
slurmctld and munged (tests/harness/slurm.py), simulated BMCs (ipmi_sim)
and a real SMTP server, all on loopback in the test's namespaces.

kestrel runs with its clock 10 times faster (libfaketime), so that the
settling time, the ripening of an alert and $SLURM_RESUME_AFTER pass in a
tenth of their time. The scontrol it runs is a small script of the test's
that notes its arguments and runs the real scontrol on the real clock.
"""

import http.client
import json
import os
import time

import pytest

from tests.harness import chassis, daemon, ipmisim, slurm, smtp, util

SPEED = 10
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
FAST = ["env", "LD_PRELOAD=" + FAKETIME_LIB, "FAKETIME=+0 x%d" % SPEED,
        "ASAN_OPTIONS=verify_asan_link_order=0"]
RESUME_AFTER = 60  # kestrel's seconds: 6 s of real time
HTTP = ("127.0.0.1", 9181)

SCONTROL_STANDIN = """#!/bin/sh
echo "$*" >> {log}
exec env -u LD_PRELOAD -u FAKETIME {scontrol} "$@"
"""


@pytest.fixture(scope="module")
def ctld(tmp_path_factory):
    if not slurm.in_private_netns():
        pytest.skip("needs the private network namespace of "
                    "scripts/process-tests.sh")
    s = slurm.Slurm(str(tmp_path_factory.mktemp("slurm")), "node[01-03]")
    try:
        yield s.start()
    finally:
        s.stop()


def scontrol_standin(datadir, program=slurm.SCONTROL):
    path = os.path.join(datadir, "scontrol")
    with open(path, "w") as f:
        f.write(SCONTROL_STANDIN.format(
            log=os.path.join(datadir, "scontrol.log"), scontrol=program))
    os.chmod(path, 0o755)
    return path


def scontrol_calls(datadir):
    return util.read_text(os.path.join(datadir, "scontrol.log")).splitlines()


def start(datadir, ctld, bmcs, names, settings):
    """kestrel on the clock of FAST, alerts on, nodes `names` at the BMCs
    of `bmcs` (node name -> simulator)."""
    daemon.write_config(datadir, chassis.sim(), settings + "".join(
        "$NODE %s simnode %s %s\n" % (n, ipmisim.USER, ipmisim.PASSWORD)
        for n in names))
    return daemon.Kestrel(datadir, hosts={n: b.addr for n, b in bmcs.items()},
                          wrapper=FAST, env={"SLURM_CONF": ctld.conf}
                          ).start().wait_ready()


def get(path):
    c = http.client.HTTPConnection(*HTTP, timeout=5)
    try:
        c.request("GET", path)
        return c.getresponse().read().decode()
    finally:
        c.close()


def metric(text, sample):
    for line in text.splitlines():
        if line.startswith(sample + " "):
            return float(line.split()[-1])
    return None


@pytest.mark.slow
def test_an_alert_drains_its_node_health_resumes_it_and_a_hand_drain_stays(
        tmp_path, ctld):
    names = ["node01", "node02", "node03"]
    ctld.reset(names)
    ctld.scontrol("update", "NodeName=node02", "State=DRAIN",
                  "Reason=fan swapped, testing")
    bmcs = ipmisim.SimSet(str(tmp_path / "sims"), 3)
    mail = smtp.SmtpServer(str(tmp_path / "smtp")).start()
    datadir = str(tmp_path / "data")
    os.makedirs(datadir)
    k = None
    try:
        for n in names[:2]:
            bmcs[n].set_value(ipmisim.CPU_TEMP, 95)  # critical high
        k = start(datadir, ctld, {n: bmcs[n] for n in names}, names,
                  "$ENABLE_ALERTS yes\n$EMAIL_TO ops@example.org\n"
                  "$EMAIL_FROM kestrel@example.org\n$EMAIL_SERVER %s\n"
                  "$HTTP_LISTEN %s:%d\n$SLURM_DRAIN yes\n"
                  "$SLURM_SCONTROL %s\n$SLURM_RESUME_AFTER %d\n"
                  % ((mail.hostport,) + HTTP +
                     (scontrol_standin(datadir), RESUME_AFTER)))

        # A critical hardware event drains at once, settled or not.
        util.wait_until(lambda: k.records()["node03"]["TIME"], 20,
                        what="node03's first readings")
        time.sleep(1)  # past the first read of its event log
        bmcs["node03"].sel_add(ipmisim.SEL_MEMORY, 0x40, 1)
        util.wait_until(lambda: "DRAIN" in ctld.node("node03")["State"], 30,
                        interval=0.2, what="node03 drained in Slurm")
        assert ctld.node("node03")["Reason"] == (
            "kestrel: hardware event: sensor 0x40 (Memory): Memory: "
            "uncorrectable ECC, asserted")

        # Drained once the alert is reported, with what and why.
        util.wait_until(lambda: "DRAIN" in ctld.node("node01")["State"], 60,
                        interval=0.2, what="node01 drained in Slurm")
        started = time.monotonic()
        assert ctld.node("node01")["Reason"] == (
            "kestrel: CPU Temp 95.00 C above critical high 90.00 C")
        k.wait_stderr("Slurm: drained node01: kestrel: CPU Temp 95.00 C")
        texts = [m["data"].decode() for m in mail.wait_messages(1, 15)]
        assert any("Critical high alert generated for node node01:\r\n"
                   "  Temperature[1] CPU Temp reading 95.00\r\n" in t and
                   "  The node is being drained in Slurm: no new jobs start "
                   "on it.\r\n" in t for t in texts)
        # The hand drain was seen at start: its alert says it is left so.
        util.wait_until(lambda: any(
            "node node02:" in m["data"].decode() and
            "drained or down in Slurm for another reason; kestrel leaves it "
            "so." in m["data"].decode() for m in mail.messages()), 15,
            what="node02's alert")
        doc = json.loads(get("/status.json"))
        assert [n["slurm"] for n in doc["nodes"]][:2] == ["drained", "held"]
        metrics = get("/metrics")
        assert 'kestrel_slurm_drained{node="node01"} 1\n' in metrics
        assert 'kestrel_slurm_drained{node="node02"} 0\n' in metrics
        assert ('kestrel_slurm_actions_total{action="drain",result="ok"} 2\n'
                in metrics)  # node01 and node03

        # node03, healthy since it settled, is back in service by now or
        # soon.
        util.wait_until(lambda: "DRAIN" not in ctld.node("node03")["State"],
                        20, interval=0.2, what="node03 resumed")

        # Back within limits for RESUME_AFTER: resumed, and no earlier.
        bmcs["node01"].set_value(ipmisim.CPU_TEMP, 45)
        back = time.monotonic()
        util.wait_until(lambda: "DRAIN" not in ctld.node("node01")["State"],
                        40, interval=0.2, what="node01 resumed")
        assert time.monotonic() - back >= 0.8 * RESUME_AFTER / SPEED
        assert ctld.node("node01")["State"] == "IDLE+NOT_RESPONDING"
        k.wait_stderr("Slurm: resumed node01, healthy for ")
        util.wait_until(lambda: 'kestrel_slurm_actions_total{action="resume",'
                        'result="ok"} 2\n' in get("/metrics"), 5,
                        what="the resume counted")

        # node02 stayed critical throughout: looked at again with each
        # report, never touched.
        assert ctld.node("node02") == {"State": "IDLE+DRAIN+NOT_RESPONDING",
                                       "Reason": "fan swapped, testing"}
        calls = scontrol_calls(datadir)
        assert calls.count("show node node02") >= 2
        assert [c for c in calls if c.startswith("update NodeName=node0")
                and "node03" not in c] == [
            "update NodeName=node01 State=DRAIN Reason=kestrel: CPU Temp "
            "95.00 C above critical high 90.00 C",
            "update NodeName=node01 State=RESUME"]
        assert metric(get("/metrics"), 'kestrel_slurm_actions_total{'
                      'action="drain",result="skipped"}') >= 2
        print("drain to resume: %.1f s" % (time.monotonic() - started))
        assert k.stop() == 0
        assert "Sanitizer" not in k.stderr() and "runtime error" not in k.stderr()
    finally:
        if k and k.running():
            k.stop()
        mail.stop()
        bmcs.stop_all()


@pytest.mark.quick
def test_a_missing_or_failing_scontrol_is_said_once_and_monitoring_goes_on(
        tmp_path, ctld):
    bmcs = ipmisim.SimSet(str(tmp_path / "sims"), 1)
    settings = ("$ENABLE_ALERTS yes\n$EMAIL_TO ops@example.org\n"
                "$EMAIL_FROM kestrel@example.org\n$EMAIL_SERVER 127.0.0.2:2\n"
                "$SLURM_DRAIN yes\n$SLURM_SCONTROL %s\n")
    missing, failing = str(tmp_path / "missing"), str(tmp_path / "failing")
    os.makedirs(missing)
    os.makedirs(failing)
    daemons = []
    try:
        daemons.append(start(missing, ctld, {"node01": bmcs["node01"]},
                             ["node01"],
                             settings % "/nonexistent/scontrol"))
        # node09 is not one of Slurm's nodes: the real scontrol refuses it.
        daemons.append(start(failing, ctld, {"node09": bmcs["node01"]},
                             ["node09"], settings % scontrol_standin(failing)))
        gone, refused = daemons
        gone.wait_stderr("Slurm: cannot run /nonexistent/scontrol: No such "
                         "file or directory; kestrel tries again later\n")
        refused.wait_stderr("Slurm: /usr/bin/scontrol show node node09 "
                            "failed for node09 (exit status 1: Node node09 not "
                            "found); kestrel tries again later\n".replace(
                                "/usr/bin/scontrol",
                                os.path.join(failing, "scontrol")))
        # Tried again after 10 s and 20 s of kestrel's time.
        util.wait_until(lambda: scontrol_calls(failing).count(
            "show node node09") >= 3, 15, what="two more tries")
        for k in daemons:
            assert k.stderr().count("Slurm: ") == 1, k.stderr()
        # Readings still come in.
        bmcs["node01"].set_value(ipmisim.CPU_TEMP, 52)
        for k in daemons:
            util.wait_until(lambda: k.records()["node01" if k is gone else
                                                "node09"]["TEMP"] == [5200],
                            15, what="the new reading")
            assert k.stop() == 0
    finally:
        for k in daemons:
            if k.running():
                k.stop()
        bmcs.stop_all()
