"""Start-up and exit of the daemon frame."""

import os
import signal
import stat
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


def test_a_second_daemon_on_the_same_directory_leaves_the_first_ones_pipes(
        start_kestrel, datadir):
    first = start_kestrel("", "").wait_ready()
    second = start_kestrel()
    assert second.wait_exit() == 1
    assert second.stderr() == (
        "Another kestrel (PID %d) is running on %s.\nExiting now.\n"
        % (first.proc.pid, datadir))
    for path in (first.nodewatch, first.nodecommands):
        assert stat.S_ISFIFO(os.lstat(path).st_mode)
    # The first one still reads its own pipe.
    first.command("$VERSION 1\n$DO_POWER_ON ghost\n")
    first.wait_stderr("Unable to locate node ghost to issue command code 1.")
    assert first.stop() == 0
    assert not os.path.exists(first.nodecommands)


def test_a_link_put_in_place_of_the_status_pipe_is_never_followed(
        start_kestrel, tmp_path):
    victim = tmp_path / "victim"
    victim.write_text("a file of root's\n")
    k = start_kestrel("", "").wait_ready()
    # The writer waits for a reader on the pipe it opened; meanwhile the
    # path becomes a link, and the next snapshot would go where it points.
    moved = str(tmp_path / "moved-pipe")
    os.rename(k.nodewatch, moved)
    os.symlink(str(victim), k.nodewatch)
    fd = os.open(moved, os.O_RDONLY | os.O_NONBLOCK)
    k.wait_stderr("%s is not a pipe (a link or a file put there): no "
                  "snapshot is written to it\n" % k.nodewatch)
    os.close(fd)
    assert victim.read_text() == "a file of root's\n"
    # Once the link is gone the daemon makes its pipe again, and it is the
    # daemon's own to remove at exit.
    os.unlink(k.nodewatch)
    util.wait_until(lambda: os.path.exists(k.nodewatch)
                    and stat.S_ISFIFO(os.lstat(k.nodewatch).st_mode), 10,
                    what="the status pipe made again")
    assert k.stop() == 0
    assert "Removing %s\n" % k.nodewatch in k.stderr()
    assert not os.path.exists(k.nodewatch)
