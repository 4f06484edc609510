"""What the TLS test BMCs share: a certificate made at test time, and a
threaded TLS server that can stall a connection before its handshake."""

import os
import socketserver
import ssl
import subprocess


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
