"""IPMI monitoring end to end, against simulated BMCs (ipmi_sim).

Each node's BMC starts at 45 degC, 12.00 V, 5000 RPM, with its power supply
and battery present and sound, and its chassis powered on.
"""

from tests.harness import chassis, ipmisim, util

# One slot name per way a name can fail to match: case ("cpu temp") and a
# sensor the BMC does not have ("5V"). The BMC's "CMOS Battery" has no slot.
CHASSIS = chassis.section("simnode", [
    chassis.SIM_FAN, chassis.SIM_TEMP,
    ("TEMP", "CpuLower", '"cpu temp"', "0 5 80 90"), chassis.SIM_VOLT,
    ("VOLT", "Rail5", "5V", "4.5 4.75 5.25 5.5"), chassis.SIM_PSU,
]) + chassis.section("simbat", [chassis.SIM_FAN, chassis.SIM_PSU,
                                chassis.SIM_BATTERY])

# The readings a freshly started simulator gives, as nodewatch.dat shows them
# for the simnode chassis: temperatures and voltages in hundredths.
FRESH = {"FAN": [5000], "TEMP": [4500, 0], "VOLT": [1200, 0], "DISC": [0],
         "DEAD": 0, "POWER": 1}


def cluster_text(names, chassis="simnode"):
    return "".join("$NODE %s %s %s %s\n" % (n, chassis, ipmisim.USER,
                                             ipmisim.PASSWORD) for n in names)


def wait_record(k, name, predicate, timeout, what):
    """Waits for a snapshot whose record of `name` satisfies predicate."""
    last = {}

    def check():
        rec = k.records().get(name)
        last["rec"] = rec
        return rec if rec is not None and predicate(rec) else None

    try:
        return util.wait_until(check, timeout, interval=0.5, what=what)
    except AssertionError as e:
        raise AssertionError("%s; last record: %r" % (e, last.get("rec")))


def finish(k):
    """Stops the daemon; it must leave cleanly, without sanitizer reports."""
    assert k.stop() == 0
    err = k.stderr()
    assert "runtime error" not in err and "Sanitizer" not in err, err


def matches(expected):
    return lambda rec: all(rec.get(key) == value
                           for key, value in expected.items())


def test_sensors_are_bound_by_exact_name_and_their_values_refresh(
        sims, start_kestrel):
    bmcs = sims(1)
    k = start_kestrel(CHASSIS, cluster_text(["node01"]),
                      hosts=bmcs.hosts()).wait_ready()
    first = wait_record(k, "node01", matches(FRESH), 30, "first readings")

    sim = bmcs["node01"]
    sim.set_value(ipmisim.CPU_TEMP, 95)
    sim.set_value(ipmisim.V12, 190)  # 11.40 V
    sim.set_value(ipmisim.FAN1, 30)  # 1500 RPM
    changed = dict(FRESH, FAN=[1500], TEMP=[9500, 0], VOLT=[1140, 0])
    rec = wait_record(k, "node01", matches(changed), 20, "changed readings")
    assert rec["TIME"] > first["TIME"]

    # Nothing went wrong along the way, and the unbound battery was never
    # read (no unhandled-type complaint for it or anything else).
    err = k.stderr()
    for complaint in ("getting threshold reading", "getting discrete states",
                      "Unhandled sensor type", "not supported",
                      "no value present", "Unable to locate BMC"):
        assert complaint not in err, err
    finish(k)


def test_discrete_faults_become_health_values(sims, start_kestrel):
    bmcs = sims(1)
    k = start_kestrel(CHASSIS, cluster_text(["node01"], chassis="simbat"),
                      hosts=bmcs.hosts()).wait_ready()
    wait_record(k, "node01", matches({"FAN": [5000], "DISC": [0, 0],
                                      "DEAD": 0}), 30, "first readings")
    sim = bmcs["node01"]
    sim.set_bit(ipmisim.PSU1, ipmisim.PS_FAIL, 1)
    sim.set_bit(ipmisim.BATTERY, ipmisim.BAT_LOW, 1)
    wait_record(k, "node01", matches({"DISC": [2, 1]}), 20,
                "supply critical and battery warning")
    # A supply that failed with its input lost is only a warning.
    sim.set_bit(ipmisim.PSU1, ipmisim.PS_ACLOST, 1)
    sim.set_bit(ipmisim.BATTERY, ipmisim.BAT_PRESENT, 0)
    wait_record(k, "node01", matches({"DISC": [1, 2]}), 20,
                "supply warning and battery missing")
    finish(k)


