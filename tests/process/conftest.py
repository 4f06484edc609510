import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

from tests.harness import daemon  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "quick: a fast scenario of scripts/test.sh --quick")


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
