"""The configuration files as the daemon reads them: every fatal message
with its exit status, the settings, and the files the daemon writes from
them (the summary and the status snapshot)."""

import grp
import os
import resource
import stat

import pytest

from tests.harness import daemon
from tests.harness.slowdns import SlowNameServer

pytestmark = pytest.mark.quick  # all fast: in scripts/test.sh --quick

CHASSIS = ("$CHASSISTYPE typeA\n$$FANCOUNT 2\n$$TEMPCOUNT 1\n$$VOLTCOUNT 1\n"
           "$$DISCCOUNT 1\n"
           "$$FAN1 FAN1 Fan1 500 1000 20000 25000\n"
           "$$FAN2 FAN2 Fan2 500 1000 20000 25000\n"
           "$$TEMP1 CPU \"CPU Temp\" -5 0 80 95\n"
           "$$VOLT1 12V 12V 10.8 11.4 12.6 13.2\n"
           "$$DISC1 PSU \"PSU1 Status\" 1\n"
           "\n"
           "$CHASSISTYPE typeB\n$$VOLTCOUNT 2\n"
           "$$VOLT1 V1 Volt1 8.2 9 10 11\n$$VOLT2 V2 Volt2 1 2 3 4\n"
           "\n")


def run_to_exit(start_kestrel, chassis, cluster, hosts=None):
    k = start_kestrel(chassis, cluster, hosts=hosts)
    status = k.wait_exit()
    return status, k.stderr()


def many_chassis(count):
    return "".join("$CHASSISTYPE t%d\n\n" % i for i in range(count))


CHASSIS_ERRORS = [
    ("bogus line\n",
     "Unknown line encountered in chassis configuration file:\nbogus line\n"
     "\nExiting now.\n"),
    # A comment does not end a section: the next start line is swallowed.
    ("$CHASSISTYPE a\n# note\n$CHASSISTYPE b\n$$FANCOUNT 0\n\n",
     "Unknown line encountered in chassis configuration file:\n"
     "$$FANCOUNT 0\n\nExiting now.\n"),
    (many_chassis(101), "Maximum chassis count of 100 exceeded.\n"),
    ("$CHASSISTYPE c\n$$FANCOUNT 2\n$$FAN1 a A\n$$FAN3 b B\n\n",
     "Failed to find or parse FAN2 for chassis c\nExiting now.\n"),
    ("$CHASSISTYPE c\n$$TEMPCOUNT 1\n\n",
     "Failed to find or parse TEMP1 for chassis c\nExiting now.\n"),
    ("$CHASSISTYPE c\n$$VOLTCOUNT 1\n$$VOLT1 a A",  # no newline: not read
     "Failed to find or parse VOLT1 for chassis c\nExiting now.\n"),
    # Refusals of values the tables cannot hold.
    ("$CHASSISTYPE c\n$$DISCCOUNT 1\n\n",
     "Failed to find or parse DISC1 for chassis c\nExiting now.\n"),
    ("$CHASSISTYPE c\n$$FANCOUNT 65\n\n",
     "FAN count out of range (0 to 64) for chassis c in chassis configuration"
     " file:\n$$FANCOUNT 65\n\nExiting now.\n"),
    ("$CHASSISTYPE c\n$$TEMPCOUNT 1\n$$TEMP0 a A\n\n",
     "TEMP sensor index out of range (1 to 192) for chassis c in chassis "
     "configuration file:\n$$TEMP0 a A\n\nExiting now.\n"),
    ("$CHASSISTYPE c\n$$FANCOUNT 1\n$$FAN1 a %s\n\n" % ("n" * 96),
     "Sensor field too long (names hold at most 95 characters, other fields "
     "119) in chassis configuration file:\n$$FAN1 a %s\n\nExiting now.\n"
     % ("n" * 96)),
    ("$CHASSISTYPE \n\n",
     "Chassis type without a name in chassis configuration file:\n"
     "$CHASSISTYPE \n\nExiting now.\n"),
]


@pytest.mark.parametrize("chassis,message", CHASSIS_ERRORS)
def test_chassis_file_errors_are_fatal(start_kestrel, chassis, message):
    assert run_to_exit(start_kestrel, chassis, "") == (1, message)


