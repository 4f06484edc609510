"""What the TLS test BMCs (openbmc.py, redfish.py) share: a certificate made
at test time, a threaded TLS server that can stall a connection before its
handshake, the start of a request, and the control socket through which a
test changes a running BMC, with the process that serves it."""

import json
import os
import signal
import socket
import socketserver
import ssl
import struct
import subprocess
import threading
import time
from http.server import BaseHTTPRequestHandler

from tests.harness import util

PYTHON = "/usr/bin/python3"


def make_certificate(directory, names):
    """A self-signed certificate for every `<name>-ipmi`; returns its paths."""
    cert = os.path.join(directory, "bmc-cert.pem")
    key = os.path.join(directory, "bmc-key.pem")
    san = ",".join("DNS:%s-ipmi" % n for n in names)
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
         "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
         "-subj", "/CN=%s-ipmi" % names[0], "-addext", "subjectAltName=" + san,
         "-keyout", key, "-out", cert],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


class TlsServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    """Serves `handler` over TLS. `peer` is the BMC's state: its `stall` set
    to "accept" holds new connections without a word, not even TLS, until
    its `unstall` event is set."""

    allow_reuse_address = True
    daemon_threads = True

    def __init__(self, address, handler, peer, context):
        self.peer = peer
        self.context = context
        self.held = []  # connections accepted while stalled
        super().__init__(address, handler)

    def finish_request(self, request, client_address):
        if self.peer.stall == "accept":
            self.held.append(request)
            self.peer.unstall.wait()
            return
        request.settimeout(30)
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        except (ssl.SSLError, OSError):
            pass
        finally:
            try:
                tls.close()
            except OSError:
                pass


def apply_faults(peer, command):
    """Takes the "fault" and "stall" of a control command; the caller holds
    the BMC's lock."""
    if "fault" in command:
        peer.fault = command["fault"]
    if "stall" in command:
        peer.stall = command["stall"]
        if peer.stall:
            peer.unstall.clear()
        else:
            peer.unstall.set()


class PeerHandler(BaseHTTPRequestHandler):
    """A test BMC's request handler; `self.server.peer` is its BMC."""

    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.handle_request("GET")

    def do_POST(self):
        self.handle_request("POST")

    def intake(self, method, **extra):
        """Reads the body and logs the request (with `extra`); None when the
        BMC's stall or reset fault has dealt with it, else the body."""
        peer = self.server.peer
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length).decode("utf-8", "replace") if length else ""
        peer.record(dict({"t": time.time(), "method": method, "path": self.path,
                          "headers": dict(self.headers.items()), "body": body},
                         **extra))
        if peer.stall:
            # Never answers; when the stall is lifted the connection closes.
            peer.unstall.wait()
            self.close_connection = True
            return None
        if peer.fault == "reset":
            # Closing with a zero linger time sends RST instead of FIN.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.close_connection = True
            return None
        return body


def serve(config, servers, apply):
    """The body of a test BMC program: a TLS server for each (address, peer,
    handler) in `servers`, then the control socket on this thread, where each
    JSON line is answered with apply(command) (or the error it raised)."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(config["cert"], config["key"])
    for address, peer, handler in servers:
        server = TlsServer(address, handler, peer, context)
        threading.Thread(target=server.serve_forever, daemon=True).start()
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    path = config["control"]
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path + ".tmp")
    listener.listen(8)
    os.rename(path + ".tmp", path)  # ready once the name exists
    while True:
        conn, _ = listener.accept()
        with conn, conn.makefile("rw") as f:
            try:
                answer = apply(json.loads(f.readline()))
            except (ValueError, KeyError) as e:
                answer = {"error": str(e)}
            f.write(json.dumps(answer) + "\n")
            f.flush()


def start(program, directory, config, what):
    """Runs `program` (a test BMC module's file) on `config`, written into
    `directory`, and waits for its control socket; returns the process."""
    path = os.path.join(directory, "config.json")
    with open(path, "w") as f:
        json.dump(config, f)
    proc = subprocess.Popen(
        [PYTHON, os.path.abspath(program), path],
        stdout=open(os.path.join(directory, "stdout"), "wb"),
        stderr=open(os.path.join(directory, "stderr"), "wb"))
    util.wait_until(lambda: os.path.exists(config["control"])
                    or proc.poll() is not None, 10, what=what)
    if proc.poll() is not None:
        raise RuntimeError("%s failed: %s" % (
            what, util.read_text(os.path.join(directory, "stderr"))))
    return proc


def control(path, command):
    """Sends one command to a running test BMC; returns its answer."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(5)
        s.connect(path)
        s.sendall((json.dumps(command) + "\n").encode())
        with s.makefile("r") as f:
            return json.loads(f.readline())


def logged(path):
    """Every request in a BMC's log, oldest first."""
    return [json.loads(l) for l in util.read_text(path).splitlines()
            if l.strip()]


def wait_logged(path, predicate, timeout, what):
    """Waits for a logged request matching predicate; returns it."""
    def find():
        return next((r for r in logged(path) if predicate(r)), None)
    return util.wait_until(find, timeout, what=what)
