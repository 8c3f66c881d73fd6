"""The DHCP client against a scripted, partly hostile DHCP server on the wire (scapy).

A scripted server in the peer namespace answers the stack's DISCOVERs and REQUESTs as each test
says, and a rogue server on the same link (another address and MAC) answers first with what a
forger would send. The client must take only what its chosen server says, for the address it
chose, and refuse offers of addresses no host may hold. Run through tests/net/run (root only).
"""

import re
import threading
import time
import unittest

import netlib

try:
    from scapy.all import ARP, BOOTP, DHCP, ICMP, IP, UDP, AsyncSniffer, Ether, conf, sendp
    from scapy.layers.dhcp import DHCPTypes
    conf.verb = 0
    HAVE_SCAPY = True
except ImportError:  # the unit still loads; the tests say why they skip
    HAVE_SCAPY = False

SANDBOX = None
NET = "192.0.2"
STACK_MAC = "02:54:4e:00:00:61"
SERVER_IP = NET + ".1"
ROGUE_IP = NET + ".66"
ROGUE_MAC = "02:0d:0e:0a:0d:66"
GOOD = NET + ".50"
LEASE_LINE = re.compile(r"^lease: address (\S+) ")


def setUpModule():
    global SANDBOX
    if HAVE_SCAPY:
        SANDBOX = netlib.Sandbox(net=NET)


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()


def mac_bytes(mac):
    return bytes(int(part, 16) for part in mac.split(":"))


class ScriptedServer:
    """Sniffs the client's DHCP messages and ARP probes; hands each DHCP message to `script`,
    which returns the replies to send. Keeps what the client sent, in order."""

    def __init__(self, iface, script):
        self.iface = iface
        self.script = script
        self.server_mac = None
        self.seen = []  # (message type, requested address or yiaddr, ciaddr, xid)
        self.probes = []
        self.lock = threading.Lock()
        self.sniffer = AsyncSniffer(iface=iface, store=False, prn=self._on_frame,
                                    lfilter=lambda p: p.haslayer(BOOTP) or p.haslayer(ARP))

    def start(self, server_mac):
        self.server_mac = server_mac
        self.sniffer.start()
        time.sleep(0.3)  # the capture socket is open before the client starts

    def stop(self):
        self.sniffer.stop()

    def _on_frame(self, frame):
        if frame.haslayer(ARP):
            if frame[ARP].op == 1 and frame[ARP].psrc == "0.0.0.0":
                with self.lock:
                    self.probes.append(frame[ARP].pdst)
            return
        # ICMP errors quote our own replies: not the client's.
        if ICMP in frame or UDP not in frame or frame[UDP].dport != 67 or frame[BOOTP].op != 1:
            return
        options = dict(o for o in frame[DHCP].options if isinstance(o, tuple) and len(o) == 2)
        kind = DHCPTypes.get(options.get("message-type"), options.get("message-type"))
        with self.lock:
            self.seen.append((kind, options.get("requested_addr"), frame[BOOTP].ciaddr,
                              frame[BOOTP].xid, options.get("server_id")))
        for reply in self.script(kind, frame[BOOTP].xid, options) or []:
            sendp(reply, iface=self.iface)

    def kinds(self):
        with self.lock:
            return [entry[0] for entry in self.seen]


def reply(kind, xid, yiaddr, server_ip=SERVER_IP, server_mac=None, lease=120):
    """A broadcast BOOTREPLY of `kind` ("offer", "ack", "nak") for the stack's MAC."""
    options = [("message-type", kind), ("server_id", server_ip)]
    if kind != "nak":
        options += [("lease_time", lease), ("subnet_mask", "255.255.255.0"),
                    ("router", SERVER_IP)]
    options.append("end")
    return (Ether(dst="ff:ff:ff:ff:ff:ff", src=server_mac) /
            IP(src=server_ip, dst="255.255.255.255") / UDP(sport=67, dport=68) /
            BOOTP(op=2, xid=xid, yiaddr=yiaddr, chaddr=mac_bytes(STACK_MAC) + b"\0" * 10) /
            DHCP(options=options))


