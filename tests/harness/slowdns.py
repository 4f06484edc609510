"""A name server on loopback that answers every query after a delay: A
records for the names it is given, empty answers for anything else."""

import socket
import struct
import threading
import time


class SlowNameServer:
    def __init__(self, address, names, delay):
        self.names = names  # "<name>" -> IPv4 address
        self.delay = delay
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((address, 53))
        self.queries = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def close(self):
        self.sock.close()

    def _serve(self):
        while True:
            try:
                query, peer = self.sock.recvfrom(512)
            except OSError:
                return
            threading.Thread(target=self._answer, args=(query, peer),
                             daemon=True).start()

    def _answer(self, query, peer):
        labels, at = [], 12
        while query[at]:
            labels.append(query[at + 1:at + 1 + query[at]].decode())
            at += 1 + query[at]
        qtype = struct.unpack("!H", query[at + 1:at + 3])[0]
        name = ".".join(labels)
        self.queries.append(name)
        time.sleep(self.delay)
        addr = self.names.get(name) if qtype == 1 else None
        answer = b""
        if addr:
            answer = struct.pack("!HHHIH", 0xC00C, 1, 1, 60, 4) + \
                socket.inet_aton(addr)
        reply = query[:2] + struct.pack("!HHHHH", 0x8180, 1, 1 if addr else 0,
                                        0, 0) + query[12:at + 5] + answer
        try:
            self.sock.sendto(reply, peer)
        except OSError:
            pass
