"""A real SMTP server for the process tests, run as a separate process.

As a program (/usr/bin/python3 -m tests.harness.smtp ADDR PORT DIR [--silent])
it serves SMTP with aiosmtpd on ADDR:PORT and stores every message it
receives as DIR/msgNNNN.json: the envelope sender, the envelope recipients
and the raw message data exactly as received (base64, line ends untouched).
With --silent it accepts connections and never says a word, like a server
that hangs. It creates DIR/ready once it listens.

As a module it gives the tests `SmtpServer`, which starts such a process and
reads the stored messages.
"""

import asyncio
import base64
import glob
import json
import os
import subprocess
import sys

if __package__:
    from . import util


class SmtpServer:
    """One SMTP server process on a loopback address of the test's net."""

    def __init__(self, workdir, addr="127.0.0.2", port=2525, silent=False):
        self.addr = addr
        self.port = port
        self.dir = workdir
        self.silent = silent
        self.proc = None
        os.makedirs(workdir, exist_ok=True)

    @property
    def hostport(self):
        """The $EMAIL_SERVER value that reaches this server."""
        return "%s:%d" % (self.addr, self.port)

    def start(self, timeout=15):
        root = os.path.dirname(os.path.dirname(os.path.dirname(
            os.path.abspath(__file__))))
        argv = ["/usr/bin/python3", "-m", "tests.harness.smtp", self.addr,
                str(self.port), self.dir] + (["--silent"] if self.silent else [])
        log = open(os.path.join(self.dir, "server.log"), "ab")
        self.proc = subprocess.Popen(argv, cwd=root, stdin=subprocess.DEVNULL,
                                     stdout=log, stderr=log)
        log.close()

        def ready():
            if self.proc.poll() is not None:
                raise RuntimeError("SMTP server exited with %s: %s" % (
                    self.proc.returncode,
                    util.read_text(os.path.join(self.dir, "server.log"))))
            return os.path.exists(os.path.join(self.dir, "ready"))
        util.wait_until(ready, timeout, what="the SMTP server")
        return self

    def stop(self):
        util.stop_process(self.proc)

    def messages(self):
        """Every message received so far, oldest first: dicts with
        mail_from, rcpt_tos (list) and data (bytes)."""
        out = []
        for path in sorted(glob.glob(os.path.join(self.dir, "msg*.json"))):
            with open(path) as f:
                m = json.load(f)
            m["data"] = base64.b64decode(m["data"])
            out.append(m)
        return out

    def wait_messages(self, count, timeout):
        util.wait_until(lambda: len(self.messages()) >= count, timeout,
                        interval=0.2, what="%d e-mail(s) at the SMTP server" % count)
        return self.messages()


# -- the server program -------------------------------------------------------

class _Store:
    def __init__(self, directory):
        self.dir = directory
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        record = {"mail_from": envelope.mail_from,
                  "rcpt_tos": list(envelope.rcpt_tos),
                  "data": base64.b64encode(envelope.original_content
                                           or envelope.content).decode()}
        tmp = os.path.join(self.dir, ".msg%04d.tmp" % self.count)
        with open(tmp, "w") as f:
            json.dump(record, f)
        os.rename(tmp, os.path.join(self.dir, "msg%04d.json" % self.count))
        return "250 Message accepted for delivery"


async def _silent(reader, writer):
    # Holds the connection open without a greeting until the client leaves.
    await reader.read()
    writer.close()


def main(argv):
    addr, port, directory = argv[0], int(argv[1]), argv[2]
    silent = "--silent" in argv[3:]
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    if silent:
        server = loop.run_until_complete(
            asyncio.start_server(_silent, addr, port))
    else:
        from aiosmtpd.smtp import SMTP
        store = _Store(directory)
        server = loop.run_until_complete(loop.create_server(
            lambda: SMTP(store, hostname="smtp.test", loop=loop), addr, port))
    with open(os.path.join(directory, "ready"), "w") as f:
        f.write("%d\n" % os.getpid())
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    main(sys.argv[1:])