def test_missing_files_are_fatal(start_kestrel, datadir):
    k = start_kestrel()
    assert k.wait_exit() == 1
    assert k.stderr() == ("Unable to open chassis configuration file: "
                          "%s/chassis.dat\nExiting now.\n" % datadir)
    with open(os.path.join(datadir, "chassis.dat"), "w") as f:
        f.write(CHASSIS)
    k = start_kestrel()
    assert k.wait_exit() == 1
    assert k.stderr() == ("Unable to open cluster configuration file: "
                          "%s/cluster.dat\nExiting now.\n" % datadir)


CLUSTER_ERRORS = [
    ("$NODE node01 typeA admin\n", 1,
     "Error parsing this line in cluster.dat:\nnode01 typeA admin\n\n"),
    ("$NODE node01  typeA admin pw\n", 1,
     "Error parsing this line in cluster.dat:\nnode01  typeA admin pw\n\n"),
    ("$NODE node01 typeC admin pw\n", 1,
     "Unable to locate chassis typeC for node node01\nExiting now.\n"),
    ("$APACHE_GROUP no-such-group\n", 4,
     "Unable to locate apache group no-such-group.  Exiting.\n"),
    # The BMC's name does not resolve: OpenIPMI refuses the address.
    ("$NODE ghost typeA admin pw\n", 1,
     "ipmi_ip_setup_con error on ghost: Invalid argument\n"),
    # Every callback finds its node by the domain name, which OpenIPMI
    # would cut.
    ("$NODE %s typeA admin pw\n" % ("n" * 32), 1,
     "Node name %s is too long for an IPMI node (at most 31 characters).\n"
     "Exiting now.\n" % ("n" * 32)),
    ("$NODE node01 typeA admin %s\n" % ("p" * 50), 1,
     "Field too long (at most 49 characters) in this line of cluster.dat:\n"
     "node01 typeA admin %s\n\nExiting now.\n" % ("p" * 50)),
    ("$EMAIL_TO %s\n" % ("a" * 120), 1,
     "Value too long (at most 119 characters) in this line of cluster.dat:\n"
     "%s\n\nExiting now.\n" % ("a" * 120)),
    # With alerts on, every missing e-mail setting is reported first.
    ("$ENABLE_ALERTS yes\n$EMAIL_FROM kestrel@example.org\n", 1,
     "Did not read email to address in cluster config file\n"
     "Did not read email server in cluster config file\n"),
    ("$ENABLE_ALERTS Yes\n", 1,
     "Did not read email to address in cluster config file\n"
     "Did not read email from address in cluster config file\n"
     "Did not read email server in cluster config file\n"),
]


@pytest.mark.parametrize("cluster,status,message", CLUSTER_ERRORS)
def test_cluster_file_errors_are_fatal(start_kestrel, cluster, status,
                                       message):
    assert run_to_exit(start_kestrel, CHASSIS, cluster,
                       hosts={"node01": "127.0.0.201"}) == (status, message)


