"""The stack against the Linux kernel's own IPv4, ICMP, UDP and ARP, over a veth pair.

Run through tests/net/run (root only).
"""

import re
import signal
import socket
import struct
import subprocess
import time
import unittest

import netlib

SANDBOX = None
STACK_MAC = "02:54:4e:00:00:2a"


def setUpModule():
    global SANDBOX
    SANDBOX = netlib.Sandbox()


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()


class ServingStack(unittest.TestCase):
    """A `tarnet serve` instance for the whole class."""

    impair = None

    @classmethod
    def setUpClass(cls):
        extra = ["--impair", cls.impair] if cls.impair else []
        cls.proc = SANDBOX.tarnet_start("serve", mac=STACK_MAC, extra=extra)
        if cls.impair:
            # Impaired ARP would only slow the test down: tell the kernel our address. The
            # stack still has to find the kernel's; an impaired ARP exchange can outlast IPv4's
            # single 50 ms retry, so the first echoes may go unanswered.
            SANDBOX.pin_neighbour(SANDBOX.stack_ip, STACK_MAC)
        if not netlib.wait_until_answering(SANDBOX.stack_ip, seconds=10,
                                           wait=0.5 if cls.impair else 0.2):
            rc, out, err = netlib.stop(cls.proc)
            raise AssertionError("tarnet serve never answered ping (rc %s): %s" % (rc, err))
        cls.pinger = netlib.Pinger()

    @classmethod
    def tearDownClass(cls):
        cls.pinger.close()
        rc, _, err = netlib.stop(cls.proc)
        if cls.impair:
            SANDBOX.peer("ip", "neigh", "del", SANDBOX.stack_ip, "dev", SANDBOX.peer_if,
                         check=False)
        if rc != 0:
            raise AssertionError("tarnet serve ended with %s on SIGTERM: %s" % (rc, err))


class KernelPingsStack(ServingStack):

    def test_echo_of_every_size_up_to_the_reassembly_limit(self):
        # 1472 data bytes fill one 1500-byte frame from the kernel; 1473 to 2952 take two
        # fragments, 2953 and more three. The replies come back in 1376-byte fragments.
        sizes = [0, 1, 2, 7, 8, 9, 56, 100, 1000, 1367, 1368, 1369, 1471, 1472, 1473, 2000,
                 2744, 2745, 2952, 2953, 3500, 4087, 4088]
        for size in sizes:
            payload = netlib.pattern(size, size)
            reply = self.pinger.echo(SANDBOX.stack_ip, payload)
            self.assertIsNotNone(reply, "no reply to an echo request of %d bytes" % size)
            self.assertEqual(reply, payload, "reply to %d bytes differs" % size)

    def test_request_beyond_the_reassembly_limit_is_not_answered(self):
        self.assertIsNone(self.pinger.echo(SANDBOX.stack_ip, bytes(4089), wait=0.5))
        # ... and the stack still answers afterwards.
        self.assertEqual(self.pinger.echo(SANDBOX.stack_ip, b"after"), b"after")

    def test_request_with_a_bad_checksum_is_not_answered(self):
        raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
        try:
            ident = 0x7A7A

            def request(seq, good):
                body = struct.pack("!BBHHH", 8, 0, 0, ident, seq) + b"checksum test"
                csum = netlib.checksum(body)
                if not good:
                    csum ^= 0x0101
                return body[:2] + struct.pack("!H", csum) + body[4:]

            def reply_seqs(wait):
                seqs = []
                deadline = time.monotonic() + wait
                while time.monotonic() < deadline:
                    raw.settimeout(max(deadline - time.monotonic(), 0.01))
                    try:
                        data, _ = raw.recvfrom(2048)
                    except socket.timeout:
                        break
                    icmp = data[(data[0] & 0x0F) * 4:]
                    if icmp[0] == 0 and struct.unpack("!H", icmp[4:6])[0] == ident:
                        seqs.append(struct.unpack("!H", icmp[6:8])[0])
                return seqs

            raw.sendto(request(1, good=False), (SANDBOX.stack_ip, 0))
            raw.sendto(request(2, good=True), (SANDBOX.stack_ip, 0))
            self.assertEqual(reply_seqs(0.5), [2])
        finally:
            raw.close()

    def test_kernel_ping_with_record_route_is_answered(self):
        # The options are ignored (RFC 1122 3.2.1.8): the replies come back without them.
        out = SANDBOX.peer("ping", "-R", "-n", "-c", "3", "-i", "0.2", "-W", "1",
                           SANDBOX.stack_ip, check=False)
        self.assertIn("3 packets transmitted, 3 received", out)

    def test_the_kernel_learns_our_mac_by_arp(self):
        SANDBOX.peer("ip", "neigh", "flush", "dev", SANDBOX.peer_if)
        self.assertEqual(self.pinger.echo(SANDBOX.stack_ip, b"arp"), b"arp")
        entry = SANDBOX.neighbour(SANDBOX.stack_ip)
        self.assertIn("lladdr " + STACK_MAC, entry)
        self.assertNotIn("FAILED", entry)
        self.assertNotIn("INCOMPLETE", entry)

    def test_a_burst_of_requests_is_answered_completely(self):
        payloads = {}
        for i in range(200):
            payload = netlib.pattern(64, 1000 + i)
            payloads[self.pinger.send(SANDBOX.stack_ip, payload)] = payload
        got = {seq: data for seq, data, _ in self.pinger.replies(1.0)}
        self.assertEqual(got, payloads)


