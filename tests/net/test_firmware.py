"""The Cortex-M3 firmware (firmware/mps2-an385) booted in QEMU on a TAP device bridged into the
sandbox, checked from the kernel's side: its DHCP lease, ping, UDP and TCP echo, the file it
downloads by FTP (by the SHA-256 it prints) and the report it mails.

Run through tests/net/run (root only). Skipped when the Arm toolchain or QEMU is missing.
"""

import hashlib
import os
import shutil
import signal
import socket
import subprocess
import threading
import time
import unittest

import netlib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FIRMWARE = os.path.join(ROOT, "scripts", "firmware")
BOARD_MAC = "02:54:4e:00:03:85"
# What the board downloads from the anonymous FTP folder (a name the firmware knows).
BOARD_FILE = netlib.pattern(100 * 1024, 25)
# The whole module (build, boot, every check) must end within this.
TIME_LIMIT = 300

SANDBOX = None
BOARD = None


def missing_tools():
    return [t for t in ("arm-none-eabi-g++", "qemu-system-arm") if shutil.which(t) is None]


class Board:
    """The firmware running in QEMU; its console read line by line."""

    def __init__(self, sandbox, elf):
        env = dict(os.environ, **sandbox.env)
        self.proc = subprocess.Popen([FIRMWARE, "boot", elf, BOARD_MAC], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     start_new_session=True)
        self.console = netlib.LineReader(self.proc)
        self.lines = []
        self.sandbox = sandbox

    def wait_line(self, prefix, seconds):
        """The first console line starting with `prefix` (earlier lines are kept)."""
        for line in self.lines:
            if line.startswith(prefix):
                return line
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            line = self.console.next(timeout=deadline - time.monotonic())
            if line is None:
                break
            self.lines.append(line)
            if line.startswith(prefix):
                return line
        raise AssertionError("no console line %r within %s s; console so far:\n%s"
                             % (prefix, seconds, "\n".join(self.lines)))

    def stop(self):
        """Ends QEMU through scripts/firmware's own clean-up, by force if that hangs, and makes
        sure the TAP device and the bridge are gone either way."""
        try:
            os.killpg(self.proc.pid, signal.SIGTERM)
            self.proc.wait(timeout=10)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()
        stack_if = self.sandbox.stack_if
        for dev in (stack_if[:-1] + "q", stack_if[:-1] + "b"):
            subprocess.run(["ip", "-n", self.sandbox.stack_ns, "link", "del", dev],
                           capture_output=True, check=False)


def on_time_limit(_signum, _frame):
    raise TimeoutError("the firmware tests ran past %d s" % TIME_LIMIT)


def setUpModule():
    global SANDBOX, BOARD
    missing = missing_tools()
    if missing:
        raise unittest.SkipTest("%s not installed (scripts/setup installs them)"
                                % ", ".join(missing))
    signal.signal(signal.SIGALRM, on_time_limit)
    signal.alarm(TIME_LIMIT)
    build = subprocess.run([FIRMWARE], capture_output=True, text=True, timeout=TIME_LIMIT)
    if build.returncode != 0:
        signal.alarm(0)
        raise AssertionError("the firmware did not build:\n" + build.stdout[-3000:] +
                             build.stderr[-3000:])
    elf = build.stdout.split("firmware: ", 1)[1].split()[0]
    try:
        SANDBOX = netlib.Sandbox(net="198.51.100", dnsmasq=True, ftp=True, smtp=True)
        path = os.path.join(SANDBOX.env["TARNET_VSFTPD_ANON"], "board.bin")
        with open(path, "wb") as f:
            f.write(BOARD_FILE)
        os.chmod(path, 0o644)
        BOARD = Board(SANDBOX, elf)
    except BaseException:
        tearDownModule()
        raise


def tearDownModule():
    signal.alarm(0)
    if BOARD is not None:
        BOARD.stop()
    if SANDBOX is not None:
        SANDBOX.down()


class FirmwareOnTheSandbox(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        line = BOARD.wait_line("dhcp: address ", 30)
        cls.address = line.split()[2].rstrip(",")
        BOARD.wait_line("echo: udp and tcp port 7 open", 5)

    def test_the_lease_is_in_dnsmasqs_log_and_leases(self):
        self.assertEqual(SANDBOX.leases().get(BOARD_MAC), self.address)
        with open(SANDBOX.dnsmasq_log) as f:
            log = f.read()
        self.assertRegex(log, r"DHCPACK\(%s\) %s %s" % (SANDBOX.peer_if, self.address,
                                                         BOARD_MAC))

    def test_100_pings_are_answered(self):
        pinger = netlib.Pinger()
        try:
            rtts = []
            for i in range(100):
                payload = b"board %03d " % i + bytes(range(48))
                sent = time.monotonic()
                reply = pinger.echo(self.address, payload, wait=2.0)
                self.assertEqual(reply, payload, "echo %d" % i)
                rtts.append(time.monotonic() - sent)
        finally:
            pinger.close()
        rtts.sort()
        print("\nfirmware ping: 100 answered, round trip min %.2f ms, median %.2f ms, max %.2f ms"
              % (rtts[0] * 1e3, rtts[50] * 1e3, rtts[-1] * 1e3))

    def test_the_downloaded_file_has_the_right_sha256(self):
        line = BOARD.wait_line("ftp: board.bin, ", 30)
        self.assertEqual(line, "ftp: board.bin, %d bytes, sha256 %s"
                         % (len(BOARD_FILE), hashlib.sha256(BOARD_FILE).hexdigest()))

    def test_the_report_is_mailed(self):
        BOARD.wait_line("smtp: report sent", 40)
        print("\n" + BOARD.wait_line("memory after the report", 5))
        messages = SANDBOX.mail.wait("open", 1)
        self.assertEqual(len(messages), 1)
        envelope, message = messages[0]
        self.assertEqual(envelope["mail_from"], "board@tarnet.test")
        self.assertEqual(envelope["rcpt_tos"], ["ops@tarnet.test"])
        text = message.decode(errors="replace")
        self.assertIn("Subject: mps2-an385 report", text)
        self.assertIn("address %s" % self.address, text)
        self.assertIn("SHA-256: %s" % hashlib.sha256(BOARD_FILE).hexdigest(), text)

    def test_udp_echo(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(2)
            for size in (1, 512, 1472):
                data = netlib.pattern(size, size)
                s.sendto(data, (self.address, 7))
                reply, sender = s.recvfrom(2048)
                self.assertEqual((reply, sender), (data, (self.address, 7)), size)

    def test_1_mib_tcp_echo_comes_back_intact(self):
        data = netlib.pattern(1 << 20, 7)
        received = bytearray()
        with socket.create_connection((self.address, 7), timeout=10) as s:
            sender = threading.Thread(target=s.sendall, args=(data,), daemon=True)
            started = time.monotonic()
            sender.start()
            while len(received) < len(data):
                chunk = s.recv(65536)
                if not chunk:
                    break
                received += chunk
            elapsed = time.monotonic() - started
            sender.join(timeout=10)
        self.assertEqual(len(received), len(data))
        self.assertTrue(received == data, "the echoed bytes differ")
        print("\nfirmware tcp echo: 1 MiB each way in %.2f s, %.0f KiB/s"
              % (elapsed, 1024 / elapsed))
        print(BOARD.wait_line("echo: tcp ", 10))


if __name__ == "__main__":
    unittest.main()