def test_the_513th_node_is_refused(start_kestrel):
    names = ["n%03d" % i for i in range(513)]
    cluster = "".join("$NODE %s typeA admin pw\n" % n for n in names)
    hosts = {n: "127.0.%d.%d" % (2 + i // 200, 1 + i % 200)
             for i, n in enumerate(names)}
    status, err = run_to_exit(start_kestrel, CHASSIS, cluster, hosts)
    assert (status, err) == (1, "Maximum node count of 512 exceeded in "
                             "cluster.dat:\n$NODE n512 typeA admin pw\n\n"
                             "Exiting now.\n")


@pytest.mark.skipif(os.path.exists("/dev/ipmi0"),
                    reason="this machine has a local BMC interface")
def test_a_local_interface_node_needs_the_local_device(start_kestrel):
    # User "SMI" needs no password and no host name; here there is no
    # /dev/ipmi0 to connect to.
    status, err = run_to_exit(start_kestrel, CHASSIS,
                              "$NODE local typeA SMI\n")
    assert status == 1
    assert err.startswith("ipmi_ip_setup_con error on local: ")


def start_three_nodes(start_kestrel, group=None, **kwargs):
    cluster = ("# three nodes, two chassis\n"
               "$NODE node01 typeA admin secret\n"
               "$NODE bnode typeB root \"pass word\"\n"
               "$NODE node03 typeA admin secret\n"
               "$EMAIL_TO ignored@example.org\n")
    if group:
        cluster += "$APACHE_GROUP %s\n" % group
    hosts = {"node01": "127.0.0.201", "bnode": "127.0.0.202",
             "node03": "127.0.0.203"}
    return start_kestrel(CHASSIS, cluster, hosts=hosts, **kwargs)


def test_snapshot_has_one_record_per_node(start_kestrel):
    k = start_three_nodes(start_kestrel)
    text = k.snapshot()
    # Nobody answers on these addresses: no reading was ever stored.
    names = [l.split(" ", 2)[2] for l in text.splitlines()
             if l.startswith("$NODE ")]
    assert names == ["node01", "bnode", "node03"]
    assert len(text.splitlines()) == 3 * 8 and text.endswith("$$POWER 0\n")
    records = daemon.parse_snapshot(text)
    a = {"FAN": [0, 0], "TEMP": [0], "VOLT": [0], "DISC": [0], "POWER": 0}
    b = {"FAN": [], "TEMP": [], "VOLT": [0, 0], "DISC": [], "POWER": 0}
    for name, want in (("node01", a), ("bnode", b), ("node03", a)):
        rec = records[name]
        assert {key: rec[key] for key in want} == want
        assert rec["DEAD"] in (0, 1)
    assert "\n$$FAN\n$$TEMP\n$$VOLT 0 0\n$$DISC\n" in text
    # Each open gets a snapshot of its own.
    assert daemon.parse_snapshot(k.snapshot()).keys() == records.keys()
    assert os.stat(k.nodewatch).st_mode & 0o777 == 0o444
    assert stat.S_ISFIFO(os.stat(k.nodewatch).st_mode)
    assert "Skipping setupemail since alerts processing is not enabled in " \
        "the cluster config file\n" in k.stderr()


def test_summary_file(start_kestrel):
    group = grp.getgrnam("daemon")
    k = start_three_nodes(start_kestrel, group="daemon")
    k.snapshot()  # start-up is complete once the output thread serves
    st = os.stat(k.autonodeconf)
    assert stat.S_IMODE(st.st_mode) == 0o640
    assert st.st_gid == group.gr_gid
    a_limits = ("$$VOLTALERTLO 1140\n$$VOLTALERTHI 1260\n"
                "$$VOLTSHUTDOWNLO 1080\n$$VOLTSHUTDOWNHI 1320\n"
                "$$TEMPALERTLO 0\n$$TEMPALERTHI 8000\n"
                "$$TEMPSHUTDOWNLO -500\n$$TEMPSHUTDOWNHI 9500\n"
                "$$FANALERTLO 1000 1000\n$$FANALERTHI 20000 20000\n"
                "$$FANSHUTDOWNLO 500 500\n$$FANSHUTDOWNHI 25000 25000\n")
    a_labels = ("$$SERIALCONSOLE\n$$FANLABELS FAN1 FAN2\n$$TEMPLABELS CPU\n"
                "$$VOLTLABELS 12V\n$$DISCLABELS PSU\n$$DISCCRIT 1\n")
    expected = (
        "$NEWCHASSIS\n"
        "$NODE 1 node01\n$$CHASSIS typeA\n$$USER admin\n$$PASSWORD secret\n"
        + a_labels + a_limits +
        "\n$NEWCHASSIS\n"
        "$NODE 2 bnode\n$$CHASSIS typeB\n$$USER root\n$$PASSWORD pass word\n"
        "$$SERIALCONSOLE\n$$FANLABELS\n$$TEMPLABELS\n$$VOLTLABELS V1 V2\n"
        "$$DISCLABELS\n$$DISCCRIT\n"
        "$$VOLTALERTLO 900 200\n$$VOLTALERTHI 1000 300\n"
        "$$VOLTSHUTDOWNLO 819 100\n$$VOLTSHUTDOWNHI 1100 400\n"
        "$$TEMPALERTLO\n$$TEMPALERTHI\n$$TEMPSHUTDOWNLO\n$$TEMPSHUTDOWNHI\n"
        "$$FANALERTLO\n$$FANALERTHI\n$$FANSHUTDOWNLO\n$$FANSHUTDOWNHI\n"
        "\n$NEWCHASSIS\n"
        "$NODE 3 node03\n$$CHASSIS typeA\n$$USER admin\n$$PASSWORD secret\n"
        + a_labels + a_limits)
    with open(k.autonodeconf) as f:
        assert f.read() == expected


def test_sigterm_after_a_full_start_removes_the_pipes(start_kestrel):
    k = start_three_nodes(start_kestrel)
    k.wait_ready()
    assert k.stop() == 0
    assert k.stderr().endswith("Removing %s\nRemoving %s\n"
                               % (k.nodecommands, k.nodewatch))
    assert not os.path.exists(k.nodewatch)
    assert os.path.exists(k.autonodeconf)  # the summary stays


def test_start_up_takes_every_descriptor_the_hard_limit_allows(start_kestrel):
    # A large cluster needs more than the usual soft limit of 1024.
    hard = min(resource.getrlimit(resource.RLIMIT_NOFILE)[1], 4096)
    k = start_three_nodes(start_kestrel, wrapper=[
        "prlimit", "--nofile=256:%d" % hard, "--"]).wait_ready()
    with open("/proc/%d/limits" % k.proc.pid) as f:
        line = [l for l in f if l.startswith("Max open files")][0]
    assert line.split()[3:5] == [str(hard), str(hard)], line


def test_a_failed_first_openbmc_login_is_not_fatal(start_kestrel):
    chassis = CHASSIS + "$CHASSISTYPE bmc\n$$OPENBMC\n$$FANCOUNT 1\n" \
        "$$FAN1 fan0 fan0 500 1000 15000 20000\n\n"
    # Nothing listens on this address: the login is refused at once.
    k = start_kestrel(chassis, "$NODE bmc1 bmc root pw\n",
                      hosts={"bmc1": "127.0.0.204"})
    k.wait_stderr("OpenBMC login on bmc1-ipmi failed: Couldn't connect to "
                  "server.\nIs the node available?\n")
    assert list(daemon.parse_snapshot(k.snapshot())) == ["bmc1"]
    assert k.running()
    with open(k.autonodeconf) as f:
        assert f.read().startswith(
            "$NEWCHASSIS\n$NODE 1 bmc1\n$$CHASSIS bmc\n$$USER root\n"
            "$$PASSWORD pw\n$$OPENBMCCONSOLE\n$$FANLABELS fan0\n")


def test_ipmi_names_from_a_slow_name_server_are_looked_up_together(
        start_kestrel):
    # Each answer takes 2.5 s: looked up one after the other, the four names
    # would hold start-up for 10 s.
    names = {"slow%d-ipmi" % i: "127.0.0.%d" % (80 + i) for i in range(1, 5)}
    dns = SlowNameServer("127.0.0.53", names, delay=2.5)
    try:
        cluster = "".join("$NODE slow%d typeA admin pw\n" % i
                          for i in range(1, 5))
        k = start_kestrel(CHASSIS, cluster, nameserver="127.0.0.53")
        k.wait_ready(timeout=7)
        assert set(dns.queries) >= set(names)
        assert sorted(daemon.parse_snapshot(k.snapshot())) == [
            "slow1", "slow2", "slow3", "slow4"]
        assert k.running()
    finally:
        dns.close()


def test_a_cluster_file_others_may_read_is_warned_about_not_refused(
        start_kestrel, datadir):
    daemon.write_config(datadir, CHASSIS, "$ENABLE_SHUTDOWNS no\n")
    cluster = os.path.join(datadir, "cluster.dat")
    os.chmod(cluster, 0o640)
    k = start_kestrel().wait_ready()
    k.wait_stderr("Warning: %s holds BMC passwords but other users may read "
                  "it (mode 0640). Make it readable by its owner only: chmod "
                  "600 %s\n" % (cluster, cluster))
    assert k.stop() == 0
