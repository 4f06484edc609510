"""The HTTP endpoints against real peers: simulated BMCs (ipmi_sim), a real
Prometheus server scraping every second, headless Chromium on the status
page, and hostile clients. Everything runs on loopback in the test's network
namespace.
"""

import http.client
import json
import os
import resource
import socket
import subprocess
import threading
import time

import pytest

from tests.harness import chassis, chromium, ipmisim, prometheus, smtp, util

HOST, PORT = "127.0.0.1", 9180
LISTEN = "%s:%d" % (HOST, PORT)
EXAMPLES = os.path.join(util.ROOT, "examples")

CHASSIS = chassis.sim()


def cluster_text(names, extra="$HTTP_LISTEN %s\n" % LISTEN):
    return extra + "".join("$NODE %s simnode %s %s\n" % (
        n, ipmisim.USER, ipmisim.PASSWORD) for n in names)


def get(path, method="GET", headers=None, timeout=5, source=None):
    """(status, headers, body) of one request to kestrel."""
    c = http.client.HTTPConnection(HOST, PORT, timeout=timeout, source_address=(
        source, 0) if source else None)
    try:
        c.request(method, path, headers=headers or {})
        r = c.getresponse()
        return r.status, dict(r.getheaders()), r.read()
    finally:
        c.close()


def status_doc():
    return json.loads(get("/status.json")[2])


def node_doc(name):
    return next(n for n in status_doc()["nodes"] if n["name"] == name)


def start_watched(start_kestrel, bmcs, names):
    """kestrel with $HTTP_LISTEN, once the nodes with a BMC have readings."""
    k = start_kestrel(CHASSIS, cluster_text(names), hosts={
        n: ipmisim.node_addr(int(n[4:])) for n in names}).wait_ready()
    util.wait_until(lambda: all(node_doc(s.name)["last_reading"] for s in bmcs),
                    40, interval=0.5, what="first readings over HTTP")
    return k


def finish(k):
    assert k.stop() == 0
    err = k.stderr()
    assert "runtime error" not in err and "Sanitizer" not in err, err


def families(text):
    return [l for l in text.splitlines() if l.startswith(("# HELP", "# TYPE"))]


