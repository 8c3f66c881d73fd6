"""The stack's DNS resolver against a scripted DNS server and a blind spoofer in the peer namespace.

The test process owns the peer's port 53 (no dnsmasq here): a small server answers each query as
the test's script says, and may first send forged replies. Run through tests/net/run (root only).
"""

import socket
import struct
import threading
import time
import unittest

import netlib

SANDBOX = None
NET = "198.51.100"
REAL = NET + ".80"
FORGED = "203.0.113.66"


def setUpModule():
    global SANDBOX
    SANDBOX = netlib.Sandbox(net=NET)


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()


# ---- DNS messages -------------------------------------------------------------------------------

def wire_name(name):
    return b"".join(bytes([len(label)]) + label.encode() for label in name.split(".")) + b"\0"


def rr(owner, rtype, rdata):
    return wire_name(owner) + struct.pack("!HHIH", rtype, 1, 300, len(rdata)) + rdata


def a_rr(owner, address):
    return rr(owner, 1, socket.inet_aton(address))


def cname_rr(owner, target):
    return rr(owner, 5, wire_name(target))


def response(qid, qname, answers=(), qtype=1, additional=(), flags=0x8180):
    header = struct.pack("!HHHHHH", qid, flags, 1, len(answers), 0, len(additional))
    return (header + wire_name(qname) + struct.pack("!HH", qtype, 1) + b"".join(answers)
            + b"".join(additional))


def parse_query(data):
    """(id, name) of a standard query, or None."""
    if len(data) < 12:
        return None
    qid, = struct.unpack("!H", data[:2])
    labels, at = [], 12
    while at < len(data) and data[at] != 0:
        labels.append(data[at + 1:at + 1 + data[at]].decode(errors="replace"))
        at += 1 + data[at]
    return qid, ".".join(labels)


class ScriptedServer:
    """Port 53 of the peer. For each query, `script(server, qid, name, port)` returns the replies
    to send back, in order; the server records every query as (id, source port, name)."""

    def __init__(self, script):
        self.script = script
        self.queries = []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((SANDBOX.peer_ip, 53))
        self.sock.settimeout(0.1)
        self._stop = False
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._stop:
            try:
                data, (address, port) = self.sock.recvfrom(2048)
            except socket.timeout:
                continue
            query = parse_query(data)
            if query is None:
                continue
            qid, name = query
            self.queries.append((qid, port, name))
            for reply in self.script(self, qid, name, port):
                self.sock.sendto(reply, (address, port))

    def send_to(self, reply, port):
        self.sock.sendto(reply, (SANDBOX.stack_ip, port))

    def close(self):
        self._stop = True
        self._thread.join()
        self.sock.close()


def resolve(name, timeout=10):
    proc = SANDBOX.tarnet("resolve", name, extra=["--dns", SANDBOX.peer_ip, "--timeout",
                                                  str(timeout)], timeout=timeout + 20)
    return proc.returncode, proc.stdout.decode(), proc.stderr


def answer_real(_server, qid, name, _port):
    return [response(qid, name, [a_rr(name, REAL)])]


class HostileDns(unittest.TestCase):

    def serve(self, script):
        server = ScriptedServer(script)
        self.addCleanup(server.close)
        return server

    def test_a_blind_spoofer_never_gets_its_answer_taken(self):
        # At the first query, before the real answer, the spoofer sends a forged answer for the
        # asked name from the server's address and port 53 to every port 10000-10100 with every
        # id 0-50: 5151 guesses, covering the ids and ports a counting resolver would use. It
        # never looks at the query's id or port. The sending is paced so the stack's link keeps
        # up with it.
        ports, ids = range(10000, 10101), range(0, 51)
        sent = []

        def spoof_then_answer(server, qid, name, port):
            if not sent:
                for n, guess_port in enumerate(ports):
                    for guess_id in ids:
                        server.send_to(response(guess_id, name, [a_rr(name, FORGED)]), guess_port)
                        sent.append(guess_port)
                    if n % 4 == 3:
                        time.sleep(0.005)
            return answer_real(server, qid, name, port)

        server = self.serve(spoof_then_answer)
        start = time.monotonic()
        rc, out, err = resolve("web.hostile.test")
        self.assertEqual((rc, out), (0, REAL + "\n"), err)
        self.assertEqual(len(sent), len(ports) * len(ids))
        self.assertLess(time.monotonic() - start, 8)
        qid, port, _ = server.queries[0]
        self.assertFalse(qid in ids and port in ports, "the query fell inside the guesses")

    def test_each_run_asks_with_another_id_and_port(self):
        server = self.serve(answer_real)
        for _ in range(3):
            rc, out, err = resolve("web.hostile.test")
            self.assertEqual((rc, out), (0, REAL + "\n"), err)
        firsts = [(qid, port) for qid, port, _ in server.queries]
        self.assertEqual(len(set(qid for qid, _ in firsts)), len(firsts), firsts)
        self.assertEqual(len(set(port for _, port in firsts)), len(firsts), firsts)

    def test_replies_that_do_not_answer_the_question_are_passed_over(self):
        # The server's own replies with the query's id and port, but for another question or with
        # records off the asked name's CNAME chain, come first; then the real answer, itself
        # carrying a poisoned record for another name.
        def confused_then_answer(_server, qid, name, _port):
            chain = [cname_rr(name, "alias.hostile.test")]
            return [
                response(qid, "bank.hostile.test", [a_rr("bank.hostile.test", FORGED)]),
                response(qid, name, [a_rr(name, FORGED)], qtype=28),
                response(qid, name, [a_rr("bank.hostile.test", FORGED)]),
                response(qid, name, chain + [a_rr("bank.hostile.test", FORGED)]),
                response(qid, name, chain + [a_rr("bank.hostile.test", FORGED),
                                             a_rr("alias.hostile.test", REAL)],
                         additional=[a_rr(name, FORGED)]),
            ]

        self.serve(confused_then_answer)
        rc, out, err = resolve("web.hostile.test")
        self.assertEqual((rc, out), (0, REAL + "\n"), err)

    def test_names_past_the_label_and_length_limits_never_go_out(self):
        server = self.serve(answer_real)
        fits = "x" * 63 + ".hostile.test"
        rc, out, err = resolve(fits)
        self.assertEqual((rc, out), (0, REAL + "\n"), err)
        self.assertEqual([name for _, _, name in server.queries], [fits])
        for name in ("x" * 64 + ".hostile.test", ".".join(["x" * 63] * 3 + ["x" * 62])):
            rc, _, err = resolve(name)
            self.assertEqual(rc, 2, err)
            self.assertIn("is not a host name", err)
        self.assertEqual(len(server.queries), 1, server.queries)


if __name__ == "__main__":
    unittest.main()
