"""A real Prometheus server (Debian's `prometheus`) scraping kestrel.

It listens on a loopback address of the test's own network namespace, keeps
its data in the test's directory and scrapes the given targets every second.
"""

import json
import os
import subprocess
import urllib.parse
import urllib.request

from . import util

CONFIG = """\
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: kestrel
    static_configs:
      - targets: [{targets}]
"""


class Prometheus:
    def __init__(self, workdir, targets, listen="127.0.0.1:9090"):
        self.dir = workdir
        self.listen = listen
        self.proc = None
        os.makedirs(workdir, exist_ok=True)
        self.config = os.path.join(workdir, "prometheus.yml")
        with open(self.config, "w") as f:
            f.write(CONFIG.format(targets=", ".join('"%s"' % t for t in targets)))

    def start(self, timeout=30):
        log = open(os.path.join(self.dir, "prometheus.log"), "ab")
        self.proc = subprocess.Popen(
            ["prometheus", "--config.file=" + self.config,
             "--storage.tsdb.path=" + os.path.join(self.dir, "data"),
             "--web.listen-address=" + self.listen],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        log.close()

        def ready():
            if self.proc.poll() is not None:
                raise RuntimeError("prometheus exited with %s" % self.proc.returncode)
            try:
                with urllib.request.urlopen("http://%s/-/ready" % self.listen,
                                            timeout=1) as r:
                    return r.status == 200
            except OSError:
                return False
        util.wait_until(ready, timeout, interval=0.2, what="prometheus ready")
        return self

    def query(self, expr):
        """Instant query: {frozenset(labels.items()): float value}."""
        url = "http://%s/api/v1/query?%s" % (
            self.listen, urllib.parse.urlencode({"query": expr}))
        with urllib.request.urlopen(url, timeout=5) as r:
            doc = json.load(r)
        assert doc["status"] == "success", doc
        return {frozenset(s["metric"].items()): float(s["value"][1])
                for s in doc["data"]["result"]}

    def value(self, expr):
        """The value of a query with exactly one series, else None."""
        result = self.query(expr)
        return next(iter(result.values())) if len(result) == 1 else None

    def stop(self):
        util.stop_process(self.proc)
