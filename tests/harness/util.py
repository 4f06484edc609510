"""Small helpers shared by the harness modules and the tests."""

import os
import subprocess
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ASSETS = os.path.join(ROOT, "tests", "assets")


def build_dir():
    """The build whose binaries the process tests run (KESTREL_BUILD)."""
    return os.environ.get("KESTREL_BUILD", os.path.join(ROOT, "build"))


def binary(name):
    path = os.path.join(build_dir(), name)
    if not os.access(path, os.X_OK):
        raise RuntimeError("%s is not built (looked in %s)" % (name, build_dir()))
    return path


# Callables whose text is added to every time-out's message: the harness's
# daemon module registers one that tells how each daemon of the test fares,
# so that a wait that failed explains itself.
TIMEOUT_NOTES = []


def timed_out(text):
    """An AssertionError for a wait that ran out, with the notes."""
    notes = [note() for note in TIMEOUT_NOTES]
    return AssertionError("\n".join([text] + [n for n in notes if n]))


def wait_until(predicate, timeout, interval=0.05, what="condition"):
    """Polls predicate until it returns a true value; returns that value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise timed_out("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def read_text(path):
    try:
        with open(path, "r", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def stop_process(proc, grace=5):
    """Ends a process this harness started: SIGTERM, then SIGKILL after grace."""
    if proc is None or proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
