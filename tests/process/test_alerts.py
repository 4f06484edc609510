"""Alert e-mail and automatic shutdown end to end: the daemon against a real
SMTP server process (aiosmtpd) and simulated BMCs (ipmi_sim)."""

import os
import time

import pytest

from tests.harness import chassis, daemon, ipmisim, smtp, util

TO = "ops@example.org,oncall@example.org"
FROM = "kestrel@example.org"


def settings(server, alerts="yes", shutdowns="no", to=TO):
    return ("$ENABLE_ALERTS %s\n$ENABLE_SHUTDOWNS %s\n$EMAIL_TO %s\n"
            "$EMAIL_FROM %s\n$EMAIL_SERVER %s\n"
            % (alerts, shutdowns, to, FROM, server.hostport))


def message(subject, body, to=TO):
    """The message as the server stores it: CRLF line ends throughout."""
    text = ("Subject: %s\nFrom: Cluster IPMI monitoring <%s>\nTo: %s\n\n%s\n.\n"
            % (subject, FROM, to, body))
    return text.replace("\n", "\r\n").encode()


@pytest.fixture
def smtp_server(tmp_path):
    started = []

    def start(name="smtp", **kwargs):
        s = smtp.SmtpServer(str(tmp_path / name), **kwargs).start()
        started.append(s)
        return s

    yield start
    for s in started:
        s.stop()


@pytest.mark.quick
def test_test_email_reaches_every_recipient_with_the_exact_text(
        smtp_server, start_kestrel):
    server = smtp_server()
    # Quoted, with a blank after a comma: the blank stays in the To: header
    # but never reaches the server's recipient list.
    to = "ops@example.org, oncall@example.org,night@example.org"
    k = start_kestrel("", settings(server, to='"%s"' % to)).wait_ready()
    k.command("$TEST_EMAIL\n")
    [m] = server.wait_messages(1, 15)
    assert m["mail_from"] == FROM
    assert m["rcpt_tos"] == ["ops@example.org", "oncall@example.org",
                             "night@example.org"]
    assert m["data"] == message(
        "Test: Automatic alert from your Varnholt Cluster",
        "This is a test email to verify alert functionality\n", to=to)
    assert "Failed to send alert email" not in k.stderr()

    # The body is not cleared between test requests: the line comes twice.
    k.command("$TEST_EMAIL\n")
    m = server.wait_messages(2, 15)[1]
    assert m["data"] == message(
        "Test: Automatic alert from your Varnholt Cluster",
        "This is a test email to verify alert functionality\n" * 2, to=to)
    assert k.running()


def test_a_server_that_never_answers_fails_the_email_and_the_daemon_runs_on(
        smtp_server, start_kestrel):
    server = smtp_server(silent=True)
    k = start_kestrel("", settings(server)).wait_ready()
    k.command("$TEST_EMAIL\n")
    k.wait_stderr("test email requested", timeout=10)
    sent = time.monotonic()
    k.wait_stderr("Failed to send alert email:\n"
                  "This is a test email to verify alert functionality\n",
                  timeout=15)
    # The transfer is bounded at 4.5 s; it does not fail before that.
    assert time.monotonic() - sent >= 4.0

    # A second request while a sender still waits makes that sender give
    # way; only the newest one reports its failure.
    k.command("$TEST_EMAIL\n")
    k.wait_stderr("test email requested", timeout=10)
    time.sleep(0.5)
    k.command("$TEST_EMAIL\n")
    k.wait_stderr("Terminated previous one and sending new.\n", timeout=10)
    util.wait_until(lambda: k.stderr().count("Failed to send alert email:") == 2,
                    15, what="the second failure")
    time.sleep(2)
    assert k.stderr().count("Failed to send alert email:") == 2
    assert k.running()


# -- alerts from simulated BMCs, under accelerated time ------------------------
#
# A reading must stay out of limits through the node's 180 s settling time
# and seven limit-check passes 6 s apart before it is reported, and the BMC
# power-off of an automatic shutdown follows about 100 s later. The daemon
# runs with its clock 10 times faster (libfaketime, preloaded directly so
# that the daemon keeps its own PID and gets the test's signals); the
# simulated BMCs and the SMTP server run in real time.

SPEED = 10
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
FAST = ["env", "LD_PRELOAD=" + FAKETIME_LIB, "FAKETIME=+0 x%d" % SPEED,
        # The sanitizer runtime need not come first in the library list.
        "ASAN_OPTIONS=verify_asan_link_order=0"]

SIM_CHASSIS = chassis.sim()

LIMITS = {"CPU Temp": "0.00 5.00 80.00 90.00", "12V": "10.80 11.40 12.60 13.20"}


def entry(heading, node, line, sensor, closing):
    low_crit, low, high, high_crit = LIMITS[sensor].split()
    return ("%s alert generated for node %s:\n%s"
            "  Configured limits for this sensor are:\n"
            "      crit low: %s\n     alert low: %s\n"
            "    alert high: %s\n     crit high: %s\n%s"
            % (heading, node, line, low_crit, low, high, high_crit, closing))


