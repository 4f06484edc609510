"""Command intake of the daemon through nodecommands.dat.

The nodes here are configured but their BMCs never answer (nothing listens
at their addresses), so each power command is refused by the node and shows
up on stderr as the no-BMC line followed by the pipe's own failure line.
"""

import os
import stat
import time

import pytest

from tests.harness import util

pytestmark = pytest.mark.quick  # all fast: in scripts/test.sh --quick

CHASSIS = "$CHASSISTYPE plain\n$$FANCOUNT 0\n\n"
OPS = {"$DO_POWER_ON": "on", "$DO_POWER_OFF": "off", "$DO_RESET": "reset"}


def cluster_text(names):
    return "".join("$NODE %s plain admin secret\n" % n for n in names)


def silent_cluster(start_kestrel, count, settings=""):
    """Starts kestrel with `count` nodes n00, n01, ... that never answer."""
    names = ["n%02d" % i for i in range(count)]
    hosts = {n: "127.0.1.%d" % (i + 1) for i, n in enumerate(names)}
    k = start_kestrel(CHASSIS, settings + cluster_text(names),
                      hosts=hosts).wait_ready()
    return k, names


def refused(op, name):
    return ("Unable to locate BMC for %s to issue power/reset command.\n"
            "Failed to issue power %s command to %s\n" % (name, op, name))


def raw_stderr(k):
    """kestrel's stderr with carriage returns kept."""
    with open(k.stderr_path, newline="") as f:
        return f.read()


def write_all(k, data, fd=None):
    """Writes `data` into the pipe in one write call."""
    own = fd is None
    if own:
        fd = os.open(k.nodecommands, os.O_WRONLY | os.O_NONBLOCK)
    try:
        assert os.write(fd, data.encode()) == len(data)
    finally:
        if own:
            os.close(fd)


def test_pipe_is_a_private_fifo(start_kestrel):
    k, _ = silent_cluster(start_kestrel, 1)
    st = os.stat(k.nodecommands)
    assert stat.S_ISFIFO(st.st_mode)
    assert stat.S_IMODE(st.st_mode) == 0o600


def test_unknown_and_crlf_names_give_only_the_node_not_found_message(start_kestrel):
    k, _ = silent_cluster(start_kestrel, 2)
    # Each group ends with a request for a known node, so that what comes
    # between is pinned down exactly.
    write_all(k, "$VERSION 1\n$DO_POWER_ON nosuch\n"
                 "$VERSION 1\n$DO_POWER_OFF n00\n"
                 "$VERSION 1\r\n$DO_RESET n00\r\n\n"
                 "$VERSION 1\n$DO_RESET n01\n")
    k.wait_stderr(refused("reset", "n01"))
    err = raw_stderr(k)
    assert ("Unable to locate node nosuch to issue command code 1."
            + refused("off", "n00")
            + "Unable to locate node n00\r to issue command code 2."
            + refused("reset", "n01")) in err
    assert "command to nosuch" not in err
    assert "command to n00\r" not in err


def test_a_burst_of_1000_requests_runs_completely_and_in_order(start_kestrel):
    # Its 334 power-ons within the rate: none waits for a later pass.
    k, names = silent_cluster(start_kestrel, 7, "$POWER_ON_RATE 1000\n")
    keywords = list(OPS)
    requests = [(keywords[i % 3], names[i % 7]) for i in range(1000)]
    text = "".join("$VERSION 1\n%s %s\n" % r for r in requests)
    assert len(text) > 3 * 8192  # several reads, lines split between them
    write_all(k, text)

    def failures():
        lines = k.stderr().splitlines()
        return [(lines[i - 1], line) for i, line in enumerate(lines)
                if line.startswith("Failed to issue power ")]

    util.wait_until(lambda: len(failures()) >= 1000, 30,
                    what="1000 failure lines")
    got = failures()
    expected = [tuple(refused(OPS[kw], name).splitlines()) for kw, name in requests]
    assert got == expected
    assert k.running()
    assert "Command queue overflow" not in k.stderr()


def test_long_lines_are_skipped_and_fragments_wait_for_their_line_feed(start_kestrel):
    k, _ = silent_cluster(start_kestrel, 2)
    write_all(k, "$DO_RESET " + "x" * 1100 + "\n$DO_POWER_ON n00\n")
    k.wait_stderr(refused("on", "n00"))
    err = k.stderr()
    assert "xxxxxxxx" not in err
    assert "1024" in err.split(refused("on", "n00"))[0]

    # A line cut between two writes of one writer runs once it is complete.
    fd = os.open(k.nodecommands, os.O_WRONLY | os.O_NONBLOCK)
    try:
        write_all(k, "$VERSION 1\n$DO_POWER_OFF n0", fd)
        time.sleep(1.5)  # several passes of the main loop
        assert "command to n0\n" not in k.stderr()
        write_all(k, "1\n", fd)
        k.wait_stderr(refused("off", "n01"))
    finally:
        os.close(fd)
    assert "Unable to locate node n0 " not in k.stderr()

    # A fragment whose writer has gone is dropped rather than glued to the
    # next writer's first line.
    write_all(k, "$DO_RESET n0")
    time.sleep(1.5)  # several passes: the daemon sees the writer gone
    write_all(k, "0\n$DO_RESET n01\n")

    def after():
        return k.stderr().split(refused("off", "n01"), 1)[1]

    util.wait_until(lambda: refused("reset", "n01") in after(), 10,
                    what="the reset of n01")
    assert "Ignoring a command line without a line feed\n" in after()
    assert "n00" not in after()


def test_commands_are_acted_on_promptly_with_many_silent_nodes(start_kestrel):
    k, names = silent_cluster(start_kestrel, 40)
    time.sleep(2)  # let the connection attempts get going
    write_all(k, "$VERSION 1\n$DO_RESET %s\n" % names[-1])
    # A coarse functional bound: one pass of the main loop must not take
    # anywhere near 40 nodes x 20 event-loop turns x 0.5 s.
    k.wait_stderr(refused("reset", names[-1]), timeout=10)


def test_a_test_email_request_with_alerts_disabled_leaves_the_daemon_running(
        start_kestrel):
    k, _ = silent_cluster(start_kestrel, 1)
    write_all(k, "$TEST_EMAIL\n$DO_POWER_ON n00\n")
    k.wait_stderr("test email requested")
    k.wait_stderr(refused("on", "n00"))
    assert k.running()