@unittest.skipUnless(HAVE_SCAPY, "scapy is not installed (python3-scapy)")
class HostileDhcp(unittest.TestCase):

    def run_client(self, script, seconds=6):
        """Runs `tarnet serve` against the scripted server; returns (lease addresses printed,
        server)."""
        server = ScriptedServer(SANDBOX.peer_if, script)
        server_mac = SANDBOX.peer("cat", "/sys/class/net/%s/address" % SANDBOX.peer_if).strip()
        server.start(server_mac)
        self.server_mac = server_mac
        try:
            proc = SANDBOX.tarnet("serve", "--seconds", str(seconds), dhcp=True, mac=STACK_MAC,
                                  timeout=seconds + 15, extra=["--timeout", str(seconds + 5)])
        finally:
            server.stop()
        out = proc.stdout.decode(errors="replace").splitlines()
        leases = [m.group(1) for m in map(LEASE_LINE.match, out) if m]
        return leases, out, server

    def test_a_forged_nak_from_another_server_is_ignored(self):
        def script(kind, xid, options):
            if kind == "discover":
                return [reply("offer", xid, GOOD, server_mac=self.server_mac)]
            if kind == "request" and options.get("server_id") == SERVER_IP:
                return [reply("nak", xid, "0.0.0.0", ROGUE_IP, ROGUE_MAC),
                        reply("ack", xid, GOOD, server_mac=self.server_mac)]
            return []
        leases, out, server = self.run_client(script)
        self.assertEqual(leases[:1], [GOOD], out)
        self.assertNotIn("lease lost: the stack has no address now", out)
        self.assertEqual(server.kinds().count("discover"), 1, server.seen)

    def test_a_rogue_ack_for_another_address_is_ignored(self):
        def script(kind, xid, options):
            if kind == "discover":
                return [reply("offer", xid, GOOD, server_mac=self.server_mac)]
            if kind == "request" and options.get("server_id") == SERVER_IP:
                return [reply("ack", xid, NET + ".77", ROGUE_IP, ROGUE_MAC),
                        reply("ack", xid, NET + ".78", server_mac=self.server_mac),
                        reply("ack", xid, GOOD, server_mac=self.server_mac)]
            return []
        leases, out, server = self.run_client(script)
        self.assertEqual(leases[:1], [GOOD], out)
        self.assertEqual(server.probes[:1], [GOOD])

    def test_offers_of_impossible_addresses_are_refused(self):
        bad = ["255.255.255.255", "127.0.0.1", "224.0.0.5", "240.0.0.1", "0.0.0.0", SERVER_IP,
               NET + ".255"]

        def script(kind, xid, options):
            if kind == "discover":
                offers = [reply("offer", xid, address, server_mac=self.server_mac)
                          for address in bad]
                return offers + [reply("offer", xid, GOOD, server_mac=self.server_mac)]
            if kind == "request":
                return [reply("ack", xid, options.get("requested_addr"),
                              server_mac=self.server_mac)]
            return []
        leases, out, server = self.run_client(script)
        self.assertEqual(leases[:1], [GOOD], out)
        requested = [entry[1] for entry in server.seen if entry[0] == "request"]
        self.assertEqual(requested[:1], [GOOD], server.seen)

    def test_an_address_another_station_holds_is_declined(self):
        taken = NET + ".51"

        def script(kind, xid, options):
            if kind == "discover":
                return [reply("offer", xid, taken, server_mac=self.server_mac)]
            if kind == "request":
                return [reply("ack", xid, taken, server_mac=self.server_mac)]
            return []
        # The peer kernel holds the address, so it answers the stack's probe for it.
        SANDBOX.peer("ip", "addr", "add", taken + "/24", "dev", SANDBOX.peer_if)
        try:
            leases, out, server = self.run_client(script, seconds=3)
        finally:
            SANDBOX.peer("ip", "addr", "del", taken + "/24", "dev", SANDBOX.peer_if)
        self.assertEqual(leases, [], out)
        self.assertIn("decline", server.kinds(), server.seen)
        decline = [entry for entry in server.seen if entry[0] == "decline"][0]
        self.assertEqual((decline[1], decline[4]), (taken, SERVER_IP))


if __name__ == "__main__":
    unittest.main()
