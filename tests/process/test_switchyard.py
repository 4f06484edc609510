"""switchyard on its own: options, usage, the lines it appends and prints."""

import os
import shutil
import subprocess
import time

import pytest

from tests.harness import util

pytestmark = pytest.mark.quick  # all fast: in scripts/test.sh --quick

USAGE_OPTIONS = (
    "  -h  --help             Display this usage information\n"
    "  -o  --output filename  output file name\n"
    "  -p  --poweroff         Turn off power on the node\n"
    "  -P  --poweron\t       Turn on power on the node\n"
    "  -r  --reset\t       'Press' the reset button on the node\n"
    "  -t  --testemail        Sends a test email.  hostname parameter ignored\n")


def usage(prog):
    return "Usage:  %s options hostname\n" % prog + USAGE_OPTIONS


def start(*args):
    return subprocess.Popen([util.binary("switchyard")] + list(args),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)


def finish(proc):
    out, err = proc.communicate(timeout=20)
    return proc.returncode, out, err


def run(*args):
    return finish(start(*args))


def read(path):
    with open(path) as f:
        return f.read()


def test_help_and_usage_errors():
    prog = util.binary("switchyard")
    for args in (["-h"], ["--help"], ["-p", "--help", "node07"]):
        status, out, err = run(*args)
        assert (status, out, err) == (0, usage(prog), ""), args
    # Unknown options and -o without its file name: the parser complains
    # first, then the usage follows on stderr.
    for args in (["-x", "node07"], ["--frobnicate", "node07"], ["node07", "-o"]):
        status, out, err = run(*args)
        assert status == 1, args
        assert out == "", args
        assert err.endswith(usage(prog)) and err != usage(prog), args


def test_missing_node_name_is_refused_and_nothing_is_written(tmp_path):
    prog = util.binary("switchyard")
    target = str(tmp_path / "cmds")
    # -t excuses the name only for the test e-mail: combined with a power or
    # reset request the whole run is refused.
    for args in (["-P"], ["-r"], [], ["-t", "-p"], ["-r", "-t"], ["-t", "-P", "-r"]):
        status, out, err = run("-o", target, *args)
        assert status == 1, args
        assert out == "", args
        assert err == "ERROR: A Node name is required!\n\n" + usage(prog), args
        assert not os.path.exists(target), args


def test_appended_lines_follow_the_fixed_order(tmp_path):
    cases = [
        (["-p", "-r", "node07"],
         "$VERSION 1\n$DO_POWER_OFF node07\n$VERSION 1\n$DO_RESET node07\n",
         "Power OFF requested for node node07\nReset node node07 requested\n"),
        # The later of -P and -p wins; options may follow the name.
        (["-P", "-p", "node07"], "$VERSION 1\n$DO_POWER_OFF node07\n",
         "Power OFF requested for node node07\n"),
        (["node07", "-p", "-P"], "$VERSION 1\n$DO_POWER_ON node07\n",
         "Power ON requested for node node07\n"),
        (["-t"], "$TEST_EMAIL\n", "Test email requested\n"),
        (["-t", "-r", "--poweron", "n1", "ignored"],
         "$VERSION 1\n$DO_POWER_ON n1\n$VERSION 1\n$DO_RESET n1\n$TEST_EMAIL\n",
         "Power ON requested for node n1\nReset node n1 requested\n"
         "Test email requested\n"),
        (["--testemail", "--reset", "--poweroff", "a b"],
         "$VERSION 1\n$DO_POWER_OFF a b\n$VERSION 1\n$DO_RESET a b\n$TEST_EMAIL\n",
         "Power OFF requested for node a b\nReset node a b requested\n"
         "Test email requested\n"),
        # A name and no request: the file is created and left empty.
        (["node07"], "", ""),
    ]
    procs = []
    for i, (args, _, _) in enumerate(cases):
        target = str(tmp_path / ("cmds%d" % i))
        opt = ["--output", target] if i % 2 else ["-o", target]
        procs.append((target, time.monotonic(), start(*(opt + args))))
    for (target, began, proc), (args, appended, printed) in zip(procs, cases):
        assert finish(proc) == (0, printed, ""), args
        assert time.monotonic() - began >= 1.0, args  # the one-second pause
        assert read(target) == appended, args


