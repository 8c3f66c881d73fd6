"""A hostile peer against the stack's TCP: segments crafted with scapy in the peer namespace at
`tarnet tcp listen --echo` in the stack namespace, a kernel socket holding the real connection,
and the stack's answers caught on the wire.

Blind attacks: a RST inside the window but not at its left edge, and a SYN, draw a challenge ACK
and leave the connection up (RFC 5961); initial sequence numbers of successive connections do not
follow from each other (RFC 6528). Segments that match no connection are answered with a RST
(RFC 9293 3.10.7.1). Run through tests/net/run (root only).
"""

import socket
import threading
import unittest

import netlib

SANDBOX = None
NET = "198.51.100"
STACK_MAC = "02:54:4e:00:00:b1"
PORT = 7000

try:
    from scapy.all import IP, TCP, AsyncSniffer, Ether, get_if_hwaddr, sendp
except ImportError:  # pragma: no cover
    IP = None


def setUpModule():
    global SANDBOX
    if IP is None:
        raise unittest.SkipTest("scapy is not installed (python3-scapy)")
    SANDBOX = netlib.Sandbox(net=NET)
    SANDBOX.pin_neighbour(SANDBOX.stack_ip, STACK_MAC)


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()


def crafted(sport, dport, **tcp):
    """A frame from the peer's address to the stack's."""
    return (Ether(src=get_if_hwaddr(SANDBOX.peer_if), dst=STACK_MAC)
            / IP(src=SANDBOX.peer_ip, dst=SANDBOX.stack_ip) / TCP(sport=sport, dport=dport, **tcp))


def catch(match, action, wait=2.0):
    """Runs `action`, then returns the first frame from the stack whose TCP header `match`
    accepts (None when none came within `wait` seconds)."""
    ready = threading.Event()
    sniffer = AsyncSniffer(iface=SANDBOX.peer_if, filter="tcp and src host " + SANDBOX.stack_ip,
                           lfilter=lambda p: TCP in p and match(p[TCP]), count=1, timeout=wait,
                           started_callback=ready.set)
    sniffer.start()
    ready.wait(2)
    action()
    sniffer.join()
    return sniffer.results[0] if sniffer.results else None


def inject(frame):
    return lambda: sendp(frame, iface=SANDBOX.peer_if, verbose=False)


class Listener:
    """`tarnet tcp listen PORT --echo` for the time of a `with` block."""

    def __init__(self, *extra):
        self.extra = extra

    def __enter__(self):
        self.proc = SANDBOX.tarnet_start("tcp", "listen", str(PORT), "--echo", *self.extra,
                                         mac=STACK_MAC)
        if not netlib.wait_until_answering(SANDBOX.stack_ip, seconds=10):
            rc, _, err = netlib.stop(self.proc)
            raise AssertionError("tarnet tcp listen did not come up (rc %s): %s" % (rc, err))
        return self

    def __exit__(self, *_):
        netlib.stop(self.proc)

    def connect(self):
        """A kernel connection to the listener; (socket, the frame with the stack's SYN+ACK)."""
        box = []
        synack = catch(lambda t: t.sport == PORT and t.flags == "SA",
                       lambda: box.append(socket.create_connection((SANDBOX.stack_ip, PORT), 5)))
        box[0].settimeout(5)
        return box[0], synack


class BlindAttacks(unittest.TestCase):
    def echoes(self, sock, data):
        sock.sendall(data)
        got = b""
        while len(got) < len(data):
            got += sock.recv(4096)
        return got

    def challenge(self, sock, synack, **tcp):
        """Injects a segment on the kernel's connection; returns the stack's challenge ACK."""
        kport = sock.getsockname()[1]
        rcv_nxt = synack.ack
        frame = catch(lambda t: t.dport == kport and t.flags == "A" and t.ack == rcv_nxt,
                      inject(crafted(kport, PORT, **tcp)))
        return frame and frame[TCP]

    def test_in_window_reset_draws_a_challenge_ack(self):
        with Listener() as listener:
            sock, frame = listener.connect()
            synack = frame[TCP]
            with sock:
                ack = self.challenge(sock, synack, flags="R", seq=synack.ack + 1000)
                self.assertIsNotNone(ack, "no challenge ACK")
                self.assertEqual(ack.seq, synack.seq + 1)
                self.assertEqual(self.echoes(sock, b"still up"), b"still up")

    def test_syn_on_an_established_connection_draws_a_challenge_ack(self):
        with Listener() as listener:
            sock, frame = listener.connect()
            synack = frame[TCP]
            with sock:
                ack = self.challenge(sock, synack, flags="S", seq=synack.ack + 77)
                self.assertIsNotNone(ack, "no challenge ACK")
                self.assertEqual(self.echoes(sock, b"still up"), b"still up")
                # The exact RST still ends the connection: the kernel's next data is reset.
                inject(crafted(sock.getsockname()[1], PORT, flags="R",
                               seq=synack.ack + len(b"still up")))()
                sock.sendall(b"gone?")
                with self.assertRaises(ConnectionResetError):
                    sock.recv(100)

    def test_isns_of_successive_connections_do_not_follow(self):
        """With the clock term alone two ISNs differ by 256 per elapsed millisecond; the keyed
        hash of the four-tuple puts them anywhere. --isn (the predictable mode) shows that the
        measurement would see the clock term."""
        def deviation(extra):
            with Listener(*extra) as listener:
                seen = []
                for _ in range(2):
                    sock, synack = listener.connect()
                    sock.close()
                    seen.append((synack[TCP].seq, float(synack.time)))
            (isn1, t1), (isn2, t2) = seen
            off = (isn2 - isn1 - round((t2 - t1) * 1000) * 256) % 2**32
            return min(off, 2**32 - off)
        self.assertLess(deviation(["--isn", "1000"]), 2**16)
        self.assertGreater(deviation([]), 2**16)


class UnmatchedSegments(unittest.TestCase):
    def test_segments_to_a_closed_port_are_reset(self):
        cases = [  # (flags, payload, expected flags, seq, ack)
            ("A", b"", "R", 5000, 0),
            ("PA", b"data", "R", 5000, 0),
            ("P", b"xyz", "RA", 0, 1003),
            ("F", b"", "RA", 0, 1001),
        ]
        with Listener():
            for sport, (flags, payload, want, seq, ack) in enumerate(cases, 41000):
                with self.subTest(flags=flags):
                    frame = crafted(sport, PORT + 1, flags=flags, seq=1000, ack=5000) / payload
                    rst = catch(lambda t, p=sport: t.dport == p, inject(frame))
                    self.assertIsNotNone(rst, "no reset")
                    rst = rst[TCP]
                    self.assertEqual((str(rst.flags), rst.seq, rst.ack), (want, seq, ack))


if __name__ == "__main__":
    unittest.main()
