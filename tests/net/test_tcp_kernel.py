"""The stack's TCP against the Linux kernel's, over a veth pair: `tarnet tcp connect` and
`tarnet tcp listen` with the kernel's sockets on the other end.

Every transfer is checked byte for byte: a SHA-256 digest of what one side was given against one
of what the other side received. Impaired links use the adapter's fault injector (both
directions) and, for loss, also nftables drops in the peer namespace. Each transfer prints how
long it took. Run through tests/net/run (root only).
"""

import errno
import hashlib
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import netlib

SANDBOX = None
NET = "203.0.113"
STACK_MAC = "02:54:4e:00:00:7c"
MIB = 1024 * 1024
BIG = 10 * MIB
EDGE_SIZES = (0, 1, 1355, 1356, 1357)
NFT_TABLE = "tarnet_loss"
SYN_TABLE = "tarnet_syn"

_port = [6000]


def next_port():
    _port[0] += 1
    return _port[0]


def setUpModule():
    global SANDBOX
    SANDBOX = netlib.Sandbox(net=NET)
    # The kernel learns the stack's address once for all: an impaired ARP exchange would only
    # slow the tests down, and which side resolves first does not matter here.
    SANDBOX.pin_neighbour(SANDBOX.stack_ip, STACK_MAC)


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()


def digest(data):
    return hashlib.sha256(data).hexdigest()


def note(text):
    sys.stderr.write("    %s\n" % text)
    sys.stderr.flush()


def tarnet_args(*args, impair=None, verbose=False):
    extra = ["--timeout", "300"]
    if impair:
        extra += ["--impair", impair]
    if verbose:
        extra.append("-v")
    return SANDBOX.tarnet_args(*args, mac=STACK_MAC, extra=extra)


def run_tarnet(*args, data=b"", timeout=120, **kw):
    """tarnet to completion with `data` on stdin; (exit code, stdout bytes, stderr text)."""
    proc = subprocess.run(tarnet_args(*args, **kw), input=data, capture_output=True,
                          timeout=timeout)
    return proc.returncode, proc.stdout, proc.stderr.decode(errors="replace")


class KernelServer(threading.Thread):
    """A kernel socket listening on the peer's address. For one connection it reads everything
    until the end of the stream (then closes), or sends `send` and closes; with `reset_after`
    it aborts with a reset once that many bytes have arrived."""

    def __init__(self, port, send=None, reset_after=None, rcvbuf=None, read_delay=0.0):
        super().__init__(daemon=True)
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.bind((SANDBOX.peer_ip, port))
        self.sock.listen(4)
        self.sock.settimeout(60)
        self.send, self.reset_after, self.read_delay = send, reset_after, read_delay
        self.received = bytearray()
        self.eof = False
        self.error = None
        self.start()

    def run(self):
        try:
            conn, _ = self.sock.accept()
            conn.settimeout(300)
            with conn:
                if self.send is not None:
                    conn.sendall(self.send)
                    conn.shutdown(socket.SHUT_WR)
                if self.read_delay:
                    time.sleep(self.read_delay)
                while True:
                    chunk = conn.recv(1 << 16)
                    if not chunk:
                        self.eof = True
                        break
                    self.received += chunk
                    if self.reset_after is not None and len(self.received) >= self.reset_after:
                        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                        struct.pack("ii", 1, 0))
                        break
        except OSError as e:
            self.error = e
        finally:
            self.sock.close()

    def result(self, timeout=300):
        self.join(timeout)
        if self.is_alive():
            raise AssertionError("the kernel's side did not finish within %s s" % timeout)
        return bytes(self.received)


def kernel_connect(port, timeout=10):
    sock = socket.create_connection((SANDBOX.stack_ip, port), timeout=timeout)
    return sock


recv_all = netlib.recv_all


