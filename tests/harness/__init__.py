"""Process-level test harness: starts the real binaries against real peers.

Every peer listens on loopback only. The test command runs the whole suite
inside a private network namespace (scripts/process-tests.sh), and each
daemon runs in a private mount namespace of its own, where <name>-ipmi host
names and a recording ssh stand-in are bind-mounted over the machine's files.
"""
