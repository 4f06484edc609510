"""Headless Chromium (Debian's `chromium`) driven over the DevTools protocol.

The browser runs with a fresh profile and without any of its own network
traffic (no updates, sync or background requests), and listens for DevTools
on loopback only. The protocol's WebSocket is spoken here with the standard
library: text frames, masked from the client, as RFC 6455 has them.
"""

import base64
import json
import os
import socket
import struct
import subprocess
import urllib.request

from . import util

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync",
         "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0"]


class WebSocket:
    def __init__(self, url, timeout=10):
        assert url.startswith("ws://")
        hostport, _, path = url[5:].partition("/")
        host, _, port = hostport.partition(":")
        self.sock = socket.create_connection((host, int(port)), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET /%s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n"
                           % (path, hostport, key)).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            data = self.sock.recv(4096)
            if not data:
                raise ConnectionError("DevTools closed during the handshake")
            head += data
        if b" 101 " not in head.split(b"\r\n", 1)[0]:
            raise ConnectionError(head.decode(errors="replace"))
        self.buf = head.split(b"\r\n\r\n", 1)[1]

    def _read(self, n):
        while len(self.buf) < n:
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("DevTools closed")
            self.buf += data
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def send(self, text):
        payload = text.encode()
        n = len(payload)
        head = bytes([0x81])
        if n < 126:
            head += bytes([0x80 | n])
        elif n < 65536:
            head += bytes([0x80 | 126]) + struct.pack(">H", n)
        else:
            head += bytes([0x80 | 127]) + struct.pack(">Q", n)
        mask = os.urandom(4)
        self.sock.sendall(head + mask +
                          bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def recv(self):
        message = b""
        while True:
            b0, b1 = self._read(2)
            n = b1 & 0x7f
            if n == 126:
                n = struct.unpack(">H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._read(8))[0]
            payload = self._read(n)
            opcode = b0 & 0x0f
            if opcode == 0x8:
                raise ConnectionError("DevTools sent close")
            if opcode in (0x9, 0xa):  # ping, pong: not used by DevTools
                continue
            message += payload
            if b0 & 0x80:
                return message.decode()

    def close(self):
        self.sock.close()


class Chromium:
    """One browser with one page; `events` keeps every protocol event."""

    def __init__(self, workdir):
        self.dir = workdir
        self.profile = os.path.join(workdir, "profile")
        os.makedirs(self.profile, exist_ok=True)
        self.proc = None
        self.ws = None
        self.next_id = 0
        self.events = []

    def start(self, timeout=30):
        log = open(os.path.join(self.dir, "chromium.log"), "ab")
        self.proc = subprocess.Popen(
            ["chromium"] + FLAGS + ["--user-data-dir=" + self.profile,
                                    "about:blank"],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        log.close()
        portfile = os.path.join(self.profile, "DevToolsActivePort")
        port = util.wait_until(
            lambda: util.read_text(portfile).split("\n")[0].strip(), timeout,
            what="chromium's DevTools port")
        with urllib.request.urlopen("http://127.0.0.1:%s/json/list" % port,
                                    timeout=5) as r:
            pages = [t for t in json.load(r) if t["type"] == "page"]
        self.ws = WebSocket(pages[0]["webSocketDebuggerUrl"])
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.call(domain + ".enable")
        return self

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method,
                                 "params": params}))
        while True:
            msg = json.loads(self.ws.recv())
            if msg.get("id") == self.next_id:
                if "error" in msg:
                    raise RuntimeError("%s: %s" % (method, msg["error"]))
                return msg.get("result", {})
            if "method" in msg:
                self.events.append(msg)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression,
                           returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError(result["exceptionDetails"])
        return result["result"].get("value")

    def navigate(self, url):
        self.call("Page.navigate", url=url)

    def screenshot(self, path):
        data = base64.b64decode(self.call("Page.captureScreenshot",
                                          format="png")["data"])
        with open(path, "wb") as f:
            f.write(data)
        return data

    def console_errors(self):
        """Console errors, uncaught exceptions and browser log errors (failed
        loads, refused content) seen so far."""
        out = []
        for e in self.events:
            p = e.get("params", {})
            if e["method"] == "Runtime.consoleAPICalled" and p["type"] in ("error", "assert"):
                out.append(p)
            elif e["method"] == "Runtime.exceptionThrown":
                out.append(p)
            elif e["method"] == "Log.entryAdded" and p["entry"]["level"] == "error":
                out.append(p["entry"])
        return out

    def requested_urls(self):
        return [e["params"]["request"]["url"] for e in self.events
                if e["method"] == "Network.requestWillBeSent"]

    def stop(self):
        if self.ws:
            self.ws.close()
        util.stop_process(self.proc)
