"""Start-up and exit of the daemon frame."""

import os
import signal
import subprocess

import pytest

from tests.harness import util

pytestmark = pytest.mark.quick  # all fast: in scripts/test.sh --quick


def run_kestrel(*args):
    return subprocess.run([util.binary("kestrel")] + list(args),
                          capture_output=True, text=True, timeout=20)


USAGE = ("\nUsage: kestrel <Options>\n"
         "  -h  --help\t\tDisplay this usage information\n"
         "  -d  --debug\t\tRun process in foreground, displaying debug info.\n"
         "  -p  --path <path>\tSpecify the absolute path to the data and command files.\n")


def test_bad_options_print_the_usage_and_exit_with_status_2():
    for args in (["--help"], ["-p", "relative/dir"], ["-p", ""], ["-x"],
                 ["-p", "/" + "a" * 255]):
        r = run_kestrel(*args)
        assert r.returncode == 2, args
        assert r.stderr.endswith(USAGE), args


def test_sigterm_in_the_foreground_removes_both_pipes_and_exits_0(start_kestrel, datadir):
    k = start_kestrel("", "", ).wait_ready()
    assert k.stop(signal.SIGTERM) == 0
    cmd = os.path.join(datadir, "nodecommands.dat")
    watch = os.path.join(datadir, "nodewatch.dat")
    assert k.stderr().endswith("Removing %s\nRemoving %s\n" % (cmd, watch))
    assert not os.path.exists(cmd) and not os.path.exists(watch)
