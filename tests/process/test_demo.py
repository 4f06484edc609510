"""The README's first command: the simulated-cluster demo (scripts/demo.py).

It runs in a network namespace of its own inside the test's; what it prints
is the operator's view, so the test reads the table from its output.
"""

import os
import re
import signal
import subprocess

from tests.harness import util

DEMO = os.path.join(util.ROOT, "scripts", "demo.py")
PY = "/usr/bin/python3"


def processes_under(path):
    """PIDs of processes whose command line names something under path."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmdline = f.read().decode(errors="replace")
        except OSError:
            continue
        if path in cmdline and int(pid) != os.getpid():
            found.append(int(pid))
    return found


def ctl(directory, *args):
    return subprocess.run([PY, DEMO] + list(args[:1]) + ["--dir", directory]
                          + list(args[1:]), capture_output=True, text=True,
                          timeout=30)


def test_demo_marks_pushed_values_obeys_switchyard_and_cleans_up(tmp_path):
    directory = str(tmp_path / "demo")
    out_path = tmp_path / "out.txt"
    with open(out_path, "wb") as out:
        demo = subprocess.Popen([PY, DEMO, "run", "--dir", directory],
                                stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL)

    def latest(node):
        """The node's row in the last table printed."""
        rows = re.findall(r"^%s .*$" % node, out_path.read_text(), re.M)
        return rows[-1] if rows else ""

    def wait_row(node, pattern, what, timeout=60):
        try:
            util.wait_until(lambda: re.search(pattern, latest(node)), timeout,
                            interval=0.5, what=what)
        except AssertionError:
            raise AssertionError("%s; output ends:\n%s" % (
                what, out_path.read_text()[-3000:]))

    try:
        for node in ("node01", "node02", "node03", "node04", "node05",
                     "node06"):
            wait_row(node, r"^\S+\s+on\s+no\s+\d+s ago", node + " reading")
        assert re.search(r"5000\s+45\.00\s+12\.00\s+ok$", latest("node01"))
        assert "7200" in latest("node05")

        # Values are given in the sensor's units, by label or BMC name.
        r = ctl(directory, "set", "node01", "CPU Temp", "95")
        assert r.returncode == 0 and "set to 95" in r.stdout, r
        assert ctl(directory, "set", "node03", "fana", "1500").returncode == 0
        assert ctl(directory, "set", "node04", "P12V", "12.6").returncode == 0
        assert ctl(directory, "set", "node05", "Inlet", "45").returncode == 0
        assert ctl(directory, "set", "node06", "CPU", "85").returncode == 0
        r = ctl(directory, "set", "node01", "Bogus", "1")
        assert r.returncode == 1 and "has no sensor 'Bogus'" in r.stderr
        r = ctl(directory, "set", "node01", "CPU Temp", "300")
        assert r.returncode == 1 and "cannot show 300" in r.stderr

        wait_row("node01", r"95\.00!", "node01's critical temperature")
        wait_row("node03", r"1500!", "node03's critical fan")
        wait_row("node04", r"12\.60\*", "node04's warning voltage")
        wait_row("node05", r"45\.00\*", "node05's warm inlet")
        wait_row("node06", r"85\.00\*", "the Redfish node's warm CPU")
        assert "!" not in latest("node02") and "*" not in latest("node02")

        # The switchyard command the demo prints powers a simulated node off.
        pipe = os.path.join(directory, "data", "nodecommands.dat")
        assert "-o %s -p node04" % pipe in out_path.read_text()
        subprocess.run([util.binary("switchyard"), "-o", pipe, "-p", "node04"],
                       check=True, capture_output=True, timeout=10)
        wait_row("node04", r"^node04\s+OFF\s", "node04 powered off")

        if os.path.exists(os.path.join(util.ROOT, "tests", "harness", "smtp.py")):
            subprocess.run([util.binary("switchyard"), "-o", pipe, "-t"],
                           check=True, capture_output=True, timeout=10)
            util.wait_until(lambda: "mailbox: 1 message(s), last: Test:"
                            in out_path.read_text(), 30, what="the test e-mail")
            r = ctl(directory, "mail")
            assert "This is a test email" in r.stdout
            assert len(os.listdir(os.path.join(directory, "mailbox"))) == 1

        # A probe of a demo node, as the demo suggests, reads its BMC.
        assert "scripts/demo.sh probe node03" in out_path.read_text()
        r = ctl(directory, "probe", "node03")
        assert r.returncode == 0, r
        assert "$CHASSISTYPE storage" in r.stdout and "$$FAN1 " in r.stdout, r

        started = processes_under(directory)
        assert len(started) >= 6  # four simulators, a BMC, kestrel, ...
    finally:
        demo.send_signal(signal.SIGINT)
        status = demo.wait(timeout=60)
    assert status == 0, out_path.read_text()[-2000:]
    assert "everything stopped" in out_path.read_text()
    assert not os.path.exists(directory)
    assert processes_under(directory) == []
    assert ctl(directory, "set", "node01", "CPU Temp", "45").returncode != 0
