"""Chassis-file sections for the simulated BMCs, so that the tests, the demo
and the benchmarks bind the sensors of the same machines the same way.

A slot is (kind, label, name, limits): kind FAN, TEMP, VOLT or DISC; the
name as the BMC reports it, quoted where the file needs it; the four limits,
or for a discrete sensor its critical mark (1: a critical state powers the
node off).
"""

KINDS = ("FAN", "TEMP", "VOLT", "DISC")

# The sensors of an ipmi_sim node (ipmisim.py), with limits around what a
# fresh simulator reads (5000 RPM, 45 degrees C, 12 V).
SIM_FAN = ("FAN", "Fan1", "FAN1", "500 1000 20000 25000")
SIM_TEMP = ("TEMP", "Cpu", '"CPU Temp"', "0 5 80 90")
SIM_VOLT = ("VOLT", "Rail12", "12V", "10.8 11.4 12.6 13.2")
SIM_PSU = ("DISC", "Psu1", '"PSU1 Status"', "1")
SIM_BATTERY = ("DISC", "Battery", '"CMOS Battery"', "0")

# OpenBMC test BMC (openbmc.py) readings whose scaled form is exact in
# binary, so that hundredths are certain.
OPENBMC_SENSORS = {
    "fan_tach/fan0": {"scale": 0, "value": 7200},
    "temperature/inlet": {"scale": -3, "value": 21500},
    "temperature/cpu0": {"scale": -3, "value": 45125},
    "voltage/p12v": {"scale": -3, "value": 12250},
}


def section(name, slots, marker=None):
    """A $CHASSISTYPE section: the counts, then the slots kind by kind in
    their order; `marker` is "$$OPENBMC" or "$$REDFISH" for those BMCs."""
    lines = ["$CHASSISTYPE " + name] + ([marker] if marker else [])
    for kind in KINDS:
        count = sum(1 for s in slots if s[0] == kind)
        if count:
            lines.append("$$%sCOUNT %d" % (kind, count))
    for kind in KINDS:
        of_kind = [s for s in slots if s[0] == kind]
        for i, (_, label, sensor, limits) in enumerate(of_kind, 1):
            lines.append("$$%s%d %s %s %s" % (kind, i, label, sensor, limits))
    return "\n".join(lines) + "\n\n"


def sim(name="simnode", volt=True, discs=1, psu_critical=1, temp_high="80 90"):
    """An ipmi_sim node: fan and CPU temperature, the 12 V rail unless not
    `volt`, and `discs` discrete sensors (the PSU, then the CMOS battery)."""
    slots = [SIM_FAN, SIM_TEMP[:3] + ("0 5 " + temp_high,)]
    if volt:
        slots.append(SIM_VOLT)
    psu = SIM_PSU[:3] + (str(psu_critical),)
    return section(name, slots + [psu, SIM_BATTERY][:discs])


def openbmc(name="obmc", inlet=True):
    """An OpenBMC test BMC serving OPENBMC_SENSORS."""
    slots = [("FAN", "FAN0", "fan_tach/fan0", "300 600 20000 25000")]
    if inlet:
        slots.append(("TEMP", "INLET", "temperature/inlet", "0 5 80 90"))
    slots += [("TEMP", "CPU", "temperature/cpu0", "0 5 80 90"),
              ("VOLT", "P12V", "voltage/p12v", "10.8 11.4 12.6 13.2")]
    return section(name, slots, "$$OPENBMC")


def redfish(name="rf", inlet=True, psu=True):
    """A Redfish test BMC (redfish.py) with the sensors the tests give it."""
    slots = [("FAN", "FAN0", "Fan0", "300 600 20000 25000")]
    if inlet:
        slots.append(("TEMP", "INLET", '"Inlet Temp"', "0 5 80 90"))
    slots += [("TEMP", "CPU", '"CPU1 Temp"', "0 5 80 90"),
              ("VOLT", "P12V", "P12V", "10.8 11.4 12.6 13.2")]
    if psu:
        slots.append(("DISC", "PSU", "PSU1", "1"))
    return section(name, slots, "$$REDFISH")