def test_lines_are_appended_to_what_is_there(tmp_path):
    target = tmp_path / "cmds"
    target.write_text("$VERSION 1\n$DO_RESET old\n")
    assert run("-o", str(target), "-r", "new")[0] == 0
    assert read(str(target)) == "$VERSION 1\n$DO_RESET old\n$VERSION 1\n$DO_RESET new\n"


def test_unwritable_output_falls_back_to_standard_output(tmp_path):
    target = str(tmp_path / "missing-dir" / "cmds")
    status, out, err = run("-o", target, "-r", "-P", "-t", "node07")
    assert status == 0
    assert err == "ERROR: can not append to output file %s\n" % target
    # Printed lines and command lines share standard output, in run order.
    assert out == ("Power ON requested for node node07\n"
                   "$VERSION 1\n$DO_POWER_ON node07\n"
                   "Reset node node07 requested\n"
                   "$VERSION 1\n$DO_RESET node07\n"
                   "Test email requested\n"
                   "$TEST_EMAIL\n")
    assert not os.path.exists(target)


def test_a_pipe_gets_the_lines_of_a_run_in_one_write_once_read(tmp_path):
    fifo = str(tmp_path / "nodecommands.dat")
    os.mkfifo(fifo, 0o600)
    proc = start("-o", fifo, "-p", "-r", "-t", "node07")
    # Without a reader the open for appending waits.
    time.sleep(0.5)
    assert proc.poll() is None
    fd = os.open(fifo, os.O_RDONLY)
    try:
        first = os.read(fd, 65536)
        rest = b""
        while True:
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            rest += chunk
    finally:
        os.close(fd)
    assert first == (b"$VERSION 1\n$DO_POWER_OFF node07\n"
                     b"$VERSION 1\n$DO_RESET node07\n$TEST_EMAIL\n")
    assert rest == b""
    assert finish(proc)[0] == 0


def test_default_output_is_the_daemons_pipe_and_its_absence_is_said(tmp_path):
    # A private mount namespace with a scratch /etc (holding only the loader
    # cache) keeps the machine's own files untouched.
    etc = tmp_path / "etc"
    (etc / "tarn" / "kestrel").mkdir(parents=True)
    shutil.copy("/etc/ld.so.cache", str(etc / "ld.so.cache"))
    pipe = "/etc/tarn/kestrel/nodecommands.dat"
    here = str(etc / "tarn" / "kestrel" / "nodecommands.dat")

    def default_run(*args):
        script = "mount --bind %s /etc && exec %s %s" % (
            etc, util.binary("switchyard"), " ".join(args))
        return subprocess.run(["unshare", "--mount", "sh", "-c", script],
                              capture_output=True, text=True, timeout=20)

    # No daemon: the lines still go to that path, and the caller is told.
    r = default_run("-P", "node07")
    assert (r.returncode, r.stdout, r.stderr) == (
        0, "Power ON requested for node node07\n",
        "WARNING: no command pipe at %s: is kestrel running? The commands go "
        "into a new file that kestrel does not read.\n" % pipe)
    assert read(here) == "$VERSION 1\n$DO_POWER_ON node07\n"
    r = default_run("-p", "node07")
    assert r.stderr == ("WARNING: %s is not kestrel's command pipe: kestrel "
                        "does not read the commands appended to it.\n" % pipe)
    assert read(here).endswith("$DO_POWER_OFF node07\n")
    # A pipe that a reader holds, as the daemon does: nothing to say.
    os.remove(here)
    os.mkfifo(here, 0o600)
    fd = os.open(here, os.O_RDONLY | os.O_NONBLOCK)
    try:
        r = default_run("-r", "node07")
        assert (r.returncode, r.stderr) == (0, "")
        assert os.read(fd, 4096) == b"$VERSION 1\n$DO_RESET node07\n"
    finally:
        os.close(fd)