class Listening:
    """`tarnet tcp listen` running in the background, answering ping once it is up."""

    def __init__(self, port, *args, impair=None, verbose=False):
        self.proc = subprocess.Popen(
            tarnet_args("tcp", "listen", str(port), *args, impair=impair, verbose=verbose),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out = b""
        self.err = ""
        # Read stdout as it comes: a pipe that fills up would stall the stack's loop.
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        try:
            up = netlib.wait_until_answering(SANDBOX.stack_ip, seconds=10,
                                             wait=0.5 if impair else 0.2)
        except BaseException:
            netlib.stop(self.proc)  # a listener left running would answer in later tests
            raise
        if not up:
            _, _, err = netlib.stop(self.proc)
            raise AssertionError("tarnet tcp listen did not come up: " + err)

    def _read(self):
        self.out = self.proc.stdout.read()

    def finish(self, timeout):
        """Waits for the command to end by itself; (exit code or None, stdout, stderr)."""
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            rc, _, err = netlib.stop(self.proc)
            self._reader.join(5)
            return None, self.out, err
        self._reader.join(5)
        self.err = self.proc.stderr.read().decode(errors="replace")
        self.proc.stdout.close()
        self.proc.stderr.close()
        return self.proc.returncode, self.out, self.err


class Transfers(unittest.TestCase):
    """Sizes around one segment (1356 bytes, the stack's MSS) and a long transfer, each way."""

    impair = None
    nft_loss = 0
    sizes = EDGE_SIZES + (BIG,)
    timeout = 120

    @classmethod
    def setUpClass(cls):
        if cls.nft_loss:
            rule = "numgen random mod 100 < %d drop" % cls.nft_loss
            # Removed even when the set-up fails half-way (tearDownClass would not run).
            cls.addClassCleanup(SANDBOX.peer, "nft", "delete table inet %s" % NFT_TABLE,
                                check=False)
            SANDBOX.peer("nft", "add table inet %s" % NFT_TABLE)
            for chain, hook, match in (("in", "input", "iifname"), ("out", "output", "oifname")):
                SANDBOX.peer("nft", "add chain inet %s %s { type filter hook %s priority 0; }"
                             % (NFT_TABLE, chain, hook))
                SANDBOX.peer("nft", "add rule inet %s %s %s %s %s"
                             % (NFT_TABLE, chain, match, SANDBOX.peer_if, rule))

    def label(self, size, direction):
        what = "%d MiB" % (size // MIB) if size >= MIB else "%d bytes" % size
        return "%s %s%s" % (what, direction, " (%s)" % self.describe() if self.impair else "")

    def describe(self):
        text = self.impair
        if self.nft_loss:
            text += ", nftables %d %% drop both ways" % self.nft_loss
        return text

    def stack_to_kernel(self, size):
        payload = os.urandom(size)
        port = next_port()
        server = KernelServer(port)
        start = time.monotonic()
        rc, out, err = run_tarnet("tcp", "connect", SANDBOX.peer_ip, str(port), data=payload,
                                  impair=self.impair, timeout=self.timeout)
        got = server.result(self.timeout)
        elapsed = time.monotonic() - start
        self.assertEqual(rc, 0, err)
        self.assertEqual(out, b"")
        self.assertTrue(server.eof, "the kernel saw no end of the stream")
        self.assertEqual((len(got), digest(got)), (size, digest(payload)),
                         self.label(size, "stack -> kernel"))
        if size >= MIB:
            note("%s: %.1f s" % (self.label(size, "stack -> kernel"), elapsed))

    def kernel_to_stack(self, size):
        payload = os.urandom(size)
        port = next_port()
        listening = Listening(port, "-n", "1", impair=self.impair)
        start = time.monotonic()
        sock = kernel_connect(port)
        sock.settimeout(self.timeout)
        with sock:
            sock.sendall(payload)
            sock.shutdown(socket.SHUT_WR)
            # The stack closes its side after ours, having sent nothing.
            self.assertEqual(recv_all(sock), b"")
        rc, out, err = listening.finish(self.timeout)
        elapsed = time.monotonic() - start
        self.assertEqual(rc, 0, err)
        self.assertEqual((len(out), digest(out)), (size, digest(payload)),
                         self.label(size, "kernel -> stack"))
        if size >= MIB:
            note("%s: %.1f s" % (self.label(size, "kernel -> stack"), elapsed))

    def test_stack_to_kernel(self):
        for size in self.sizes:
            with self.subTest(size=size):
                self.stack_to_kernel(size)

    def test_kernel_to_stack(self):
        for size in self.sizes:
            with self.subTest(size=size):
                self.kernel_to_stack(size)


class LossyTransfers(Transfers):
    impair = "loss=2,seed=11"
    nft_loss = 2
    sizes = (BIG,)
    timeout = 300


def stack_counters(stderr):
    """The counters `tarnet -v` logs at exit: {"tcp retransmissions": n, ...}."""
    counters = {}
    for line in stderr.splitlines():
        match = re.search(r"counters (\w+): (.*)$", line)
        if match:
            for field in match.group(2).split(", "):
                name, _, value = field.rpartition(" ")
                counters["%s %s" % (match.group(1), name)] = int(value)
    return counters


class CountedTransfers(unittest.TestCase):
    """The stack's counters after a transfer to the kernel: a clean link shows no checksum
    drop and no retransmission; 2 % loss at the adapter shows retransmissions and timeouts or
    fast retransmits behind them."""

    SIZE = MIB

    def transfer(self, impair):
        payload = os.urandom(self.SIZE)
        port = next_port()
        server = KernelServer(port)
        rc, out, err = run_tarnet("tcp", "connect", SANDBOX.peer_ip, str(port), data=payload,
                                  impair=impair, verbose=True, timeout=120)
        self.assertEqual(rc, 0, err[-2000:])
        self.assertEqual(digest(server.result(120)), digest(payload))
        counters = stack_counters(err)
        self.assertIn("tcp retransmissions", counters, err[-2000:])
        note("%s: %s" % (impair or "clean link", ", ".join(
            "%s %d" % item for item in sorted(counters.items()) if item[1])))
        return counters

    def test_a_clean_link_drops_nothing(self):
        c = self.transfer(None)
        self.assertEqual(c["dropped checksum"], 0)
        self.assertEqual(c["dropped malformed"], 0)
        self.assertEqual(c["tcp retransmissions"], 0)
        self.assertEqual(c["tcp resets sent"], 0)
        self.assertGreaterEqual(c["tcp out"], self.SIZE // 1356)
        self.assertGreaterEqual(c["frames out"], c["tcp out"])

    def test_loss_is_counted_as_retransmissions(self):
        c = self.transfer("loss=2,seed=11")
        self.assertEqual(c["dropped checksum"], 0)
        self.assertGreater(c["tcp retransmissions"], 0)
        self.assertGreater(c["tcp timeouts"] + c["tcp fast retransmits"], 0)
        self.assertLessEqual(c["tcp fast retransmits"], c["tcp retransmissions"])


class ReorderedTransfers(Transfers):
    impair = "reorder=2,seed=12"
    sizes = (BIG,)
    timeout = 300

    def test_echo_both_ways_at_once(self):
        # Data and acknowledgments travel in both directions, so segments that overtake each
        # other also carry acknowledgments older than ones already seen.
        payload = os.urandom(2 * MIB)
        port = next_port()
        listening = Listening(port, "--echo", "-n", "1", impair=self.impair)
        start = time.monotonic()
        sock = kernel_connect(port)
        sock.settimeout(self.timeout)
        with sock:
            sender = threading.Thread(target=sock.sendall, args=(payload,), daemon=True)
            sender.start()
            echoed = bytearray()
            while len(echoed) < len(payload):
                chunk = sock.recv(1 << 16)
                self.assertTrue(chunk, "the echo ended early")
                echoed += chunk
            sender.join(10)
            sock.shutdown(socket.SHUT_WR)
            self.assertEqual(recv_all(sock), b"")
        rc, out, err = listening.finish(30)
        self.assertEqual(rc, 0, err)
        self.assertEqual(digest(bytes(echoed)), digest(payload))
        note("2 MiB echoed (%s): %.1f s" % (self.impair, time.monotonic() - start))


class DuplicatedTransfers(Transfers):
    impair = "dup=5,seed=13"
    sizes = (BIG,)
    timeout = 300


class DelayedTransfers(Transfers):
    impair = "delay=20,seed=14"
    sizes = (BIG,)
    timeout = 300


class Pacing(unittest.TestCase):

    def test_acknowledgments_leave_before_the_next_frame_is_read(self):
        # Behind the default window (4096 bytes: three full segments and 28 bytes) the kernel
        # sends as each acknowledgment reaches it, which happens inside our send call. Answers
        # held to the end of the loop pass let one pass take one window, four frames at most;
        # answers sent frame by frame let the kernel's next segments join the pass under way.
        payload = os.urandom(MIB)
        port = next_port()
        listening = Listening(port, "-n", "1", verbose=True)
        sock = kernel_connect(port)
        sock.settimeout(60)
        with sock:
            sock.sendall(payload)
            sock.shutdown(socket.SHUT_WR)
            self.assertEqual(recv_all(sock), b"")
        rc, out, err = listening.finish(60)
        self.assertEqual(rc, 0, err)
        self.assertEqual(digest(out), digest(payload))
        m = re.search(r"frames taken (\d+) in (\d+) loop passes", err)
        self.assertIsNotNone(m, err)
        frames, passes = int(m.group(1)), int(m.group(2))
        note("1 MiB kernel -> stack, default window: %d frames in %d loop passes"
             % (frames, passes))
        self.assertGreaterEqual(frames, MIB // 1356)
        self.assertGreaterEqual(frames / passes, 8.0)


def peak_rss(pid):
    """The process's peak resident set size in bytes (VmHWM)."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmHWM for process %d" % pid)


class Backpressure(unittest.TestCase):

    def test_echo_to_a_peer_that_does_not_read_keeps_memory_bounded(self):
        # The kernel client sends 20 MiB and reads nothing for a few seconds: the echo stops
        # taking data while its backlog is full (the stack closes its window), and everything
        # comes back once the client reads.
        payload = os.urandom(20 * MIB)
        port = next_port()
        listening = Listening(port, "--echo", "-n", "1")
        before = peak_rss(listening.proc.pid)
        start = time.monotonic()
        sock = kernel_connect(port)
        sock.settimeout(120)
        with sock:
            sender = threading.Thread(target=sock.sendall, args=(payload,), daemon=True)
            sender.start()
            time.sleep(4)
            stalled = peak_rss(listening.proc.pid)
            echoed = bytearray()
            while len(echoed) < len(payload):
                chunk = sock.recv(1 << 16)
                self.assertTrue(chunk, "the echo ended early")
                echoed += chunk
            peak = peak_rss(listening.proc.pid)
            sender.join(10)
            sock.shutdown(socket.SHUT_WR)
            self.assertEqual(recv_all(sock), b"")
        rc, _, err = listening.finish(30)
        self.assertEqual(rc, 0, err)
        self.assertEqual(digest(bytes(echoed)), digest(payload))
        note("20 MiB echoed to a client that read nothing for 4 s: %.1f s, peak RSS %.1f MiB "
             "(%.1f MiB at start, %.1f MiB after the stall)"
             % (time.monotonic() - start, peak / MIB, before / MIB, stalled / MIB))
        # The stall is where an unbounded echo queue grows (by what the peer pushes meanwhile).
        # The peak after it says less: once the echo flows, the allocator (and, in the sanitizer
        # build, its quarantine of freed blocks) may keep freed memory for a while.
        self.assertLess(stalled - before, 8 * MIB)


class Connections(unittest.TestCase):

    def test_stack_connecting_to_a_closed_port_is_refused(self):
        start = time.monotonic()
        rc, out, err = run_tarnet("tcp", "connect", SANDBOX.peer_ip, "9", data=b"x")
        self.assertEqual(rc, 1, err)
        self.assertLess(time.monotonic() - start, 2.0)
        self.assertEqual(err.strip().splitlines(),
                         ["tarnet: %s:9: connection refused" % SANDBOX.peer_ip])

    def test_silence_is_not_a_refusal(self):
        """Only a reset is a refusal: a host that never answers ARP and a peer that drops our
        SYNs end with what went unanswered."""
        port = next_port()
        SANDBOX.peer("nft", "add table inet %s" % SYN_TABLE)
        self.addCleanup(SANDBOX.peer, "nft", "delete table inet %s" % SYN_TABLE, check=False)
        SANDBOX.peer("nft", "add chain inet %s in { type filter hook input priority 0; }"
                     % SYN_TABLE)
        SANDBOX.peer("nft", "add rule inet %s in tcp dport %d tcp flags syn drop"
                     % (SYN_TABLE, port))
        server = KernelServer(port)
        self.addCleanup(server.sock.close)
        cases = [
            (SANDBOX.spare_ip, port,
             "no answer from %s on the link" % SANDBOX.spare_ip),
            (SANDBOX.peer_ip, port, "connection timed out (no answer to the SYN)"),
        ]
        for address, port, message in cases:
            with self.subTest(address=address):
                rc, _, err = run_tarnet("tcp", "connect", address, str(port), data=b"x",
                                        timeout=30)
                self.assertEqual(rc, 1, err)
                self.assertEqual(err.strip().splitlines(),
                                 ["tarnet: %s:%d: %s" % (address, port, message)])

    def test_kernel_connecting_where_nothing_listens_is_refused_at_once(self):
        port = next_port()
        listening = Listening(port, "-n", "1")
        try:
            start = time.monotonic()
            with self.assertRaises(ConnectionRefusedError):
                kernel_connect(port + 1000)
            self.assertLess(time.monotonic() - start, 0.5)
            # The stack goes on serving its port.
            with kernel_connect(port) as sock:
                sock.sendall(b"still here")
                sock.shutdown(socket.SHUT_WR)
                self.assertEqual(recv_all(sock), b"")
        finally:
            rc, out, err = listening.finish(10)
        self.assertEqual((rc, out), (0, b"still here"), err)

    def test_ten_concurrent_connections_then_a_full_table_refuses_cleanly(self):
        # The stack has 11 endpoints: the listener and 10 connections.
        port = next_port()
        listening = Listening(port, "--echo", "-n", "11")
        socks = []
        try:
            for _ in range(10):
                socks.append(kernel_connect(port))
            payloads = [os.urandom(50_000 + 1000 * i) for i in range(10)]
            # Every connection has data in flight at once; each echo comes back whole.
            senders = [threading.Thread(target=s.sendall, args=(p,), daemon=True)
                       for s, p in zip(socks, payloads)]
            for t in senders:
                t.start()
            # The table is full now: an eleventh connection is refused, not left hanging.
            start = time.monotonic()
            with self.assertRaises(ConnectionRefusedError):
                kernel_connect(port)
            self.assertLess(time.monotonic() - start, 1.0)
            for sock, payload in zip(socks, payloads):
                sock.settimeout(60)
                echoed = bytearray()
                while len(echoed) < len(payload):
                    chunk = sock.recv(1 << 16)
                    self.assertTrue(chunk, "the echo ended early")
                    echoed += chunk
                self.assertEqual(digest(bytes(echoed)), digest(payload))
            for t in senders:
                t.join(10)
            for sock in socks:
                sock.shutdown(socket.SHUT_WR)
                self.assertEqual(recv_all(sock), b"")
                sock.close()
            # With the connections gone, the stack accepts again.
            with kernel_connect(port) as sock:
                sock.sendall(b"one more")
                self.assertEqual(sock.recv(100), b"one more")
                sock.shutdown(socket.SHUT_WR)
                self.assertEqual(recv_all(sock), b"")
        finally:
            for sock in socks:
                sock.close()
            rc, out, err = listening.finish(30)
        self.assertEqual(rc, 0, err)
        self.assertEqual(out, b"")

    def test_a_reset_from_the_kernel_mid_transfer_ends_the_connection(self):
        port = next_port()
        server = KernelServer(port, reset_after=100_000)
        start = time.monotonic()
        rc, out, err = run_tarnet("tcp", "connect", SANDBOX.peer_ip, str(port),
                                  data=os.urandom(4 * MIB))
        server.result()
        self.assertEqual(rc, 1, err)
        self.assertLess(time.monotonic() - start, 5)
        self.assertEqual(err.strip().splitlines()[-1],
                         "tarnet: %s:%d: connection reset by the peer" % (SANDBOX.peer_ip, port))

    def test_a_reset_reaching_the_listener_is_a_closed_connection(self):
        port = next_port()
        listening = Listening(port, "-n", "1")
        sock = kernel_connect(port)
        sock.sendall(os.urandom(200_000))
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.close()
        rc, out, err = listening.finish(10)
        self.assertEqual(rc, 1, err)
        self.assertRegex(err, r"tarnet: %s:\d+: connection reset by the peer" %
                         re.escape(SANDBOX.peer_ip))
        self.assertLessEqual(len(out), 200_000)

    def test_close_with_data_in_the_send_ring_delivers_all_before_the_fin(self):
        # The kernel reads nothing for a second and keeps a small buffer: the stack's send ring
        # is full when stdin ends, and the close waits behind it.
        payload = os.urandom(300_000)
        port = next_port()
        server = KernelServer(port, rcvbuf=4096, read_delay=1.0)
        rc, out, err = run_tarnet("tcp", "connect", SANDBOX.peer_ip, str(port), data=payload,
                                  verbose=True)
        got = server.result()
        self.assertEqual(rc, 0, err)
        self.assertTrue(server.eof)
        self.assertEqual(digest(got), digest(payload))

    def test_stack_receives_and_sends_over_one_connection(self):
        payload = os.urandom(500_000)
        port = next_port()
        server = KernelServer(port, send=payload)
        # stdin stays open until the kernel has closed: the stack downloads, then closes.
        proc = subprocess.Popen(tarnet_args("tcp", "connect", SANDBOX.peer_ip, str(port)),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        proc.stdin.write(b"request")
        proc.stdin.flush()
        received = proc.stdout.read(len(payload))
        proc.stdin.close()
        rest = proc.stdout.read()
        proc.wait(30)
        err = proc.stderr.read().decode(errors="replace")
        proc.stdout.close()
        proc.stderr.close()
        got = server.result()
        self.assertEqual(proc.returncode, 0, err)
        self.assertEqual(digest(received + rest), digest(payload))
        self.assertEqual(got, b"request")


class ResetWatch:
    """Every TCP segment with RST on the peer's interface to or from `port`, as (source
    address, sequence number), captured with a packet socket in the peer namespace."""

    def __init__(self, port):
        self.port = port
        self.resets = []
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
        self.sock.bind((SANDBOX.peer_if, 0))
        self.sock.settimeout(0.1)
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                frame = self.sock.recv(65536)
            except socket.timeout:
                continue
            if len(frame) < 54 or frame[12:14] != b"\x08\x00" or frame[23] != 6:
                continue
            tcp = frame[14 + (frame[14] & 0x0F) * 4:]
            sport, dport, seq = struct.unpack("!HHI", tcp[:8])
            if self.port in (sport, dport) and tcp[13] & 0x04:
                self.resets.append((socket.inet_ntoa(frame[26:30]), seq))

    def stop(self):
        time.sleep(0.3)  # whatever is still on its way
        self.running = False
        self.thread.join(2)
        self.sock.close()
        return self.resets


class Closing(unittest.TestCase):
    """How our close looks to the kernel: clean when both sides are done, a reset when the
    kernel sends data that we can no longer take (RFC 1122 4.2.2.13)."""

    def test_a_clean_close_sends_no_reset(self):
        port = next_port()
        watch = ResetWatch(port)
        server = KernelServer(port)
        rc, out, err = run_tarnet("tcp", "connect", SANDBOX.peer_ip, str(port), data=b"hello")
        got = server.result(30)
        self.assertEqual((rc, got), (0, b"hello"), err)
        self.assertEqual(watch.stop(), [])

    def test_data_after_our_close_is_reset(self):
        port = next_port()
        watch = ResetWatch(port)
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((SANDBOX.peer_ip, port))
        listener.listen(1)
        listener.settimeout(30)
        outcome = {}

        def echo_after_close():
            # An echo server that answers only once the request is complete: by then the stack
            # has closed its side.
            conn, _ = listener.accept()
            with conn:
                conn.settimeout(10)
                outcome["request"] = recv_all(conn)
                conn.sendall(b"late reply")
                start = time.monotonic()
                # The socket's pending error: set when a reset arrives.
                errors = []
                netlib.wait_for(lambda: errors.append(
                    conn.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)) or errors[-1], 8)
                outcome["error"] = errors[-1]
                outcome["after"] = time.monotonic() - start

        thread = threading.Thread(target=echo_after_close, daemon=True)
        thread.start()
        rc, out, err = run_tarnet("tcp", "connect", SANDBOX.peer_ip, str(port), data=b"request")
        thread.join(15)
        listener.close()
        resets = watch.stop()
        self.assertEqual(outcome.get("request"), b"request", err)
        # The kernel had our FIN (CLOSE_WAIT), so Linux reports the reset as EPIPE; before it,
        # as ECONNRESET. Either way the socket failed instead of ending cleanly.
        self.assertIn(outcome.get("error"), (errno.ECONNRESET, errno.EPIPE), err)
        # At once, in answer to the data: not at the end of FIN_WAIT_2 (5 s) or of the program.
        self.assertLess(outcome["after"], 1.0)
        self.assertEqual([source for source, _ in resets], [SANDBOX.stack_ip], err)


class SequenceWrap(unittest.TestCase):
    """Our sequence numbers cross 2^32 mid-transfer (--isn puts the next ISN just below it)."""

    SIZE = 4 * MIB
    ISN = 2**32 - 1_000_000

    def isn_of(self, err):
        match = re.search(r"initial sequence number (\d+)", err)
        self.assertIsNotNone(match, err)
        return int(match.group(1))

    def test_stack_to_kernel_across_the_wrap(self):
        payload = os.urandom(self.SIZE)
        port = next_port()
        server = KernelServer(port)
        rc, out, err = run_tarnet("tcp", "connect", SANDBOX.peer_ip, str(port), "--isn",
                                  str(self.ISN), data=payload, verbose=True)
        got = server.result()
        self.assertEqual(rc, 0, err)
        self.assertEqual(digest(got), digest(payload))
        isn = self.isn_of(err)
        self.assertGreater(isn + self.SIZE, 2**32, "the transfer did not cross 2^32")

    def test_echo_across_the_wrap(self):
        payload = os.urandom(self.SIZE)
        port = next_port()
        listening = Listening(port, "--echo", "-n", "1", "--isn", str(self.ISN - 1_000_000))
        sock = kernel_connect(port)
        sock.settimeout(60)
        with sock:
            sender = threading.Thread(target=sock.sendall, args=(payload,), daemon=True)
            sender.start()
            echoed = bytearray()
            while len(echoed) < len(payload):
                chunk = sock.recv(1 << 16)
                self.assertTrue(chunk, "the echo ended early")
                echoed += chunk
            sender.join(10)
            sock.shutdown(socket.SHUT_WR)
            self.assertEqual(recv_all(sock), b"")
        rc, out, err = listening.finish(10)
        self.assertEqual(rc, 0, err)
        self.assertEqual(digest(bytes(echoed)), digest(payload))


class WireCapture:
    """tcpdump on the peer's interface (the test process sits in the peer namespace) for the TCP
    segments of one port; read back after stop()."""

    def __init__(self, port):
        self.dir = tempfile.mkdtemp(prefix="tarnet-wire-")
        self.path = os.path.join(self.dir, "wire.pcap")
        self.proc = subprocess.Popen(
            ["tcpdump", "-i", SANDBOX.peer_if, "-n", "-U", "-s", "96", "-w", self.path,
             "tcp port %d" % port], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        # tcpdump says "listening on ..." once the capture runs.
        self.proc.stderr.readline()
        self.dropped = None

    def stop(self):
        """Ends the capture; returns the segments as scapy packets."""
        from scapy.all import rdpcap
        self.proc.send_signal(signal.SIGINT)
        err = self.proc.communicate(timeout=10)[1].decode(errors="replace")
        match = re.search(r"(\d+) packets? dropped by kernel", err)
        self.dropped = int(match.group(1)) if match else None
        packets = rdpcap(self.path)
        os.unlink(self.path)
        os.rmdir(self.dir)
        return packets


def retransmissions(packets, src):
    """Segments from `src` whose data (or FIN) lies wholly at or below the highest sequence
    number `src` had already sent: on a path that loses nothing, each one is spurious."""
    from scapy.all import IP, TCP
    count, base, highest = 0, None, 0
    for p in packets:
        if IP not in p or TCP not in p or p[IP].src != src:
            continue
        tcp = p[TCP]
        length = p[IP].len - 4 * p[IP].ihl - 4 * tcp.dataofs + (1 if tcp.flags.F else 0)
        if tcp.flags.S:
            base = tcp.seq + 1
            continue
        if length <= 0 or base is None:
            continue
        end = (tcp.seq - base + length) % 2**32
        if end <= highest:
            count += 1
        highest = max(highest, end)
    return count


class SlowPath(unittest.TestCase):
    """A kernel peer behind 60 ms of delay each way (the adapter's impairment). Toward the
    kernel, the first data segment is dropped once (nftables in the peer namespace), so the
    stack goes through a timeout early on: its retransmission timeout must still follow the
    120-ms round trip afterwards, so the wire carries that one necessary retransmission and no
    other from either side."""

    impair = "delay=60"
    size = 256 * 1024
    TABLE = "tarnet_once"

    def drop_first_data_segment(self):
        """Returns a function that removes the rule and tells how many segments it dropped."""
        SANDBOX.peer("nft", "add table inet %s" % self.TABLE)
        self.addCleanup(SANDBOX.peer, "nft", "delete table inet %s" % self.TABLE, check=False)
        SANDBOX.peer("nft", "add chain inet %s in { type filter hook input priority 0; }"
                     % self.TABLE)
        # The quota counts the bytes it matched: the second full segment takes it past 2000.
        SANDBOX.peer("nft", "add rule inet %s in iifname %s ip saddr %s ip length > 1000 "
                     "quota until 2000 bytes counter drop"
                     % (self.TABLE, SANDBOX.peer_if, SANDBOX.stack_ip))

        def remove():
            listing = SANDBOX.peer("nft", "list table inet %s" % self.TABLE)
            SANDBOX.peer("nft", "delete table inet %s" % self.TABLE, check=False)
            match = re.search(r"counter packets (\d+)", listing)
            return int(match.group(1)) if match else None

        return remove

    def count(self, transfer, label, dropped=0):
        port = next_port()
        capture = WireCapture(port)
        try:
            transfer(port)
        finally:
            packets = capture.stop()
        self.assertEqual(capture.dropped, 0, "the capture lost segments")
        ours = retransmissions(packets, SANDBOX.stack_ip)
        theirs = retransmissions(packets, SANDBOX.peer_ip)
        note("%s (delay 60 ms each way, %d dropped): %d segments on the wire, retransmitted by "
             "the stack %d, by the kernel %d" % (label, dropped, len(packets), ours, theirs))
        # A dropped segment was captured before the drop: its one retransmission is the
        # necessary one.
        self.assertEqual((ours, theirs), (dropped, 0))

    def test_stack_to_kernel(self):
        payload = os.urandom(self.size)
        remove = self.drop_first_data_segment()
        dropped = []

        def transfer(port):
            try:
                server = KernelServer(port)
                rc, out, err = run_tarnet("tcp", "connect", SANDBOX.peer_ip, str(port),
                                          data=payload, impair=self.impair, timeout=60)
                self.assertEqual(rc, 0, err)
                self.assertEqual(digest(server.result(60)), digest(payload))
            finally:
                dropped.append(remove())

        self.count(lambda port: transfer(port), "256 KiB stack -> kernel", dropped=1)
        self.assertEqual(dropped, [1])

    def test_kernel_to_stack(self):
        payload = os.urandom(self.size)

        def transfer(port):
            listening = Listening(port, "-n", "1", impair=self.impair)
            with kernel_connect(port) as sock:
                sock.settimeout(60)
                sock.sendall(payload)
                sock.shutdown(socket.SHUT_WR)
                self.assertEqual(recv_all(sock), b"")
            rc, out, err = listening.finish(60)
            self.assertEqual(rc, 0, err)
            self.assertEqual(digest(out), digest(payload))

        self.count(transfer, "256 KiB kernel -> stack")


class Outage(unittest.TestCase):
    """Everything between the kernel and the stack is dropped (nftables in the peer namespace)
    for 10 s in the middle of a transfer: the stack backs off and resends until the path is
    back, and the transfer completes intact."""

    SIZE = 8 * MIB
    OUTAGE = 10.0
    TABLE = "tarnet_outage"

    def prepare(self):
        SANDBOX.peer("nft", "add table inet %s" % self.TABLE)
        self.addCleanup(self.unblock)
        for chain, hook in (("in", "input"), ("out", "output")):
            SANDBOX.peer("nft", "add chain inet %s %s { type filter hook %s priority 0; }"
                         % (self.TABLE, chain, hook))

    def block(self):
        # One command, so that the outage starts at once (the test process is in the peer
        # namespace).
        subprocess.run(["nft", "add rule inet {0} in iifname {1} drop; "
                        "add rule inet {0} out oifname {1} drop".format(self.TABLE,
                                                                        SANDBOX.peer_if)],
                       check=True)

    def unblock(self):
        SANDBOX.peer("nft", "delete table inet %s" % self.TABLE, check=False)

    def test_a_ten_second_outage_mid_transfer_is_survived(self):
        payload = os.urandom(self.SIZE)
        port = next_port()
        server = KernelServer(port)
        result = {}
        self.prepare()

        def connect():
            result["run"] = run_tarnet("tcp", "connect", SANDBOX.peer_ip, str(port),
                                       data=payload, timeout=90)

        client = threading.Thread(target=connect, daemon=True)
        client.start()
        start = time.monotonic()
        try:
            self.assertTrue(netlib.wait_for(lambda: len(server.received) >= MIB // 2, 30,
                                            step=0.002), "the transfer did not get going")
            self.block()
            at_start = len(server.received)
            time.sleep(1.0)  # what was already in the kernel's buffer is read by now
            settled = len(server.received)
            time.sleep(self.OUTAGE - 1.0)
            at_end = len(server.received)
        finally:
            self.unblock()
        back = time.monotonic()
        netlib.wait_for(lambda: len(server.received) > at_end, 10, step=0.01)
        resumed = time.monotonic() - back
        client.join(90)
        self.assertFalse(client.is_alive(), "tarnet tcp connect did not end")
        rc, out, err = result["run"]
        self.assertLess(at_start, self.SIZE, "the outage did not fall mid-transfer")
        self.assertEqual(at_end, settled, "traffic passed during the outage")
        self.assertEqual(rc, 0, err)
        got = server.result(30)
        self.assertEqual((len(got), digest(got)), (self.SIZE, digest(payload)))
        note("10-s outage after %.1f MiB: the data flowed again %.1f s after the path was back; "
             "%.1f s in all" % (at_start / MIB, resumed, time.monotonic() - start))


if __name__ == "__main__":
    unittest.main()
