import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

from tests.harness import daemon, ipmisim  # noqa: E402
from tests.harness.redfish import Fleet  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "quick: a fast scenario of scripts/test.sh --quick")
    config.addinivalue_line(
        "markers", "slow: takes most of a minute or more; started first")


def pytest_collection_modifyitems(items):
    # pytest-xdist first hands each worker a run of `chunk` tests in
    # collection order, then one test to whichever is free. Each slow test
    # opens one worker's first run, so that no worker gets two of them and
    # the suite does not end waiting for one alone.
    workers = int(os.environ.get("PYTEST_XDIST_WORKER_COUNT", "1"))
    chunk = max(len(items) // workers // 4, 2)
    slow = [i for i in items if i.get_closest_marker("slow")]
    order = [i for i in items if not i.get_closest_marker("slow")]
    for k, item in enumerate(slow):
        at = k * chunk if k < workers else workers * chunk + k - workers
        order.insert(min(at, len(order)), item)
    items[:] = order


@pytest.fixture(autouse=True)
def daemons_of_this_test():
    """A time-out describes only the daemons that its own test started."""
    daemon.forget_started()
    yield
    daemon.forget_started()


@pytest.fixture
def datadir(tmp_path):
    d = tmp_path / "data"
    d.mkdir()
    return str(d)


@pytest.fixture
def start_kestrel(datadir):
    """Starts kestrel processes; stops every one of them after the test."""
    started = []

    def start(chassis_text=None, cluster_text=None, **kwargs):
        if chassis_text is not None:
            daemon.write_config(datadir, chassis_text, cluster_text or "")
        k = daemon.Kestrel(datadir, **kwargs).start()
        started.append(k)
        return k

    yield start
    for k in started:
        if k.running():
            k.stop()


@pytest.fixture
def sims(tmp_path):
    """Starts sets of simulated IPMI BMCs; stops them after the test."""
    started = []

    def start(count, **kwargs):
        s = ipmisim.SimSet(str(tmp_path / "sims"), count, **kwargs)
        started.append(s)
        return s

    yield start
    for s in started:
        s.stop_all()


@pytest.fixture
def fleets(tmp_path):
    """Starts Redfish test BMC processes; stops them after the test."""
    started = []

    def start(specs, tag="redfish"):
        f = Fleet(str(tmp_path), specs, tag=tag).start()
        started.append(f)
        return f

    yield start
    for f in started:
        f.stop()