class CountersOnSignal(ServingStack):
    """SIGUSR1 makes `tarnet serve` print the stack's counters and go on serving."""

    @classmethod
    def tearDownClass(cls):
        cls.pinger.close()
        netlib.stop(cls.proc)  # the test has stopped it already and checked how it ended

    def test_sigusr1_prints_the_counters_and_serving_goes_on(self):
        self.assertEqual(self.pinger.echo(SANDBOX.stack_ip, b"counted"), b"counted")
        self.proc.send_signal(signal.SIGUSR1)
        time.sleep(0.3)
        self.assertEqual(self.pinger.echo(SANDBOX.stack_ip, b"still"), b"still")
        rc, out, err = netlib.stop(self.proc)
        self.assertEqual(rc, 0, err)
        text = out.decode(errors="replace")
        icmp = re.search(r"counters icmp: in (\d+), out (\d+)", text)
        self.assertIsNotNone(icmp, text)
        self.assertGreaterEqual(int(icmp.group(1)), 1)
        self.assertGreaterEqual(int(icmp.group(2)), 1)
        self.assertIn("checksum 0,", text)


class OwnFramesStayOutOfTheCapture(unittest.TestCase):
    """Frames the stack sends must not come back through its capture: each would wake the loop
    for a read that hands the stack nothing. `serve -v` counts such reads at exit."""

    FLOOD = 2000

    def test_a_flood_ping_wakes_the_loop_once_per_request(self):
        proc = SANDBOX.tarnet_start("serve", mac=STACK_MAC, extra=["-v"])
        self.addCleanup(lambda: proc.poll() is not None or netlib.stop(proc))
        self.assertTrue(netlib.wait_until_answering(SANDBOX.stack_ip, seconds=10))
        flood = SANDBOX.peer("ping", "-n", "-q", "-f", "-c", str(self.FLOOD), "-W", "1",
                             SANDBOX.stack_ip, check=False)
        rc, _, err = netlib.stop(proc)
        self.assertEqual(rc, 0, err)
        self.assertIn("%d received" % self.FLOOD, flood)
        m = re.search(r"frames captured (\d+), sent (\d+),.* reads without a frame (\d+)", err)
        self.assertIsNotNone(m, err)
        captured, sent, empty = (int(v) for v in m.groups())
        self.assertGreaterEqual(captured, self.FLOOD)
        self.assertGreaterEqual(sent, self.FLOOD)
        # Own frames coming back would make about one empty read per reply sent.
        self.assertLess(empty, self.FLOOD // 20, err)


class CaptureRing(unittest.TestCase):
    """The capture ring holds 2048 frames of the link's own size (libpcap's slots follow the MTU,
    and grow to 64 KiB with offloads on), up to 32 MiB. `-v` names the size chosen."""

    def ring_kib(self):
        done = SANDBOX.tarnet("serve", "--seconds", "1", mac=STACK_MAC, extra=["-v"])
        m = re.search(r"capture ring of (\d+) KiB", done.stderr)
        self.assertIsNotNone(m, done.stderr)
        return int(m.group(1))

    def test_the_ring_follows_the_frames_the_link_can_deliver(self):
        dev = ["ip", "link", "set", "dev", SANDBOX.stack_if]
        run = lambda *a: subprocess.run(["ip", "netns", "exec", SANDBOX.stack_ns, *a],
                                        check=True, capture_output=True)
        self.addCleanup(run, *dev, "mtu", "1500")
        self.addCleanup(run, "ethtool", "-K", SANDBOX.stack_if, "gro", "off")
        self.assertEqual(self.ring_kib(), 4096)  # MTU 1500, offloads off: 2048 slots of 2 KiB
        run(*dev, "mtu", "4000")
        self.assertEqual(self.ring_kib(), 16384)
        run(*dev, "mtu", "1500")
        run("ethtool", "-K", SANDBOX.stack_if, "gro", "on")
        self.assertEqual(self.ring_kib(), 32768)  # 64 KiB slots: the cap


class StackPingsKernel(unittest.TestCase):

    def test_tarnet_ping_reaches_the_kernel(self):
        proc = SANDBOX.tarnet("ping", SANDBOX.peer_ip, "-c", "3", "-s", "100")
        out = proc.stdout.decode()
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(out.count("108 bytes from %s: icmp_seq=" % SANDBOX.peer_ip), 3, out)
        self.assertIn("3 packets transmitted, 3 received, 0% packet loss", out)
        self.assertIn("rtt min/avg/max/mdev = ", out)

    def test_tarnet_ping_with_fragmented_requests_and_replies(self):
        proc = SANDBOX.tarnet("ping", SANDBOX.peer_ip, "-c", "2", "-s", "4088")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn(b"2 packets transmitted, 2 received", proc.stdout)

    def test_tarnet_ping_paced_and_quiet_prints_only_the_summary(self):
        proc = SANDBOX.tarnet("ping", SANDBOX.peer_ip, "-c", "4", "-i", "0.3", "-q")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        lines = proc.stdout.decode().splitlines()
        self.assertEqual(len(lines), 4, lines)
        self.assertEqual(lines[0], "PING %s: 56 data bytes" % SANDBOX.peer_ip)
        self.assertEqual(lines[1], "--- %s ping statistics ---" % SANDBOX.peer_ip)
        m = re.fullmatch(r"4 packets transmitted, 4 received, 0% packet loss, time (\d+)ms",
                         lines[2])
        self.assertIsNotNone(m, lines)
        self.assertGreaterEqual(int(m.group(1)), 900)  # the fourth request left 0.9 s in
        self.assertRegex(lines[3], r"^rtt min/avg/max/mdev = (\d+\.\d{3}/){3}\d+\.\d{3} ms$")

    def test_tarnet_ping_of_a_silent_address_fails(self):
        proc = SANDBOX.tarnet("ping", SANDBOX.spare_ip, "-c", "2", "-W", "200")
        self.assertEqual(proc.returncode, 1)
        self.assertIn("2 packets transmitted, 0 received, 100% packet loss", proc.stdout.decode())
        self.assertIn("no reply from " + SANDBOX.spare_ip, proc.stderr)


class Udp(unittest.TestCase):

    def test_kernel_to_stack_including_fragmented_datagrams(self):
        accepted = [netlib.pattern(n, n) for n in (1, 100, 1472, 1473, 3000, 4088)]
        too_big = bytes(4089)  # 4097 bytes of IPv4 payload: beyond reassembly, dropped
        last = b"last datagram"
        proc = SANDBOX.tarnet_start("udp", "listen", "7001", "-n", str(len(accepted) + 1),
                                    extra=["--timeout", "20"])
        try:
            self.assertTrue(netlib.wait_until_answering(SANDBOX.stack_ip))
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            for payload in accepted + [too_big, last]:
                sock.sendto(payload, (SANDBOX.stack_ip, 7001))
            sock.close()
            out, err = proc.communicate(timeout=20)
        finally:
            if proc.poll() is None:
                netlib.stop(proc)
        self.assertEqual(proc.returncode, 0, err.decode(errors="replace"))
        self.assertEqual(out, b"".join(accepted) + last)

    def test_stack_to_kernel_including_a_datagram_we_fragment(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind((SANDBOX.peer_ip, 7002))
        sock.settimeout(5)
        try:
            for text in (b"hello from tarnet", bytes(range(65, 91)) * 57 + b"abcdefghijklmnopqr"):
                proc = SANDBOX.tarnet("udp", "send", SANDBOX.peer_ip, "7002", text.decode())
                self.assertEqual(proc.returncode, 0, proc.stderr)
                data, (address, port) = sock.recvfrom(4096)
                self.assertEqual(data, text)
                self.assertEqual(address, SANDBOX.stack_ip)
                self.assertGreaterEqual(port, 10000)
        finally:
            sock.close()
        self.assertEqual(len(text), 1500)  # the second datagram: 1508 bytes, two fragments

    def test_send_to_a_silent_neighbour_fails_clearly(self):
        proc = SANDBOX.tarnet("udp", "send", SANDBOX.spare_ip, "7002", "nobody")
        self.assertEqual(proc.returncode, 1)
        self.assertIn("no ARP reply from " + SANDBOX.spare_ip, proc.stderr)

    def test_send_off_the_subnet_without_a_gateway_fails_clearly(self):
        proc = SANDBOX.tarnet("udp", "send", "198.51.100.1", "7002", "far")
        self.assertEqual(proc.returncode, 1)
        self.assertIn("outside the local subnet", proc.stderr)


class CommandLine(unittest.TestCase):

    def test_serve_ends_by_itself_after_its_seconds(self):
        start = time.monotonic()
        proc = SANDBOX.tarnet("serve", "--seconds", "1")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertLess(time.monotonic() - start, 5)

    def test_usage_errors_exit_2_with_one_clear_line(self):
        cases = [
            (["--ip", "", "serve"], "--ip: '' is not a usable IPv4 address"),
            (["--ip", SANDBOX.stack_ip, "--dhcp", "serve"], "exclude each other"),
            (["--mac", "02:54:4e:00:00", "serve"], "six hexadecimal pairs"),
            (["--ip", "1.2.3.256", "serve"], "--ip"),
            (["ping"], "usage"),
            (["ping", SANDBOX.peer_ip, "-s", "4089"], "-s"),
            (["ping", SANDBOX.peer_ip, "-i", "0.001"], "-i"),
            (["ping", SANDBOX.peer_ip, "-i", "1,5"], "-i"),
            (["udp", "send", SANDBOX.peer_ip, "70000", "x"], "PORT"),
            (["frobnicate"], "unknown command"),
        ]
        for args, text in cases:
            cmd = ["ip", "netns", "exec", SANDBOX.stack_ns, netlib.TARNET, "-i",
                   SANDBOX.stack_if]
            if args[0] != "--ip":
                cmd += ["--ip", SANDBOX.stack_ip]
            proc = subprocess.run(cmd + args, capture_output=True, text=True, timeout=10)
            self.assertEqual(proc.returncode, 2, (args, proc.stderr))
            self.assertIn(text, proc.stderr, args)

    def test_without_a_dhcp_server_the_command_fails_within_its_timeout(self):
        start = time.monotonic()
        proc = subprocess.run(["ip", "netns", "exec", SANDBOX.stack_ns, netlib.TARNET, "-i",
                               SANDBOX.stack_if, "--timeout", "2", "ping", SANDBOX.peer_ip],
                              capture_output=True, text=True, timeout=10)
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(proc.stderr.strip().splitlines(),
                         ["tarnet: no DHCP lease on %s within 2 s" % SANDBOX.stack_if])
        self.assertEqual(proc.stdout, "")
        self.assertLess(time.monotonic() - start, 5)

    def test_unknown_adapter_fails(self):
        proc = subprocess.run(["ip", "netns", "exec", SANDBOX.stack_ns, netlib.TARNET, "-i",
                               "no-such-if", "--ip", SANDBOX.stack_ip, "serve"],
                              capture_output=True, text=True, timeout=10)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("Local adapter not selected from list", proc.stderr)

    def test_adapters_lists_the_sandbox_interface(self):
        out = subprocess.run(["ip", "netns", "exec", SANDBOX.stack_ns, netlib.TARNET,
                              "adapters"], capture_output=True, text=True, timeout=10).stdout
        self.assertRegex(out, r"\[\d+\] %s\b" % SANDBOX.stack_if)


class ImpairedLoss(ServingStack):
    impair = "loss=50,seed=3"

    def test_about_a_quarter_of_the_echoes_survive_half_loss_each_way(self):
        for i in range(80):
            self.pinger.send(SANDBOX.stack_ip, b"x%d" % i)
        got = self.pinger.replies(1.0)
        self.assertGreater(len(got), 5)
        self.assertLess(len(got), 40)


class ImpairedDelay(ServingStack):
    impair = "delay=100,seed=1"

    def test_both_directions_are_delayed(self):
        start = time.monotonic()
        self.assertEqual(self.pinger.echo(SANDBOX.stack_ip, b"slow"), b"slow")
        self.assertGreaterEqual(time.monotonic() - start, 0.195)


class ImpairedDuplication(ServingStack):
    impair = "dup=100,seed=1"

    def test_each_direction_doubles_every_frame(self):
        seq = self.pinger.send(SANDBOX.stack_ip, b"twice")
        got = [s for s, data, _ in self.pinger.replies(0.5) if s == seq and data == b"twice"]
        self.assertEqual(len(got), 4)  # two requests arrive, each reply leaves twice


if __name__ == "__main__":
    unittest.main()