def promtool(*args, stdin=None):
    r = subprocess.run(["promtool"] + list(args), input=stdin,
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout + r.stderr


def test_prometheus_scrapes_readings_and_sees_a_bmc_go(
        sims, start_kestrel, tmp_path):
    bmcs = sims(2)
    k = start_watched(start_kestrel, bmcs, ["node01", "node02"])
    prom = prometheus.Prometheus(str(tmp_path / "prometheus"), [LISTEN]).start()
    try:
        bmcs["node01"].set_value(ipmisim.CPU_TEMP, 71)
        util.wait_until(lambda: prom.value(
            'kestrel_temperature_celsius{node="node01",sensor="CPU Temp"}') == 71,
            40, interval=0.5, what="71 degC in Prometheus")
        assert prom.value('kestrel_voltage_volts{node="node02",label="Rail12"}') == 12
        assert prom.value('kestrel_up{node="node02",transport="ipmi"}') == 1
        bmcs["node02"].kill()
        util.wait_until(lambda: prom.value('kestrel_up{node="node02"}') == 0,
                        60, interval=0.5, what="node02 down in Prometheus")
        # Its readings went with it rather than turning into zeros.
        util.wait_until(lambda: prom.value(
            'kestrel_temperature_celsius{node="node02"}') is None, 10,
            interval=0.5, what="node02's readings gone")
        assert prom.value('kestrel_up{node="node01"}') == 1
        # Every scrape of the run succeeded.
        assert prom.value('min_over_time(up{job="kestrel"}[5m])') == 1
    finally:
        prom.stop()
    finish(k)


@pytest.mark.quick
def test_endpoints_keep_to_the_formats_and_the_examples_pass_promtool(
        sims, start_kestrel):
    bmcs = sims(1)
    k = start_watched(start_kestrel, bmcs, ["node01"])
    fan = 'kestrel_fan_speed_rpm{node="node01",chassis="simnode",sensor="FAN1",label="Fan1"} 5000\n'
    # Readings arrive one sensor at a time: wait for the fan's.
    util.wait_until(lambda: fan in get("/metrics")[2].decode(), 20,
                    interval=0.5, what="the fan reading over HTTP")
    status, headers, body = get("/metrics")
    assert status == 200
    assert headers["Content-Type"] == "text/plain; version=0.0.4; charset=utf-8"
    text = body.decode()
    promtool("check", "metrics", stdin=text)
    with open(os.path.join(EXAMPLES, "metrics.txt")) as f:
        example = f.read()
    promtool("check", "metrics", stdin=example)
    assert families(text) == families(example)
    assert fan in text

    status, headers, body = get("/metrics", headers={
        "Accept": "application/openmetrics-text;version=1.0.0,text/plain;q=0.5"})
    assert headers["Content-Type"].startswith("application/openmetrics-text; version=1.0.0")
    assert body.endswith(b"\n# EOF\n") and b"# TYPE kestrel_commands counter\n" in body

    status, headers, body = get("/status.json")
    assert status == 200 and headers["Content-Type"] == "application/json"
    doc = json.loads(body.decode("utf-8"))
    node = doc["nodes"][0]
    assert (node["name"], node["transport"], node["dead"], node["worst"]) == (
        "node01", "ipmi", False, "ok")
    temp = next(r for r in node["readings"] if r["label"] == "Cpu")
    assert (temp["value"], temp["unit"], temp["limits"]["critical_high"]) == (45, "celsius", 90)
    # The BMC's credentials are in the summary file, never here.
    assert ipmisim.PASSWORD.encode() not in body and ipmisim.USER.encode() not in body

    status, headers, body = get("/", method="HEAD")
    assert status == 200 and body == b"" and headers["Content-Type"].startswith("text/html")
    assert "default-src 'none'" in headers["Content-Security-Policy"]
    for path in ("/style.css", "/app.js"):
        assert get(path)[0] == 200
    assert get("/metrics/", method="GET")[0] == 404
    assert get("/index.html")[0] == 404
    status, headers, _ = get("/metrics", method="POST")
    assert status == 405 and headers["Allow"] == "GET, HEAD"

    k.command("$VERSION 1\n$DO_RESET node01\n$TEST_EMAIL\n")
    util.wait_until(lambda: b'kestrel_commands_total{command="reset"} 1\n'
                    b'kestrel_commands_total{command="test_email"} 1\n' in
                    get("/metrics")[2], 10, what="the commands counted")

    promtool("check", "config", os.path.join(EXAMPLES, "prometheus.yml"))
    promtool("check", "rules", os.path.join(EXAMPLES, "kestrel-rules.yml"))
    promtool("test", "rules", os.path.join(EXAMPLES, "kestrel-rules.test.yml"))
    finish(k)


def test_status_page_in_chromium(sims, start_kestrel, tmp_path):
    bmcs = sims(2)
    # node03 has no BMC at all: a dead tile.
    k = start_watched(start_kestrel, bmcs, ["node01", "node02", "node03"])
    browser = chromium.Chromium(str(tmp_path / "chromium")).start()
    shots = os.path.join(util.build_dir(), "test-screenshots")
    os.makedirs(shots, exist_ok=True)
    try:
        browser.call("Emulation.setDeviceMetricsOverride", width=1000,
                     height=640, deviceScaleFactor=1, mobile=False)
        browser.navigate("http://%s/" % LISTEN)
        states = "Object.fromEntries([...document.querySelectorAll('.tile')]" \
                 ".map(t => [t.dataset.name, t.dataset.state]))"
        util.wait_until(lambda: browser.evaluate(states) == {
            "node01": "ok", "node02": "ok", "node03": "dead"}, 20,
            interval=0.2, what="three tiles in their states")
        assert browser.evaluate("document.getElementById('n-ok').textContent") == "2"

        bmcs["node01"].set_value(ipmisim.CPU_TEMP, 95)
        util.wait_until(lambda: node_doc("node01")["worst"] == "critical", 20,
                        interval=0.1, what="node01 critical in status.json")
        seen = time.monotonic()
        util.wait_until(lambda: browser.evaluate(states)["node01"] == "critical",
                        5, interval=0.1, what="node01's tile critical")
        # One refresh is 3 s; allow for the fetch and this poll.
        assert time.monotonic() - seen < 4.0

        browser.evaluate("document.querySelector('[data-name=node01]').click()")
        rows = browser.evaluate(
            "[...document.querySelectorAll('#readings tr')].map(r => r.className)")
        assert rows == ["r-ok", "r-critical", "r-ok", "r-ok"]
        browser.evaluate("document.getElementById('filter').value = 'node03';"
                         "document.getElementById('filter').dispatchEvent(new Event('input'))")
        assert browser.evaluate("[...document.querySelectorAll('.tile')]"
                                ".filter(t => !t.hidden).length") == 1
        browser.evaluate("document.getElementById('filter').value = '';"
                         "document.getElementById('filter').dispatchEvent(new Event('input'))")
        png = browser.screenshot(os.path.join(shots, "status-page.png"))
        assert png.startswith(b"\x89PNG")

        # A phone: nothing wider than the screen.
        browser.call("Emulation.setDeviceMetricsOverride", width=390,
                     height=800, deviceScaleFactor=2, mobile=True)
        assert browser.evaluate(
            "document.documentElement.scrollWidth <= window.innerWidth")
        browser.screenshot(os.path.join(shots, "status-page-phone.png"))

        assert browser.console_errors() == []
        urls = browser.requested_urls()
        assert urls and all(u.startswith("http://%s/" % LISTEN) for u in urls), urls
    finally:
        browser.stop()
    finish(k)


@pytest.fixture
def descriptors_for_1000_clients():
    """Room for the test's idle clients and the daemon's end of each; later
    tests of the session start their daemons under the limit as it was."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    yield
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def test_hostile_clients_do_not_stop_the_daemon_or_a_scrape(
        sims, start_kestrel, descriptors_for_1000_clients):
    bmcs = sims(1)
    k = start_watched(start_kestrel, bmcs, ["node01"])

    def client(source, rcvbuf=None):
        s = socket.socket()
        if rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.bind((source, 0))
        s.settimeout(5)
        s.connect((HOST, PORT))
        return s

    idle = [client("127.0.0.66") for _ in range(1000)]
    huge = client("127.0.0.67")
    try:
        huge.sendall(b"GET /" + b"a" * (1 << 20) + b" HTTP/1.1\r\n\r\n")
    except (BrokenPipeError, ConnectionResetError):
        pass  # refused before the end of the line
    try:
        answer = huge.recv(100)
    except ConnectionResetError:
        answer = b""
    assert answer == b"" or answer.split(b" ")[1] in (b"414", b"431"), answer
    huge.close()

    slow = client("127.0.0.68", rcvbuf=2048)
    slow.sendall(b"GET /status.json HTTP/1.1\r\nHost: x\r\n\r\n")
    slow_bytes = []
    done = threading.Event()

    def trickle():
        while not done.is_set():
            try:
                slow_bytes.append(slow.recv(1))
            except OSError:
                break
            done.wait(1.0)
    reader = threading.Thread(target=trickle)
    reader.start()

    try:
        before = k.records()["node01"]["TIME"]
        latencies = []
        deadline = time.monotonic() + 12
        while time.monotonic() < deadline:
            t0 = time.monotonic()
            status, _, body = get("/metrics", timeout=2)
            latencies.append(time.monotonic() - t0)
            assert status == 200 and b'kestrel_up{node="node01"' in body
            time.sleep(0.5)
        assert max(latencies) < 0.5, latencies
        # The main loop went on reading the BMC meanwhile.
        assert k.records()["node01"]["TIME"] > before
        assert len(slow_bytes) >= 5 and all(len(b) == 1 for b in slow_bytes[:5])

        # Idle connections are closed by the daemon once their time is up.
        def closed(s):
            try:
                s.setblocking(False)
                return s.recv(1) == b""
            except BlockingIOError:
                return False
            except ConnectionResetError:
                return True
        util.wait_until(lambda: all(closed(s) for s in idle), 15,
                        interval=0.5, what="idle connections closed")
        assert k.running()
    finally:
        done.set()
        slow.close()
        reader.join()
        for s in idle:
            s.close()
    finish(k)


def test_slow_clients_from_many_addresses_do_not_hold_up_a_scrape(
        sims, start_kestrel, descriptors_for_1000_clients):
    bmcs = sims(1)
    k = start_watched(start_kestrel, bmcs, ["node01"])
    closed_by_daemon = set()

    def connect(source):
        s = socket.socket()
        s.bind((source, 0))
        s.settimeout(5)
        s.connect((HOST, PORT))
        return s

    def gone(s):
        if s in closed_by_daemon:
            return True
        try:
            s.setblocking(False)
            end = s.recv(1) == b""
        except BlockingIOError:
            end = False
        except OSError:
            end = True
        if end:
            closed_by_daemon.add(s)
        return end

    # 16 addresses, 13 connections each (the per-address bound is 16): the
    # first eight trickle a request head a byte a second, the rest say
    # nothing. Opened before any scrape, they fill the slots first.
    trickling = [connect("127.0.1.%d" % a) for a in range(1, 9) for _ in range(13)]
    idle = [connect("127.0.1.%d" % a) for a in range(9, 17) for _ in range(13)]
    opened = time.monotonic()
    done = threading.Event()

    def trickle():
        head = b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"a" * 100
        for i in range(len(head)):
            for s in trickling:
                if s not in closed_by_daemon:
                    try:
                        s.send(head[i:i + 1])
                    except OSError:
                        closed_by_daemon.add(s)
            if done.wait(1.0):
                return
    sender = threading.Thread(target=trickle)
    sender.start()

    fillers = []
    try:
        # Every scrape in the first seconds, while all 208 are open.
        while time.monotonic() - opened < 6:
            status, _, body = get("/metrics", source="127.0.0.99")
            assert status == 200 and b'kestrel_up{node="node01"' in body
            time.sleep(0.5)
        # Trickled bytes do not keep a request alive past its deadline.
        util.wait_until(lambda: all(gone(s) for s in trickling + idle), 20,
                        interval=0.5, what="slow connections closed")
        assert time.monotonic() - opened < 16

        # Far more idle connections than the descriptor budget allows: each
        # new one displaces the oldest that has not sent its request.
        fillers = [connect("127.0.2.%d" % a) for a in range(1, 66) for _ in range(16)]
        for source in ("127.0.0.100", "127.0.0.101"):
            status, _, body = get("/metrics", source=source)
            assert status == 200 and b'kestrel_up{node="node01"' in body
        assert gone(fillers[0]) and not gone(fillers[-1])
        assert k.running()
    finally:
        done.set()
        sender.join()
        for s in trickling + idle + fillers:
            s.close()
    finish(k)


@pytest.mark.quick
def test_a_sent_alert_email_is_counted_even_without_nodes(
        start_kestrel, tmp_path):
    server = smtp.SmtpServer(str(tmp_path / "smtp")).start()
    try:
        k = start_kestrel("", "$HTTP_LISTEN %s\n$ENABLE_ALERTS yes\n"
                          "$EMAIL_TO ops@example.org\n$EMAIL_FROM k@example.org\n"
                          "$EMAIL_SERVER %s\n" % (LISTEN, server.hostport)).wait_ready()
        assert status_doc()["nodes"] == [] and status_doc()["alerts"] is True
        k.command("$TEST_EMAIL\n")
        server.wait_messages(1, 15)
        util.wait_until(lambda: b'kestrel_alert_emails_total{result="sent"} 1\n'
                        b'kestrel_alert_emails_total{result="failed"} 0\n' in
                        get("/metrics")[2], 10, what="the e-mail counted")
    finally:
        server.stop()
    finish(k)


def test_an_unusable_listen_address_ends_the_start(start_kestrel, datadir):
    k = start_kestrel(CHASSIS, cluster_text(["node01"], "$HTTP_LISTEN 127.0.0.1\n"))
    assert k.wait_exit() == 1
    assert "Invalid $HTTP_LISTEN address 127.0.0.1 (expected" in k.stderr()

    taken = socket.socket()
    # Earlier tests' connections may linger in TIME_WAIT.
    taken.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    taken.bind((HOST, PORT))
    taken.listen()
    try:
        k = start_kestrel(CHASSIS, cluster_text(["node01"]),
                          hosts={"node01": ipmisim.node_addr(1)})
        assert k.wait_exit() == 1
        assert ("Unable to serve HTTP on %s: Address already in use" % LISTEN
                in k.stderr())
        # The pipes it had made are gone again.
        assert not os.path.exists(k.nodecommands)
    finally:
        taken.close()