POWERED_OFF = "  As this is a critical value, the node is being powered off now.\n\n"
NOT_POWERED_OFF = ("  This is a critical value and would trigger an automatic "
                   "poweroff of the node. However, this feature is disabled.\n\n")
ALERT_SUBJECT = "Automatic alert from your Varnholt Cluster"


def start_fast(datadir, bmcs, names, cluster_settings):
    daemon.write_config(datadir, SIM_CHASSIS, cluster_settings + "".join(
        "$NODE %s simnode %s %s\n" % (n, ipmisim.USER, ipmisim.PASSWORD)
        for n in names))
    hosts = {n: bmcs[n].addr for n in names}
    real = "env -u LD_PRELOAD -u FAKETIME date +%%s.%%N >> %s" % os.path.join(
        datadir, "ssh.real")
    return daemon.Kestrel(datadir, hosts=hosts, wrapper=FAST,
                          ssh_extra=real).start().wait_ready()


def ssh_targets(k):
    """The arguments of every ssh run, without the time stamp."""
    return [line.split(" ", 1)[1] for line in k.ssh_calls()]


@pytest.mark.slow
def test_critical_readings_alert_and_shut_down_as_configured(
        tmp_path, smtp_server):
    bmcs = ipmisim.SimSet(str(tmp_path / "sims"), 3)
    daemons = []
    try:
        mail_on = smtp_server("smtp-on", port=2525)
        mail_off = smtp_server("smtp-off", port=2526)
        bmcs["node01"].set_value(ipmisim.CPU_TEMP, 95)  # critical high
        bmcs["node02"].set_value(ipmisim.V12, 230)      # 13.80 V, critical
        on = start_fast(str(tmp_path / "on"), bmcs, ["node01"],
                        settings(mail_on, shutdowns="yes"))
        off = start_fast(str(tmp_path / "off"), bmcs, ["node02", "node03"],
                         settings(mail_off, shutdowns="no"))
        daemons = [on, off]

        # Shutdowns enabled: the alert, then ssh at once, then the BMC
        # power-off about 100 s later.
        [m] = mail_on.wait_messages(1, 60)
        assert m["rcpt_tos"] == TO.split(",")
        assert m["data"] == message(ALERT_SUBJECT, entry(
            "Critical high", "node01",
            "  Temperature[1] CPU Temp reading 95.00\n", "CPU Temp",
            POWERED_OFF))
        util.wait_until(lambda: ssh_targets(on), 10, what="the ssh run")
        assert ssh_targets(on) == ["node01 /sbin/poweroff"]
        assert bmcs["node01"].chassis_log() == []
        util.wait_until(lambda: bmcs["node01"].chassis_log() == ["power 0"],
                        30, what="the power-off at node01's BMC")
        # The stand-in notes the real time of its run; the simulator logs
        # real time. Between them lie about 100 s of the daemon's time, a
        # tenth of that in real time.
        ssh_at = float(util.read_text(os.path.join(on.datadir, "ssh.real")))
        off_at = float(util.read_text(os.path.join(
            bmcs["node01"].statedir, "chassis.log")).split()[0])
        assert 70 <= (off_at - ssh_at) * SPEED <= 140
        err = on.stderr()
        for text in ("node01 being shutdown automatically\n",
                     "Safely shutting down node01 with this command: "
                     "/usr/bin/ssh node01 /sbin/poweroff\n",
                     "Completing auto-shutdown of node01 with an IPMI power "
                     "off to ensure it is completely down.\n"):
            assert text in err

        # Shutdowns disabled: the alert says so and nothing is powered off...
        m = mail_off.wait_messages(1, 30)[0]
        assert m["data"] == message(ALERT_SUBJECT, entry(
            "Critical high", "node02", "  Voltage[1] 12V reading 13.80\n",
            "12V", NOT_POWERED_OFF))
        # ...except by a discrete sensor marked critical in its chassis.
        bmcs["node03"].set_bit(ipmisim.PSU1, ipmisim.PS_FAIL, 1)
        discrete = ("Discrete sensor PSU1 Status on node03 is in state: "
                    "CRITICAL\nThis sensor is marked as critical in the "
                    "chassis definition. The node is being powered off now."
                    "\n\n").replace("\n", "\r\n").encode()
        util.wait_until(lambda: any(discrete in m["data"]
                                    for m in mail_off.messages()),
                        60, interval=0.5, what="the discrete alert")
        util.wait_until(lambda: bmcs["node03"].chassis_log() == ["power 0"],
                        30, what="the power-off at node03's BMC")
        assert ssh_targets(off) == ["node03 /sbin/poweroff"]
        assert bmcs["node02"].chassis_log() == []
        # node02 stayed critical all along: it was reported again.
        assert sum(b"node node02:" in m["data"]
                   for m in mail_off.messages()) >= 2

        for k in daemons:
            assert k.stop() == 0
            assert "Sanitizer" not in k.stderr()
            assert "runtime error" not in k.stderr()
    finally:
        for k in daemons:
            if k.running():
                k.stop()
        bmcs.stop_all()
