"""What `tarnet` reports comes from the stack, not from frames on the wire: forged frames that the
stack rightly ignores change nothing the program says. The forgeries are sent with scapy from
the peer namespace, beside the kernel's own sockets. Run through tests/net/run (root only).
"""

import errno
import socket
import threading
import time
import unittest

import netlib

try:
    from scapy.all import (AsyncSniffer, DNS, DNSRR, Ether, IP, TCP, UDP, conf, get_if_hwaddr,
                           sendp)
    conf.verb = 0
except ImportError:  # pragma: no cover - scapy comes with scripts/setup
    AsyncSniffer = None

SANDBOX = None
NET = "198.51.100"
STACK_MAC = "02:54:4e:00:00:9a"
FORGER_IP = NET + ".77"


def setUpModule():
    global SANDBOX
    if AsyncSniffer is None:
        raise unittest.SkipTest("scapy is missing (python3-scapy; scripts/setup installs it)")
    SANDBOX = netlib.Sandbox(net=NET)
    SANDBOX.pin_neighbour(SANDBOX.stack_ip, STACK_MAC)


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()


def tarnet(*args, **kw):
    return SANDBOX.tarnet_args(*args, mac=STACK_MAC, extra=["--timeout", "30"], **kw)


def peer_mac():
    return get_if_hwaddr(SANDBOX.peer_if)


def start(test, *args):
    """tarnet in the background, ended (killed if need be) when the test ends, pass or fail: a
    stack left running would answer for the next test's address."""
    proc = netlib.subprocess.Popen(tarnet(*args), stdin=netlib.subprocess.PIPE,
                                   stdout=netlib.subprocess.PIPE, stderr=netlib.subprocess.PIPE)
    test.addCleanup(lambda: proc.poll() is not None or netlib.stop(proc))
    return proc


class ForgedFrames(unittest.TestCase):

    def test_a_blind_reset_that_is_not_exact_does_not_end_tcp_connect(self):
        # The kernel serves one connection slowly; while it runs, a RST with the right
        # addresses and ports but a sequence number inside the window (not the exact one)
        # arrives. The stack answers it with a challenge ACK; tarnet must finish cleanly.
        server = socket.socket()
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        server.bind((SANDBOX.peer_ip, 7101))
        server.listen(1)
        server.settimeout(20)
        sniffer = AsyncSniffer(iface=SANDBOX.peer_if,
                               lfilter=lambda p: TCP in p and p[TCP].sport != 7101)
        sniffer.start()
        proc = start(self, "tcp", "connect", SANDBOX.peer_ip, "7101")
        conn, (_, port) = server.accept()
        conn.sendall(b"hello\n")
        time.sleep(0.3)
        acks = [p for p in sniffer.stop() if p[TCP].sport == port and p[TCP].flags & 0x10]
        self.assertTrue(acks, "no segment from the stack was seen")
        rcv_nxt = acks[-1][TCP].ack
        sendp(Ether(src=peer_mac(), dst=STACK_MAC) /
              IP(src=SANDBOX.peer_ip, dst=SANDBOX.stack_ip) /
              TCP(sport=7101, dport=port, flags="R", seq=(rcv_nxt + 1000) & 0xFFFFFFFF),
              iface=SANDBOX.peer_if)
        time.sleep(0.2)
        conn.sendall(b"world\n")
        proc.stdin.write(b"bye\n")
        proc.stdin.close()
        self.assertEqual(netlib.recv_all(conn), b"bye\n")
        conn.close()
        server.close()
        proc.wait(30)
        out, err = proc.stdout.read(), proc.stderr.read()
        self.assertEqual(out, b"hello\nworld\n")
        self.assertNotIn("reset", err.decode())
        self.assertEqual(proc.returncode, 0, err.decode())

    def test_a_forged_nxdomain_from_another_address_does_not_end_resolve(self):
        # A DNS server on the peer answers after 300 ms; a forger that sees the query answers
        # NXDOMAIN at once with the query's ID and port, but from another address.
        server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        server.bind((SANDBOX.peer_ip, 53))
        server.settimeout(20)

        def answer():
            data, client = server.recvfrom(512)
            query = DNS(data)
            forged = (Ether(src=peer_mac(), dst=STACK_MAC) /
                      IP(src=FORGER_IP, dst=SANDBOX.stack_ip) /
                      UDP(sport=53, dport=client[1]) /
                      DNS(id=query.id, qr=1, rd=1, ra=1, rcode=3, qd=query.qd))
            sendp(forged, iface=SANDBOX.peer_if)
            time.sleep(0.3)
            real = DNS(id=query.id, qr=1, aa=1, rd=1, ra=1, qd=query.qd,
                       an=DNSRR(rrname=query.qd.qname, type="A", rclass="IN", ttl=60,
                                rdata="192.0.2.99"))
            server.sendto(bytes(real), client)

        thread = threading.Thread(target=answer, daemon=True)
        thread.start()
        proc = SANDBOX.tarnet("--dns", SANDBOX.peer_ip, "resolve", "host.forged.test",
                              mac=STACK_MAC, timeout=30)
        thread.join(5)
        server.close()
        self.assertEqual(proc.stdout.decode().strip(), "192.0.2.99", proc.stderr)
        self.assertEqual(proc.returncode, 0, proc.stderr)

    def test_bare_syns_do_not_use_up_tcp_listen_count(self):
        # Three SYNs from a host that never answers (no ARP reply either), then one real
        # connection: with -n 1 that connection is the one served, and the command ends.
        proc = start(self, "tcp", "listen", "7102", "-n", "1")
        self.assertTrue(netlib.wait_until_answering(SANDBOX.stack_ip, seconds=10))
        for sport in (41001, 41002, 41003):
            sendp(Ether(src=peer_mac(), dst=STACK_MAC) /
                  IP(src=SANDBOX.spare_ip, dst=SANDBOX.stack_ip) /
                  TCP(sport=sport, dport=7102, flags="S", seq=1000),
                  iface=SANDBOX.peer_if)
        time.sleep(0.2)
        with socket.create_connection((SANDBOX.stack_ip, 7102), timeout=10) as sock:
            sock.sendall(b"served\n")
            sock.shutdown(socket.SHUT_WR)
            self.assertEqual(netlib.recv_all(sock), b"")
        out, err = proc.communicate(timeout=30)
        self.assertEqual(out, b"served\n", err.decode())
        self.assertEqual(proc.returncode, 0, err.decode())


