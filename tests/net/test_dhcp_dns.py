"""The stack's DHCP client and DNS resolver against dnsmasq in the peer namespace.

The sandbox's dnsmasq (scripts/netns-sandbox --dnsmasq) leases addresses NET.50 to NET.59 for
2 minutes with T1 = 5 s and T2 = 8 s, and answers for tarnet.test: peer (NET.1), web (NET.80),
alias (CNAME to peer), chain (CNAME to alias); other names there get NXDOMAIN, names elsewhere
REFUSED. Run through tests/net/run (root only).
"""

import os
import re
import signal
import socket
import subprocess
import time
import unittest

import netlib

SANDBOX = None
NET = "198.51.100"
STACK_MAC = "02:54:4e:00:00:51"
LEASE_LINE = re.compile(r"^lease: address (\S+) mask (\S+) router (\S+) dns (\S+) "
                        r"time (\d+) s t1 (\d+) s t2 (\d+) s$")


def setUpModule():
    global SANDBOX
    SANDBOX = netlib.Sandbox(net=NET, dnsmasq=True)


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()


def in_pool(address):
    parts = address.rsplit(".", 1)
    return parts[0] == NET and 50 <= int(parts[1]) <= 59


class Lease(unittest.TestCase):

    def start_serve(self, seconds, mac=STACK_MAC):
        proc = SANDBOX.tarnet_start("serve", "--seconds", str(seconds), dhcp=True, mac=mac,
                                    extra=["--timeout", str(seconds + 10)])
        return netlib.LineReader(proc)

    def expect_lease(self, serve, timeout):
        line = serve.next(timeout)
        self.assertIsNotNone(line, "no lease line within %s s" % timeout)
        match = LEASE_LINE.match(line)
        self.assertIsNotNone(match, line)
        address, mask, router, dns, lease, t1, t2 = match.groups()
        self.assertTrue(in_pool(address), line)
        self.assertEqual((mask, router, dns), ("255.255.255.0", SANDBOX.peer_ip, SANDBOX.peer_ip))
        self.assertEqual((lease, t1, t2), ("120", "5", "8"))
        return address

    def test_a_lease_is_installed_renewed_and_given_back(self):
        serve = self.start_serve(60)
        try:
            address = self.expect_lease(serve, 10)
            acquired = time.monotonic()
            self.assertEqual(SANDBOX.leases().get(STACK_MAC), address)

            # The address is installed: the kernel finds the stack there by ARP and gets
            # answers to its pings.
            self.assertTrue(netlib.wait_until_answering(address), "no echo reply from " + address)
            self.assertIn("lladdr " + STACK_MAC, SANDBOX.neighbour(address))

            # At T1 (5 s) the client asks its server again; the ACK is reported like the first.
            self.assertEqual(self.expect_lease(serve, 5 + 3), address)
            self.assertGreaterEqual(time.monotonic() - acquired, 4.0)
            self.assertTrue(netlib.wait_until_answering(address), "silent after the renewal")
        finally:
            rc, err = serve.stop()
        self.assertEqual(rc, 0, err)
        # Stopping gives the lease back: dnsmasq forgets it.
        self.assertTrue(netlib.wait_for(lambda: STACK_MAC not in SANDBOX.leases(), 3),
                        "dnsmasq still holds the lease: %s" % SANDBOX.leases())

    def test_a_lease_is_given_back_also_before_any_unicast_to_the_server(self):
        # Before the first renewal the stack has not yet needed the server's link address.
        mac = "02:54:4e:00:00:52"
        serve = self.start_serve(1, mac=mac)
        address = self.expect_lease(serve, 10)
        self.assertEqual(serve.next(10), None)  # the end of the output: serve stopped by itself
        rc, err = serve.stop()
        self.assertEqual(rc, 0, err)
        self.assertNotIn("could not be sent", err)
        self.assertTrue(netlib.wait_for(lambda: mac not in SANDBOX.leases(), 3),
                        "dnsmasq still holds %s: %s" % (address, SANDBOX.leases()))

    def test_verbose_shows_how_long_the_lease_took(self):
        proc = SANDBOX.tarnet("-v", "resolve", "peer.tarnet.test", dhcp=True, timeout=20,
                              extra=["--timeout", "10"])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertRegex(proc.stderr, r"DHCP lease %s\.5\d after \d+\.\d ms" % re.escape(NET))
        self.assertRegex(proc.stderr, r"DHCP lease %s\.5\d released" % re.escape(NET))


SERVER_NET = "203.0.113"
LOST_LINE = "lease lost: the stack has no address now"


