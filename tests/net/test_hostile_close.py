"""Hostile peers at the end of a connection, crafted with scapy in the peer namespace against
`tarnet tcp listen --echo`: a peer that shuts its window, closes and goes silent must not hold
the stack's connection forever.

The kernel of the peer namespace knows nothing of the crafted connection and would reset it;
an nftables rule drops the kernel's own resets for the test's port (frames sent with scapy do
not pass through it). Run through tests/net/run (root only).
"""

import random
import time
import unittest

import netlib

from scapy.all import AsyncSniffer, Ether, IP, TCP, get_if_hwaddr, sendp

SANDBOX = None
STACK_MAC = "02:54:4e:00:00:5c"
NFT_TABLE = "tarnet_hostile"


def setUpModule():
    global SANDBOX
    SANDBOX = netlib.Sandbox(net="198.51.100")


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()


class SilentPeer(unittest.TestCase):

    def setUp(self):
        self.port = random.randrange(20000, 30000)
        self.sport = random.randrange(40000, 50000)
        SANDBOX.peer("nft", "add table inet %s" % NFT_TABLE)
        SANDBOX.peer("nft", "add chain inet %s out { type filter hook output priority 0; }"
                     % NFT_TABLE)
        SANDBOX.peer("nft", "add rule inet %s out tcp sport %d tcp flags rst drop"
                     % (NFT_TABLE, self.sport))
        self.proc = SANDBOX.tarnet_start("tcp", "listen", str(self.port), "--echo", "-n", "1",
                                         mac=STACK_MAC)
        if not netlib.wait_until_answering(SANDBOX.stack_ip, seconds=10):
            netlib.stop(self.proc)
            raise AssertionError("tarnet tcp listen did not come up")
        self.ether = Ether(src=get_if_hwaddr(SANDBOX.peer_if), dst=STACK_MAC)
        self.ip = IP(src=SANDBOX.peer_ip, dst=SANDBOX.stack_ip)
        self.seen = []  # TCP segments from the stack to the crafted connection, as they come
        self.sniffer = AsyncSniffer(
            iface=SANDBOX.peer_if, store=False,
            lfilter=lambda p: TCP in p and p[IP].src == SANDBOX.stack_ip
            and p[TCP].dport == self.sport,
            prn=lambda p: self.seen.append(p[TCP]))
        self.sniffer.start()
        time.sleep(0.2)  # the capture is open before anything is sent

    def tearDown(self):
        if self.sniffer.running:
            self.sniffer.stop()
        netlib.stop(self.proc)
        SANDBOX.peer("nft", "delete table inet %s" % NFT_TABLE, check=False)

    def send(self, flags, seq, ack, payload=b""):
        segment = TCP(sport=self.sport, dport=self.port, flags=flags, seq=seq, ack=ack, window=0)
        sendp(self.ether / self.ip / segment / payload, iface=SANDBOX.peer_if, verbose=False)

    def from_stack(self, predicate, seconds):
        """The first segment from the stack that satisfies `predicate`, within `seconds`."""
        found = []
        netlib.wait_for(lambda: found.extend(t for t in list(self.seen) if predicate(t)) or found,
                        seconds)
        return found[0] if found else None

    def test_zero_window_fin_and_silence_end_in_a_reset(self):
        self.send("S", 1000, 0)
        syn_ack = self.from_stack(lambda t: t.flags == "SA", 5)
        self.assertIsNotNone(syn_ack, "no SYN+ACK")
        ours = syn_ack.seq + 1
        # Data that the echo wants to send back into a window of 0, then our FIN; then nothing.
        self.send("A", 1001, ours)
        self.send("PA", 1001, ours, b"hello")
        self.send("FA", 1006, ours)
        start = time.monotonic()
        reset = self.from_stack(lambda t: "R" in t.flags, 45)
        elapsed = time.monotonic() - start
        self.assertIsNotNone(reset, "the stack never gave up on the silent peer")
        self.assertEqual(reset.seq, ours)
        # LAST_ACK's limit: 30 s without a new acknowledgment.
        self.assertGreater(elapsed, 28)
        self.assertLess(elapsed, 35)
        probes = [t for t in self.seen if t.flags == "A" and t.seq == ours - 1]
        self.assertGreaterEqual(len(probes), 3, "zero-window probes went out meanwhile")
        # With its one connection ended, `tcp listen -n 1` finishes by itself.
        self.assertTrue(netlib.wait_for(lambda: self.proc.poll() is not None, 5))


if __name__ == "__main__":
    unittest.main()