class LateAnswers(unittest.TestCase):
    """A kernel server that answers a while after the question: without --keep-reading tarnet
    has closed by then, and the stack refuses the answer with a RST (tarnet says so and fails);
    with it, the answer arrives and the peer's close ends the command."""

    def serve(self, port):
        server = socket.socket()
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        server.bind((SANDBOX.peer_ip, port))
        server.listen(1)
        server.settimeout(20)
        result = {}

        def run():
            conn, _ = server.accept()
            with conn:
                result["question"] = conn.recv(100)
                time.sleep(0.5)
                try:
                    conn.sendall(b"answer\n")
                    time.sleep(0.5)
                    conn.sendall(b"more\n")
                    conn.shutdown(socket.SHUT_WR)
                    conn.recv(100)
                except OSError as e:
                    result["error"] = e.errno
            server.close()

        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        return thread, result

    def test_an_answer_after_our_close_is_refused_and_reported(self):
        thread, result = self.serve(7103)
        proc = netlib.subprocess.run(tarnet("tcp", "connect", SANDBOX.peer_ip, "7103"),
                                     input=b"question\n", capture_output=True, timeout=30)
        thread.join(10)
        err = proc.stderr.decode()
        self.assertEqual(proc.returncode, 1, err)
        self.assertRegex(err, r"\d+ bytes from the peer arrived after our close and were refused")
        # Linux reports the reset of a connection in CLOSE_WAIT to send() as EPIPE.
        self.assertIn(result.get("error"), (errno.ECONNRESET, errno.EPIPE))

    def test_keep_reading_waits_for_the_answer(self):
        thread, result = self.serve(7104)
        proc = netlib.subprocess.run(
            tarnet("tcp", "connect", SANDBOX.peer_ip, "7104", "--keep-reading", "5"),
            input=b"question\n", capture_output=True, timeout=30)
        thread.join(10)
        self.assertEqual(result.get("question"), b"question\n")
        self.assertEqual(proc.stdout, b"answer\nmore\n", proc.stderr.decode())
        self.assertEqual(proc.returncode, 0, proc.stderr.decode())


if __name__ == "__main__":
    unittest.main()