class EndBeforeRelease(unittest.TestCase):
    """A command that ends with connections open ends them from its leased address before it
    gives the lease back: the kernel's socket ends cleanly instead of waiting for segments from
    an address that no longer answers."""

    def kernel_states(self, port):
        out = SANDBOX.peer("ss", "-tanH", "( sport = :%d or dport = :%d )" % (port, port))
        return sorted(line.split()[0] for line in out.splitlines() if line.strip())

    def test_tcp_connect_stopped_by_sigterm_closes_before_the_release(self):
        port = 7311
        server = socket.socket()
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        server.bind((SANDBOX.peer_ip, port))
        server.listen(1)
        server.settimeout(30)
        # stdin is a pipe kept open: the input never ends, SIGTERM ends the command.
        proc = subprocess.Popen(SANDBOX.tarnet_args("tcp", "connect", SANDBOX.peer_ip, str(port),
                                                    dhcp=True, mac=STACK_MAC,
                                                    extra=["--timeout", "30"]),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        self.addCleanup(lambda: proc.poll() is not None or netlib.stop(proc))
        conn, _ = server.accept()
        server.close()
        conn.settimeout(10)
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(netlib.recv_all(conn), b"")  # our FIN arrived
        conn.close()
        rc, _, err = netlib.stop(proc, timeout=15)
        self.assertEqual(rc, 1, err)
        # The kernel's FIN was answered from the leased address: nothing lingers on its side.
        self.assertTrue(netlib.wait_for(lambda: self.kernel_states(port) == [], 5),
                        self.kernel_states(port))

    def test_tcp_listen_stopped_with_a_connection_open_resets_it_from_the_lease(self):
        port = 7312
        serve = SANDBOX.tarnet_start("-v", "tcp", "listen", str(port), dhcp=True, mac=STACK_MAC,
                                     extra=["--timeout", "30"])
        self.addCleanup(lambda: serve.poll() is not None or netlib.stop(serve))
        address = None
        deadline = time.monotonic() + 15
        while address is None and time.monotonic() < deadline:
            leases = SANDBOX.leases()
            address = leases.get(STACK_MAC)
            time.sleep(0.1)
        self.assertIsNotNone(address, "no lease")
        sock = None
        while sock is None and time.monotonic() < deadline:
            try:
                sock = socket.create_connection((address, port), timeout=1)
            except OSError:
                time.sleep(0.2)
        self.assertIsNotNone(sock, "tcp listen did not come up")
        sock.sendall(b"hello")
        time.sleep(0.3)
        serve.send_signal(signal.SIGTERM)
        sock.settimeout(10)
        with self.assertRaises(ConnectionResetError):
            sock.recv(100)  # the reset came from the address the kernel knows
        sock.close()
        rc, _, err = netlib.stop(serve, timeout=15)
        self.assertEqual(rc, 0, err)


class DhcpServer:
    """A DHCP-only dnsmasq in the peer namespace (the test process sits there), leasing FIRST to
    LAST for 2 minutes with T1 5 s and T2 8 s, like the sandbox's own. Authoritative, so it
    answers for leases it does not hold. Its files lie in the sandbox's folder."""

    def __init__(self, sandbox, tag, interface, first, last, keep_leases=False):
        folder = sandbox.env["TARNET_SANDBOX_DIR"]
        self.pid_file = os.path.join(folder, tag + ".pid")
        self.leases_file = os.path.join(folder, tag + ".leases")
        self.log_file = os.path.join(folder, tag + ".log")
        if not keep_leases:
            open(self.leases_file, "w").close()
        subprocess.run([
            "dnsmasq", "--conf-file=/dev/null", "--user=root", "--group=root", "--port=0",
            "--pid-file=" + self.pid_file, "--log-facility=" + self.log_file, "--log-dhcp",
            "--interface=" + interface, "--except-interface=lo", "--bind-interfaces",
            "--dhcp-range=%s,%s,255.255.255.0,2m" % (first, last),
            "--dhcp-leasefile=" + self.leases_file, "--dhcp-authoritative", "--no-ping",
            "--dhcp-option=option:router," + sandbox.peer_ip,
            "--dhcp-option=option:dns-server," + sandbox.peer_ip,
            "--dhcp-option=option:T1,5", "--dhcp-option=option:T2,8"], check=True)
        if not netlib.wait_for(lambda: os.path.exists(self.pid_file)
                               and open(self.pid_file).read().strip(), 5):
            raise RuntimeError("dnsmasq %s did not start" % tag)

    def log(self):
        with open(self.log_file) as f:
            return f.read()

    def leases(self):
        with open(self.leases_file) as f:
            return {fields[1]: fields[2] for fields in (line.split() for line in f)
                    if len(fields) >= 3}


def stop_dnsmasq(pid_file):
    """Ends the dnsmasq this sandbox started, by its pid, and waits until it is gone."""
    with open(pid_file) as f:
        pid = int(f.read().strip())
    os.kill(pid, signal.SIGTERM)

    def gone():
        try:
            os.kill(pid, 0)
            return False
        except ProcessLookupError:
            return True
    if not netlib.wait_for(gone, 5):
        raise RuntimeError("dnsmasq %d did not stop" % pid)


class ServerChanges(unittest.TestCase):
    """What the client does when its server goes away, comes back, is replaced, or refuses: each
    test has a sandbox of its own, since it stops and starts DHCP servers there."""

    def setUp(self):
        self.sb = netlib.Sandbox(net=SERVER_NET, dnsmasq=True)
        self.addCleanup(self.sb.down)
        self.first_pid = os.path.join(self.sb.env["TARNET_SANDBOX_DIR"], "dnsmasq.pid")

    def serve(self, seconds):
        proc = self.sb.tarnet_start("serve", "--seconds", str(seconds), dhcp=True,
                                    mac=STACK_MAC, extra=["-v", "--timeout", str(seconds + 10)])
        reader = netlib.LineReader(proc)
        self.addCleanup(reader.stop)
        return reader

    def lease(self, serve, timeout, last=59):
        """The next line must be a lease from NET.50 to NET.<last>; returns its address."""
        line = serve.next(timeout)
        self.assertIsNotNone(line, "no lease line within %s s" % timeout)
        match = LEASE_LINE.match(line)
        self.assertIsNotNone(match, line)
        address = match.group(1)
        net, host = address.rsplit(".", 1)
        self.assertEqual(net, SERVER_NET, line)
        self.assertTrue(last - 9 <= int(host) <= last, line)
        self.assertEqual(match.groups()[4:], ("120", "5", "8"))
        return address

    def test_a_lease_outlives_a_server_outage_shorter_than_t2(self):
        serve = self.serve(30)
        address = self.lease(serve, 10)
        acquired = time.monotonic()
        stop_dnsmasq(self.first_pid)
        # The renewal at T1 (5 s) goes unanswered; the server is back before T2 (8 s), with
        # the leases it had, and the rebinding request at T2 reaches it.
        time.sleep(max(0.0, acquired + 6.0 - time.monotonic()))
        back = DhcpServer(self.sb, "back", self.sb.peer_if, SERVER_NET + ".50",
                          SERVER_NET + ".59", keep_leases=True)
        self.assertEqual(self.lease(serve, 6), address)
        self.assertTrue(netlib.wait_until_answering(address), "silent after the outage")
        self.assertIn("DHCPACK(%s) %s" % (self.sb.peer_if, address), back.log())

    def test_rebinding_moves_the_lease_to_a_second_server(self):
        # The second server answers from another address on the same link (a macvlan on the
        # peer's interface), so its server identifier differs from the first one's.
        second_if = self.sb.peer_if + "m"
        second_ip = SERVER_NET + ".4"
        self.sb.peer("sysctl", "-qw", "net.ipv4.conf.all.arp_ignore=1")
        self.sb.peer("ip", "link", "add", "link", self.sb.peer_if, "name", second_if,
                     "type", "macvlan", "mode", "bridge")
        self.sb.peer("ip", "addr", "add", second_ip + "/24", "dev", second_if)
        self.sb.peer("ip", "link", "set", second_if, "up")

        serve = self.serve(40)
        address = self.lease(serve, 10)
        stop_dnsmasq(self.first_pid)
        second = DhcpServer(self.sb, "second", second_if, SERVER_NET + ".50",
                            SERVER_NET + ".59")
        # At T2 the REQUEST goes to everyone without naming the first server, and the second
        # one extends the lease; the next renewal (T1 later) goes to it directly.
        self.assertEqual(self.lease(serve, 12), address)
        self.assertEqual(second.leases().get(STACK_MAC), address)
        self.assertEqual(self.lease(serve, 8), address)
        log = second.log()
        self.assertNotIn("wrong server-ID", log)
        self.assertGreaterEqual(log.count("DHCPACK(%s) %s" % (second_if, address)), 2, log)
        self.assertTrue(netlib.wait_until_answering(address), "silent after rebinding")

    def test_a_refused_renewal_is_followed_by_a_new_lease(self):
        serve = self.serve(30)
        address = self.lease(serve, 10)
        # The server comes back handing out other addresses only: it refuses the renewal at
        # T1, the client drops its address and asks anew.
        stop_dnsmasq(self.first_pid)
        other = DhcpServer(self.sb, "other", self.sb.peer_if, SERVER_NET + ".60",
                           SERVER_NET + ".69")
        self.assertEqual(serve.next(8), LOST_LINE)
        new_address = self.lease(serve, 5, last=69)
        self.assertIn("DHCPNAK(%s) %s" % (self.sb.peer_if, address), other.log())
        self.assertTrue(netlib.wait_until_answering(new_address), "silent on the new address")
        _, err = serve.stop()
        self.assertIn("DHCP lease %s lost" % address, err)  # the stack's address-lost event


class Names(unittest.TestCase):

    def resolve(self, name, dhcp=True, extra=("--timeout", "10"), **kw):
        proc = SANDBOX.tarnet("resolve", name, dhcp=dhcp, extra=list(extra), timeout=30, **kw)
        return proc.returncode, proc.stdout.decode(), proc.stderr

    def test_names_resolve_through_the_dns_server_of_the_lease(self):
        cases = [
            ("peer.tarnet.test", SANDBOX.peer_ip),
            ("web.tarnet.test", NET + ".80"),
            ("alias.tarnet.test", SANDBOX.peer_ip),  # one CNAME, then the A record
            ("chain.tarnet.test", SANDBOX.peer_ip),  # two CNAMEs, then the A record
        ]
        for name, expected in cases:
            rc, out, err = self.resolve(name)
            self.assertEqual((rc, out), (0, expected + "\n"), (name, err))

    def test_an_unknown_name_is_not_found(self):
        rc, out, err = self.resolve("nosuch.tarnet.test")
        self.assertEqual((rc, out), (1, ""))
        self.assertEqual(err.strip().splitlines(),
                         ["tarnet: nosuch.tarnet.test: not found (DNS server %s: no such name)"
                          % SANDBOX.peer_ip])

    def test_a_refusal_is_no_answer(self):
        rc, _, err = self.resolve("www.example.com")
        self.assertEqual(rc, 1)
        self.assertIn("no answer for www.example.com: DNS server %s answered REFUSED"
                      % SANDBOX.peer_ip, err)

    def test_a_silent_dns_server_is_no_answer_within_the_timeout(self):
        # --dns takes the place of the lease's server; nobody answers at the spare address.
        start = time.monotonic()
        rc, _, err = self.resolve("peer.tarnet.test", extra=("--dns", SANDBOX.spare_ip,
                                                             "--timeout", "4"))
        self.assertEqual(rc, 1)
        self.assertIn("no answer for peer.tarnet.test from DNS server " + SANDBOX.spare_ip, err)
        self.assertLess(time.monotonic() - start, 8)

    def test_static_addressing_asks_the_dns_option_or_nobody(self):
        rc, out, err = self.resolve("alias.tarnet.test", dhcp=False,
                                    extra=("--dns", SANDBOX.peer_ip))
        self.assertEqual((rc, out), (0, SANDBOX.peer_ip + "\n"), err)
        rc, _, err = self.resolve("alias.tarnet.test", dhcp=False, extra=())
        self.assertEqual(rc, 1)
        self.assertIn("no DNS server", err)

    def test_ping_and_udp_take_host_names(self):
        proc = SANDBOX.tarnet("ping", "chain.tarnet.test", "-c", "2", dhcp=True,
                              extra=["--timeout", "10"])
        out = proc.stdout.decode()
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("PING chain.tarnet.test (%s)" % SANDBOX.peer_ip, out)
        self.assertIn("2 packets transmitted, 2 received", out)

        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind((SANDBOX.peer_ip, 7003))
        sock.settimeout(5)
        try:
            proc = SANDBOX.tarnet("udp", "send", "peer.tarnet.test", "7003", "by name",
                                  dhcp=True, extra=["--timeout", "10"])
            self.assertEqual(proc.returncode, 0, proc.stderr)
            data, (address, _) = sock.recvfrom(100)
        finally:
            sock.close()
        self.assertEqual(data, b"by name")
        self.assertTrue(in_pool(address), address)

        proc = SANDBOX.tarnet("ping", "nosuch.tarnet.test", "-c", "1", dhcp=True,
                              extra=["--timeout", "10"])
        self.assertEqual(proc.returncode, 1)
        self.assertIn("nosuch.tarnet.test: not found", proc.stderr)
        self.assertNotIn(b"PING", proc.stdout)


if __name__ == "__main__":
    unittest.main()
