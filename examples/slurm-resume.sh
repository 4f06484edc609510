#!/bin/sh
# Slurm's ResumeProgram: kestrel powers on the nodes of the host list $1,
# at most $POWER_ON_RATE a second. Slurm runs it as SlurmUser, and kestrel's
# command pipe is root's: so it comes back as root through sudo (README,
# "Slurm's power saving").
[ "$(id -u)" = 0 ] || exec sudo -n "$0" "$@"
exec /usr/bin/switchyard -P -- "$1"