def test_power_commands_reach_the_bmc_and_power_follows_it(
        sims, start_kestrel):
    bmcs = sims(1)
    sim = bmcs["node01"]
    k = start_kestrel(CHASSIS, cluster_text(["node01"]),
                      hosts=bmcs.hosts()).wait_ready()
    wait_record(k, "node01", matches(FRESH), 30, "first readings")

    k.command("$VERSION 1\n$DO_POWER_OFF node01\n")
    util.wait_until(lambda: sim.chassis_log() == ["power 0"], 10,
                    what="power off at the BMC")
    assert sim.power() == 0
    # Powered off: readings cleared, no longer polled.
    wait_record(k, "node01", matches({"POWER": 0, "DEAD": 0, "FAN": [0],
                                      "TEMP": [0, 0], "VOLT": [0, 0]}),
                15, "power off in the snapshot")

    k.command("$VERSION 1\n$DO_POWER_ON node01\n")
    util.wait_until(lambda: sim.chassis_log() == ["power 0", "power 1"], 10,
                    what="power on at the BMC")
    wait_record(k, "node01", matches(FRESH), 20, "readings after power on")

    k.command("$VERSION 1\n$DO_RESET node01\n")
    util.wait_until(lambda: sim.chassis_log()[2:] == ["reset 1"], 10,
                    what="reset at the BMC")
    assert sim.power() == 1

    # A command the BMC turns down is said, with its reason.
    sim.refuse_commands()
    k.command("$VERSION 1\n$DO_POWER_OFF node01\n")
    k.wait_stderr("Power off command to node01 refused by its BMC: ")
    assert sim.power() == 1
    sim.refuse_commands(False)

    # A name that is not in the cluster reaches no BMC.
    k.command("$DO_POWER_OFF node99\n")
    k.wait_stderr("Unable to locate node node99 to issue command code 0.")
    assert sim.chassis_log() == ["power 0", "power 1", "reset 1"]
    finish(k)


def test_a_lost_bmc_makes_only_its_node_dead_until_it_returns(
        sims, start_kestrel):
    bmcs = sims(3, start=False)
    for s in list(bmcs)[:2]:
        s.start()
    for s in list(bmcs)[:2]:
        s.wait_ready()
    k = start_kestrel(CHASSIS,
                      cluster_text(["node01", "node02", "node03"]),
                      hosts=bmcs.hosts()).wait_ready()
    for name in ("node01", "node02"):
        wait_record(k, name, matches(FRESH), 30, "%s's readings" % name)
    # node03's BMC never answered.
    rec = wait_record(k, "node03", matches({"DEAD": 1}), 40, "node03 dead")
    assert rec["FAN"] == [0] and rec["POWER"] == 0

    bmcs["node02"].kill()
    before = k.records()["node01"]["TIME"]
    rec = wait_record(k, "node02", matches({"DEAD": 1}), 45,
                      "node02 dead after its BMC went")
    # The other node is still read throughout.
    rec = k.records()["node01"]
    assert rec["DEAD"] == 0 and rec["TIME"] > before
    assert rec["FAN"] == [5000]

    bmcs["node02"].start().wait_ready()
    bmcs["node02"].set_value(ipmisim.FAN1, 80)
    wait_record(k, "node02", matches(dict(FRESH, FAN=[4000])), 60,
                "node02 back with fresh readings")
    assert k.records()["node01"]["DEAD"] == 0
    finish(k)
