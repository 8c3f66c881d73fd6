"""Crafted IPv4 and UDP from the peer namespace (scapy) against tarnet in the stack namespace:
IP options and repeated fragments are taken, invalid sources and unicast datagrams in broadcast
frames are not answered, and the datagrams the stack sends carry a valid UDP checksum.

Run through tests/net/run (root only); needs Debian's python3-scapy.
"""

import logging
import time
import unittest

import netlib

try:
    logging.getLogger("scapy.runtime").setLevel(logging.ERROR)
    from scapy.all import (ICMP, IP, UDP, AsyncSniffer, Ether, IPOption, Raw, conf, fragment,
                           get_if_hwaddr, raw, sendp)
except ImportError:  # the whole module is skipped below
    conf = None

SANDBOX = None
STACK_MAC = "02:54:4e:00:00:3c"
SNIFF_WAIT = 0.6  # seconds an answer gets after the last crafted frame


def setUpModule():
    global SANDBOX
    if conf is None:
        raise unittest.SkipTest("scapy is not installed (python3-scapy)")
    conf.verb = 0
    SANDBOX = netlib.Sandbox()


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()


def from_stack(frame):
    return frame.haslayer(Ether) and frame[Ether].src == STACK_MAC


class Exchange:
    """Sends crafted frames and collects every frame the stack sends meanwhile."""

    def __init__(self):
        self.sniffer = AsyncSniffer(iface=SANDBOX.peer_if, lfilter=from_stack, store=True)

    def run(self, frames):
        self.sniffer.start()
        time.sleep(0.2)  # the capture socket must be open before the first frame leaves
        for frame in frames:
            sendp(frame, iface=SANDBOX.peer_if)
        time.sleep(SNIFF_WAIT)
        return self.sniffer.stop() or []


def echo_reply_ids(frames):
    """Identifiers of the echo replies among `frames` (first fragments carry the ICMP header)."""
    return [f[ICMP].id for f in frames
            if f.haslayer(IP) and f[IP].frag == 0 and f.haslayer(ICMP) and f[ICMP].type == 0]


class ServingStack(unittest.TestCase):
    """`tarnet serve` with a static address: it answers echo requests and ARP."""

    @classmethod
    def setUpClass(cls):
        cls.proc = SANDBOX.tarnet_start("serve", mac=STACK_MAC)
        if not netlib.wait_until_answering(SANDBOX.stack_ip, seconds=10):
            rc, _, err = netlib.stop(cls.proc)
            raise AssertionError("tarnet serve never answered ping (rc %s): %s" % (rc, err))
        cls.peer_mac = get_if_hwaddr(SANDBOX.peer_if)

    @classmethod
    def tearDownClass(cls):
        rc, _, err = netlib.stop(cls.proc)
        if rc != 0:
            raise AssertionError("tarnet serve ended with %s on SIGTERM: %s" % (rc, err))

    def echo(self, ident, src=None, eth_dst=STACK_MAC, ip_dst=None, options=None, size=16):
        ip = IP(src=src or SANDBOX.peer_ip, dst=ip_dst or SANDBOX.stack_ip, id=ident)
        if options is not None:
            ip.options = options
        return (Ether(src=self.peer_mac, dst=eth_dst) / ip / ICMP(id=ident, seq=1) /
                Raw(netlib.pattern(size, ident)))

    def test_echo_requests_with_ip_options_are_answered(self):
        record_route = IPOption(b"\x07\x27\x04" + bytes(36) + b"\x00")  # 9 slots, as ping -R
        nops = IPOption(b"\x01\x01\x01\x00")
        frames = [self.echo(0x0A01, options=[record_route]), self.echo(0x0A02, options=[nops])]
        self.assertEqual(sorted(echo_reply_ids(Exchange().run(frames))), [0x0A01, 0x0A02])

    def test_a_request_whose_fragments_all_come_twice_is_answered(self):
        pieces = fragment(self.echo(0x0B01, size=3000)[IP], fragsize=1024)
        frames = [Ether(src=self.peer_mac, dst=STACK_MAC) / p for p in pieces for _ in (0, 1)]
        self.assertEqual(len(frames), 6)
        self.assertIn(0x0B01, echo_reply_ids(Exchange().run(frames)))

    def test_invalid_sources_get_no_answer(self):
        net = SANDBOX.stack_ip.rsplit(".", 1)[0]
        invalid = ["0.0.0.0", "127.0.0.1", "224.0.0.1", SANDBOX.stack_ip, net + ".255"]
        frames = [self.echo(0x0C00 + i, src=src) for i, src in enumerate(invalid)]
        frames.append(self.echo(0x0CFF))  # from the peer: answered, so the stack is listening
        sent = Exchange().run(frames)
        self.assertEqual(echo_reply_ids(sent), [0x0CFF])
        # Not even an ARP request for a place to send the answer.
        self.assertEqual([f.summary() for f in sent if not f.haslayer(ICMP)], [])

    def test_unicast_in_a_broadcast_frame_gets_no_answer(self):
        broadcast = "ff:ff:ff:ff:ff:ff"
        frames = [self.echo(0x0D01, eth_dst=broadcast),
                  self.echo(0x0D02, eth_dst=broadcast, ip_dst="255.255.255.255")]
        self.assertEqual(echo_reply_ids(Exchange().run(frames)), [0x0D02])


class Udp(unittest.TestCase):

    def test_invalid_sources_are_not_delivered(self):
        net = SANDBOX.stack_ip.rsplit(".", 1)[0]
        peer_mac = get_if_hwaddr(SANDBOX.peer_if)
        proc = SANDBOX.tarnet_start("udp", "listen", "7101", "-n", "1", mac=STACK_MAC,
                                    extra=["--timeout", "10"])
        try:
            self.assertTrue(netlib.wait_until_answering(SANDBOX.stack_ip))
            for src in ["0.0.0.0", "127.0.0.1", "224.0.0.1", "240.0.0.1", SANDBOX.stack_ip,
                        net + ".255", SANDBOX.peer_ip]:
                sendp(Ether(src=peer_mac, dst=STACK_MAC) / IP(src=src, dst=SANDBOX.stack_ip) /
                      UDP(sport=5000, dport=7101) / Raw(b"from " + src.encode() + b";"),
                      iface=SANDBOX.peer_if)
            out, err = proc.communicate(timeout=10)
        finally:
            if proc.poll() is None:
                netlib.stop(proc)
        self.assertEqual(proc.returncode, 0, err.decode(errors="replace"))
        self.assertEqual(out, b"from " + SANDBOX.peer_ip.encode() + b";")

    def test_our_datagrams_carry_a_valid_checksum(self):
        sniffer = AsyncSniffer(iface=SANDBOX.peer_if, store=True,
                               lfilter=lambda f: from_stack(f) and f.haslayer(UDP))
        sniffer.start()
        time.sleep(0.2)
        proc = SANDBOX.tarnet("udp", "send", SANDBOX.peer_ip, "7102", "checksummed", mac=STACK_MAC)
        time.sleep(0.2)
        frames = sniffer.stop() or []
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(len(frames), 1)
        udp = frames[0][UDP]
        self.assertNotEqual(udp.chksum, 0)
        sent = udp.chksum
        rebuilt = frames[0][IP].copy()
        rebuilt[UDP].chksum = None
        self.assertEqual(IP(raw(rebuilt))[UDP].chksum, sent)


if __name__ == "__main__":
    unittest.main()
