"""kestrel --check: the files judged as a start judges them, without a pipe,
a lock or a BMC."""

import os

import pytest

from tests.harness import daemon

pytestmark = pytest.mark.quick  # each case runs the binary once or twice

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))
EXAMPLES = os.path.join(ROOT, "examples")
# The BMCs of examples/hosts, moved onto loopback: nothing is sent to them.
EXAMPLE_HOSTS = {"node01": "127.0.0.201", "node02": "127.0.0.202",
                 "node05": "127.0.0.205", "node06": "127.0.0.206"}
MADE_BY_A_START = ("nodewatch.dat", "nodecommands.dat", "autonodeconf.dat",
                   "kestrel.lock")

CHASSIS = ("$CHASSISTYPE typeA\n$$FANCOUNT 1\n$$TEMPCOUNT 1\n"
           "$$FAN1 FAN1 Fan1 500 1000 20000 25000\n"
           "$$TEMP1 CPU \"CPU Temp\" -5 0 80 95\n\n")
NODE = "$NODE node01 typeA admin pw\n"


def example(name):
    with open(os.path.join(EXAMPLES, name)) as f:
        return f.read()


def run(datadir, hosts, *args):
    k = daemon.Kestrel(datadir, hosts=hosts, args=args).start()
    status = k.wait_exit()
    return status, k.stdout(), k.stderr()


def check(datadir, hosts):
    return run(datadir, hosts, "--check", "-p", datadir)


def test_the_examples_pass_and_are_summed_up(datadir):
    daemon.write_config(datadir, example("chassis.dat"), example("cluster.dat"))
    status, out, err = check(datadir, EXAMPLE_HOSTS)
    assert (status, err) == (0, "")
    assert out == (
        "kestrel would start with the files in %s.\n"
        "chassis  transport  fans temps volts discs  nodes\n"
        "compute  IPMI          2     1     1     1  2\n"
        "openbmc  OpenBMC       1     1     0     0  1\n"
        "redfish  Redfish       1     1     0     1  1\n"
        "nodes: 4 (IPMI over the LAN 2, OpenBMC 1, Redfish 1)\n"
        "alerts: on, e-mail to ops@example.org,oncall@example.org from "
        "kestrel@example.org through smtp.example.org\n"
        "automatic shutdowns: off\n"
        "power-ons: at most 10 a second\n"
        "Slurm drain: off\n"
        "group of autonodeconf.dat: root (0)\n"
        "BMC certificates: not checked\n"
        "HTTP: off\n" % datadir)
    for name in MADE_BY_A_START:
        assert not os.path.exists(os.path.join(datadir, name)), name


def test_what_a_start_only_warns_about_is_said_and_passes(datadir):
    cluster = example("cluster.dat").replace(
        "!$HTTP_LISTEN 127.0.0.1:9180", "$HTTP_LISTEN [::1]:9180")
    daemon.write_config(datadir, example("chassis.dat"), cluster)
    clusterpath = os.path.join(datadir, "cluster.dat")
    os.chmod(clusterpath, 0o644)
    os.chmod(datadir, 0o775)
    # node06's Redfish BMC has no address: it would only stay dead.
    hosts = {n: a for n, a in EXAMPLE_HOSTS.items() if n != "node06"}
    status, out, err = check(datadir, hosts)
    assert status == 0
    assert err.splitlines() == [
        "Warning: other users may change %s (mode 0775). Make it writable "
        "by its owner only: chmod go-w %s" % (datadir, datadir),
        "Warning: %s holds BMC passwords but other users may read it (mode "
        "0644). Make it readable by its owner only: chmod 600 %s"
        % (clusterpath, clusterpath),
        "Warning: node06-ipmi, the BMC of node06, does not resolve: the "
        "node will be dead until it does"]
    assert out.endswith("\nHTTP: on [::1]:9180\n")


BROKEN = [
    ("unknown-chassis", CHASSIS, "$NODE node01 typeC admin pw\n"),
    # A sensor line the reader does not take (a space before the index):
    # the counted sensor stays undefined.
    ("sensor-line-misspelt", CHASSIS.replace("$$TEMP1 ", "$$TEMP 1 "), NODE),
    ("sensor-index-0", CHASSIS.replace("$$FAN1 ", "$$FAN0 "), NODE),
    # The last line without its newline is not read.
    ("last-line-unread",
     "$CHASSISTYPE typeA\n$$FANCOUNT 1\n$$FAN1 FAN1 Fan1 500 1000 20000 25000",
     NODE),
    ("alerts-without-mail", CHASSIS,
     NODE + "$ENABLE_ALERTS yes\n$EMAIL_TO ops@example.org\n"),
    ("unknown-group", CHASSIS, NODE + "$APACHE_GROUP no-such-group\n"),
    ("http-listen-name", CHASSIS, NODE + "$HTTP_LISTEN localhost:9180\n"),
    ("value-too-long", CHASSIS, NODE + "$EMAIL_SERVER %s\n" % ("s" * 120)),
    ("node-without-password", CHASSIS, "$NODE node01 typeA admin\n"),
    # Nodes whose connection a start could not set up.
    ("bmc-name-unresolved", CHASSIS, NODE + "$NODE ghost typeA admin pw\n"),
    ("ipmi-name-too-long", CHASSIS, "$NODE %s typeA admin pw\n" % ("n" * 32)),
]
if not os.path.exists("/dev/ipmi0"):
    BROKEN.append(("no-local-interface", CHASSIS, "$NODE local typeA SMI\n"))


@pytest.mark.parametrize("chassis,cluster", [b[1:] for b in BROKEN],
                         ids=[b[0] for b in BROKEN])
def test_a_refused_file_gives_the_message_and_status_of_a_start(
        datadir, chassis, cluster):
    daemon.write_config(datadir, chassis, cluster)
    hosts = {"node01": "127.0.0.201"}
    status, out, err = check(datadir, hosts)
    assert status in (1, 4) and err and out == ""
    assert not os.path.exists(os.path.join(datadir, "kestrel.lock"))
    assert run(datadir, hosts, "-d", "-p", datadir)[::2] == (status, err)
