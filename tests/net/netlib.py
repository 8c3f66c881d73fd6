"""Helpers for the integration tests: the sandbox, the peer's sockets, running tarnet.

The test process creates one sandbox (scripts/netns-sandbox up), moves its own main thread into
the peer namespace, so every socket it opens is the kernel peer's, and starts tarnet in the stack
namespace with `ip netns exec`. The sandbox is removed on every exit path: normal end, failure,
SIGINT and SIGTERM.
"""

import atexit
import ctypes
import glob
import json
import mailbox
import os
import queue
import random
import signal
import socket
import struct
import subprocess
import threading
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SANDBOX_SCRIPT = os.path.join(ROOT, "scripts", "netns-sandbox")
TARNET = os.environ.get("TARNET_BIN", os.path.join(ROOT, "build", "bin", "tarnet"))

CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)


def _setns(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        if _libc.setns(fd, CLONE_NEWNET) != 0:
            err = ctypes.get_errno()
            raise OSError(err, "setns(%s): %s" % (path, os.strerror(err)))
    finally:
        os.close(fd)


class FtpServer:
    """One FTP server of the sandbox: where it listens, who may log in, and the folder on its
    disk that the user's "/" is (files put there must belong to `uid` for the server to
    change them)."""

    def __init__(self, name, address, port, user, password, home, uid, log):
        self.name, self.address, self.port = name, address, port
        self.user, self.password = user, password
        self.home, self.uid, self.log = home, uid, log

    def path(self, *parts):
        return os.path.join(self.home, *parts)

    def give(self, path):
        """Hands `path` (and everything under it) to the server's user."""
        for top, dirs, files in os.walk(path):
            for name in dirs + files:
                os.chown(os.path.join(top, name), self.uid, -1)
        os.chown(path, self.uid, -1)

    def __repr__(self):
        return self.name


class Sandbox:
    """One peer namespace and one stack namespace joined by a veth pair; with `dnsmasq`, the
    peer namespace also runs dnsmasq as DHCP and DNS server, with `ftp` vsftpd and pyftpdlib,
    with `smtp` the three mail servers (see scripts/netns-sandbox)."""

    live = []  # the sandboxes up in this process, for the check after each test

    def __init__(self, net="192.0.2", dnsmasq=False, ftp=False, smtp=False):
        args = [SANDBOX_SCRIPT, "up", "--net", net] + (["--dnsmasq"] if dnsmasq else [])
        args += ["--ftp"] if ftp else []
        args += ["--smtp"] if smtp else []
        out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
        self.env = dict(line.split("=", 1) for line in out.split() if "=" in line)
        self.id = self.env["TARNET_SANDBOX"]
        self.peer_ns = self.env["TARNET_PEER_NS"]
        self.stack_ns = self.env["TARNET_STACK_NS"]
        self.peer_if = self.env["TARNET_PEER_IF"]
        self.stack_if = self.env["TARNET_STACK_IF"]
        self.peer_ip = self.env["TARNET_PEER_IP"]
        self.stack_ip = self.env["TARNET_STACK_IP"]
        self.spare_ip = self.env["TARNET_SPARE_IP"]
        self.leases_file = self.env.get("TARNET_DHCP_LEASES")
        self.dnsmasq_log = self.env.get("TARNET_DNSMASQ_LOG")
        self.ftp_servers = self._ftp_servers() if ftp else []
        self.mail = MailServers(self.env) if smtp else None
        self._home_ns = os.open("/proc/self/ns/net", os.O_RDONLY)
        self._down = False
        Sandbox.live.append(self)
        atexit.register(self.down)
        for sig in (signal.SIGINT, signal.SIGTERM):
            signal.signal(sig, self._on_signal)
        _setns("/run/netns/" + self.peer_ns)

    def _ftp_servers(self):
        e = self.env
        user, secret = e["TARNET_FTP_USER"], e["TARNET_FTP_SECRET"]
        return [FtpServer("vsftpd", self.peer_ip, int(e["TARNET_VSFTPD_PORT"]), user, secret,
                          e["TARNET_VSFTPD_HOME"], int(e["TARNET_FTP_UID"]),
                          e["TARNET_VSFTPD_LOG"]),
                FtpServer("pyftpdlib", self.peer_ip, int(e["TARNET_PYFTPD_PORT"]), user,
                          secret, e["TARNET_PYFTPD_HOME"], 0, e["TARNET_PYFTPD_LOG"])]

    def _on_signal(self, signum, _frame):
        self.down()
        os._exit(128 + signum)

    def down(self):
        if self._down:
            return
        self._down = True
        if self in Sandbox.live:
            Sandbox.live.remove(self)
        try:
            if _libc.setns(self._home_ns, CLONE_NEWNET) != 0:
                pass  # teardown works by name from any namespace
        finally:
            os.close(self._home_ns)
        subprocess.run([SANDBOX_SCRIPT, "down", self.id], check=False)

    # ---- the peer (kernel) side -------------------------------------------------------------

    def peer(self, *args, check=True):
        """Runs a command in the peer namespace; returns its stdout."""
        return subprocess.run(["ip", "netns", "exec", self.peer_ns, *args], check=check,
                              capture_output=True, text=True).stdout

    def pin_neighbour(self, address, mac):
        """The peer kernel knows `address` at `mac` for good: no ARP exchange (impaired or
        forged) can slow a test down or change which side resolves first."""
        self.peer("ip", "neigh", "replace", address, "lladdr", mac, "dev", self.peer_if, "nud",
                  "permanent")

    def neighbour(self, address):
        """The peer kernel's neighbour entry for `address` ("" when none)."""
        return self.peer("ip", "neigh", "show", address, "dev", self.peer_if).strip()

    def nft_tables(self):
        """The nftables tables of the peer namespace, as "family name" texts."""
        listing = self.peer("nft", "list", "tables", check=False)
        return {line[len("table "):].strip() for line in listing.splitlines()
                if line.startswith("table ")}

    def stack_pids(self):
        """Processes running in the stack namespace (tarnet and what it was started with)."""
        out = subprocess.run(["ip", "netns", "pids", self.stack_ns], capture_output=True,
                             text=True).stdout
        return {int(pid) for pid in out.split()} - {os.getpid()}

    # ---- tarnet in the stack namespace ------------------------------------------------------

    def leases(self):
        """dnsmasq's current leases as {MAC: address}."""
        with open(self.leases_file) as f:
            return {fields[1]: fields[2] for fields in (line.split() for line in f)
                    if len(fields) >= 3}

    def tarnet_args(self, *args, ip=None, mac=None, extra=(), dhcp=False):
        """The command line; static addressing (--ip) unless `dhcp`."""
        cmd = ["ip", "netns", "exec", self.stack_ns, TARNET, "-i", self.stack_if]
        if not dhcp:
            cmd += ["--ip", ip or self.stack_ip]
        if mac:
            cmd += ["--mac", mac]
        return cmd + list(extra) + list(args)

    def tarnet(self, *args, timeout=30, **kw):
        """Runs tarnet to completion; returns the CompletedProcess (bytes stdout, text stderr)."""
        proc = subprocess.run(self.tarnet_args(*args, **kw), capture_output=True,
                              timeout=timeout)
        proc.stderr = proc.stderr.decode(errors="replace")
        return proc

    def tarnet_start(self, *args, **kw):
        return subprocess.Popen(self.tarnet_args(*args, **kw), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)


class MailServers:
    """What the sandbox's mail servers received: the two aiosmtpd instances ("open", "auth")
    keep each message as a file, Postfix appends to one mbox file."""

    def __init__(self, env):
        self.ip = env["TARNET_SMTP_IP"]
        self.ports = {"open": int(env["TARNET_SMTP_PORT"]),
                      "auth": int(env["TARNET_SMTP_AUTH_PORT"]),
                      "postfix": int(env["TARNET_SMTP_POSTFIX_PORT"])}
        self.user = env["TARNET_SMTP_USER"]
        self.password = env["TARNET_SMTP_AUTH_PASSWORD"]
        self.folder = env["TARNET_SMTP_DIR"]
        self.mbox = env["TARNET_SMTP_MAILBOX"]
        self.domain = env["TARNET_SMTP_DOMAIN"]
        self.name = env.get("TARNET_SMTP_NAME")

    def received(self, server):
        """Messages received so far by `server`, oldest first, as (envelope or None, bytes).
        aiosmtpd's are exactly as they arrived; Postfix's as its mbox holds them: its own trace
        headers added, LF line ends, and a body line starting "From " quoted with ">"."""
        if server == "postfix":
            if not os.path.exists(self.mbox):
                return []
            box = mailbox.mbox(self.mbox, create=False)
            return [(None, box.get_bytes(key)) for key in box.keys()]
        found = []
        for path in sorted(glob.glob(os.path.join(self.folder, server + "-*.eml"))):
            with open(path[:-4] + ".json") as f:
                envelope = json.load(f)
            with open(path, "rb") as f:
                found.append((envelope, f.read()))
        return found

    def wait(self, server, count, seconds=10):
        """The first `count` messages of `server`, waiting up to `seconds` for them to arrive
        (Postfix delivers after it has answered); fewer when they do not come."""
        wait_for(lambda: len(self.received(server)) >= count, seconds)
        if server == "postfix":
            # The mbox grows while a message is written into it: wait until it stops growing.
            last = [None]

            def settled():
                size = os.path.getsize(self.mbox) if os.path.exists(self.mbox) else -1
                same, last[0] = size == last[0], size
                return same

            wait_for(settled, 2, step=0.1)
        return self.received(server)[:count]


class LineReader:
    """Hands out a running process's stdout line by line, as it comes (a thread reads it)."""

    def __init__(self, proc):
        self.proc = proc
        self._lines = queue.Queue()
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for line in iter(self.proc.stdout.readline, b""):
            self._lines.put(line.decode(errors="replace").rstrip("\n"))
        self._lines.put(None)

    def next(self, timeout):
        """The next line; None at the end of the output or when none came within `timeout`."""
        try:
            return self._lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def stop(self, timeout=5):
        """SIGTERM, then wait; returns (exit code or None, stderr text)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None, self.proc.stderr.read().decode(errors="replace")
        return self.proc.returncode, self.proc.stderr.read().decode(errors="replace")


# ---- what a test leaves behind -----------------------------------------------------------------
# A test that fails half-way may leave a tarnet process running in the stack namespace (it
# would answer for the stack's address in every later test) or an nftables table dropping
# traffic in the peer namespace, or a whole sandbox. The runner takes a snapshot before each
# test and removes what was added after it; what a test class or module set up before the test
# stays.

def snapshot():
    return {sb: (sb.stack_pids(), sb.nft_tables()) for sb in Sandbox.live}


def remove_leftovers(before):
    """Ends the processes, deletes the tables and takes down the sandboxes added since
    `before`; returns what it removed, as texts."""
    removed = []
    for sb in list(Sandbox.live):
        if sb not in before:  # made by the test itself: it goes with the test
            sb.down()
            removed.append("sandbox %s" % sb.id)
            continue
        pids, tables = before[sb]
        for table in sorted(sb.nft_tables() - tables):
            sb.peer("nft", "delete", "table", *table.split(), check=False)
            removed.append("nftables table %s" % table)
        extra = sb.stack_pids() - pids
        for pid in sorted(extra):
            _end(pid)
            removed.append("process %d" % pid)
    return removed


def _end(pid):
    """SIGTERM, then SIGKILL after two seconds; a child is reaped."""
    for sig, wait in ((signal.SIGTERM, 2.0), (signal.SIGKILL, 2.0)):
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            try:
                done, _ = os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:  # not ours: it is gone when kill finds nothing
                done = 0 if os.path.exists("/proc/%d" % pid) else pid
            if done == pid:
                return
            time.sleep(0.05)


def recv_all(sock):
    """Everything `sock` receives until the peer closes."""
    parts = []
    while True:
        chunk = sock.recv(1 << 16)
        if not chunk:
            return b"".join(parts)
        parts.append(chunk)


def wait_for(predicate, seconds, step=0.05):
    """Polls `predicate` until it is true (returns True) or `seconds` pass (returns False)."""
    deadline = time.monotonic() + seconds
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)


def stop(proc, timeout=5):
    """SIGTERM, then wait; returns (exit code, stdout bytes, stderr text)."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        return None, out, err.decode(errors="replace")
    return proc.returncode, out, err.decode(errors="replace")


# ---- ICMP echo through the kernel's datagram socket ---------------------------------------------
# With ping_group_range open, an unprivileged-style ICMP socket is used: the kernel fills in the
# identifier and the checksum, and drops replies whose checksum is wrong.

def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


class Pinger:
    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_ICMP)
        self.seq = random.randrange(1, 30000)

    def close(self):
        self.sock.close()

    def send(self, address, payload):
        """Sends one request; returns its sequence number. A firewall rule that drops it on
        the way out (nftables in the peer namespace) makes sendto fail with EPERM: that probe
        is lost, as on the wire."""
        self.seq = (self.seq + 1) & 0xFFFF
        header = struct.pack("!BBHHH", 8, 0, 0, 0, self.seq)
        try:
            self.sock.sendto(header + payload, (address, 0))
        except PermissionError:
            pass
        return self.seq

    def replies(self, wait, until_seq=None):
        """Echo replies arriving within `wait` seconds, as (seq, payload, arrival time); stops
        early once the reply numbered `until_seq` is in."""
        got = []
        deadline = time.monotonic() + wait
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return got
            self.sock.settimeout(left)
            try:
                data, _ = self.sock.recvfrom(70000)
            except socket.timeout:
                return got
            if len(data) >= 8 and data[0] == 0:
                seq = struct.unpack("!H", data[6:8])[0]
                got.append((seq, data[8:], time.monotonic()))
                if seq == until_seq:
                    return got

    def echo(self, address, payload, wait=2.0):
        """One request; the reply's payload, or None when none came within `wait`."""
        seq = self.send(address, payload)
        for rseq, data, _ in self.replies(wait, until_seq=seq):
            if rseq == seq:
                return data
        return None


def wait_until_answering(address, seconds=5.0, wait=0.2):
    """Pings until `address` answers (the stack's loop is running); False after `seconds`."""
    pinger = Pinger()
    try:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if pinger.echo(address, b"ready?", wait=wait) is not None:
                return True
        return False
    finally:
        pinger.close()


def pattern(size, seed):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(size))
