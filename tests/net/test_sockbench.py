"""sockbench's window, driven by QTest on Qt's offscreen platform, against the Linux kernel.

sockbench_drive (built beside tarnet) opens the sandbox adapter with a static address, connects
over TCP to a kernel listener and exchanges a line each way, exchanges a datagram with a kernel
UDP echo, and listens for a connection that the kernel opens. The test checks what the kernel
received and the log and session rows the window showed.

Run through tests/net/run (root only).
"""

import os
import signal
import socket
import subprocess
import threading
import unittest

import netlib

SANDBOX = None
STACK_MAC = "02:54:4e:00:00:3c"
DRIVE = os.path.join(os.path.dirname(netlib.TARNET), "sockbench_drive")
LISTEN_PORT = 2003
UTF8_LINE = "hello from sockbench \u2713".encode()


def setUpModule():
    global SANDBOX
    if not os.access(DRIVE, os.X_OK):
        raise unittest.SkipTest("%s not built (the desktop programs need Qt 6)" % DRIVE)
    SANDBOX = netlib.Sandbox()


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()


def read_to_end(reader, lines):
    """Adds the program's remaining lines to `lines`; returns its exit status and stderr."""
    while True:
        line = reader.next(timeout=20)
        if line is None:
            break
        lines.append(line)
    return reader.stop(timeout=10)


class KernelPeer:
    """A TCP listener that answers one line and waits for the close, and a UDP echo that
    answers each datagram in upper case."""

    def __init__(self, address):
        self.tcp = socket.socket()
        self.tcp.bind((address, 0))
        self.tcp.listen(1)
        self.tcp.settimeout(30)
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind((address, 0))
        self.udp.settimeout(30)
        self.received = b""
        self.closed = False
        self.datagrams = []
        self.threads = [threading.Thread(target=self._serve_tcp, daemon=True),
                        threading.Thread(target=self._serve_udp, daemon=True)]
        for t in self.threads:
            t.start()

    def _serve_tcp(self):
        try:
            conn, _ = self.tcp.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(30)
            while not self.received.endswith(UTF8_LINE):
                chunk = conn.recv(4096)
                if not chunk:
                    return
                self.received += chunk
            conn.sendall(b"hello from the kernel")
            self.closed = conn.recv(4096) == b""

    def _serve_udp(self):
        try:
            data, source = self.udp.recvfrom(2048)
        except OSError:
            return
        self.datagrams.append((data, source))
        self.udp.sendto(data.upper(), source)

    def close(self):
        self.tcp.close()
        self.udp.close()


class SockbenchAgainstKernel(unittest.TestCase):

    def test_tcp_udp_and_accepted_sessions(self):
        sb = SANDBOX
        peer = KernelPeer(sb.peer_ip)
        self.addCleanup(peer.close)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        cmd = ["ip", "netns", "exec", sb.stack_ns, DRIVE, sb.stack_if, STACK_MAC, sb.stack_ip,
               sb.peer_ip, str(peer.tcp.getsockname()[1]), str(peer.udp.getsockname()[1]),
               str(LISTEN_PORT)]
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        reader = netlib.LineReader(proc)
        lines = []
        while True:
            line = reader.next(timeout=40)
            if line is None:
                break
            lines.append(line)
            if line == "listening":
                break
        if lines[-1:] != ["listening"]:
            rc, err = reader.stop(timeout=10)
            self.fail("no 'listening' (exit %s):\n%s\n%s" % (rc, "\n".join(lines), err))

        caller = socket.create_connection((sb.stack_ip, LISTEN_PORT), timeout=10)
        caller.sendall(b"kernel calling")
        answer = caller.recv(64)
        caller_port = caller.getsockname()[1]
        caller.close()
        rc, err = read_to_end(reader, lines)
        output = "\n".join(lines) + "\n" + err
        self.assertEqual(rc, 0, output)

        self.assertEqual(peer.received, UTF8_LINE)
        self.assertTrue(peer.closed, "the user's close reached the kernel as a FIN")
        self.assertEqual([d for d, _ in peer.datagrams], [b"datagram"])
        self.assertEqual(peer.datagrams[0][1], (sb.stack_ip, 2002))
        self.assertEqual(answer, b"answer")

        log = [line[5:] for line in lines if line.startswith("log: ")]
        expected = [
            "Initializing with eth addr: %s:" % STACK_MAC,
            "TnSock initialized OK",
            "TnSockTcpConnect initiated OK.",
            "TCP session connected",
            "TnSockTcpSend rc=Success",
            "TCP Socket data received len=21",
            "Session closed by user",
            "TnSockUdpOpen OK.",
            "TnSockUdpSendto rc=Success",
            "Socket data received len=8",
            "TnSockTcpListen OK. Listening on local port %d" % LISTEN_PORT,
            "TCP session connected",
            "TCP Socket data received len=14",
            "TnSockTcpSend rc=Success",
            "TCP session closed",
        ]
        self.assertEqual(log, expected, output)

        steps = {line.split(": ")[1]: line.split(": ", 2)[2]
                 for line in lines if line.startswith("step: ") and line.count(": ") >= 2}
        self.assertEqual(steps["tcp session"], "%s:0|%s:%d|TCP|Up" % (
            sb.stack_ip, sb.peer_ip, peer.tcp.getsockname()[1]))
        self.assertEqual(steps["udp session"], "%s:2002|%s:%d|UDP|Up" % (
            sb.stack_ip, sb.peer_ip, peer.udp.getsockname()[1]))
        self.assertEqual(steps["accepted session"], "%s:%d|%s:%d|TCP|Up" % (
            sb.stack_ip, LISTEN_PORT, sb.peer_ip, caller_port))
        rows = [line[5:] for line in lines if line.startswith("row: ")]
        self.assertEqual(rows, [steps["udp session"]], "the UDP session is left open")


if __name__ == "__main__":
    unittest.main()


class SockbenchStoppedBySignal(unittest.TestCase):

    def test_sigterm_ends_the_open_connection_at_the_peer(self):
        """SIGTERM closes the window as its close button does: the stack shuts down in order,
        so the kernel peer hears the end of the open connection instead of keeping it."""
        sb = SANDBOX
        listener = socket.socket()
        listener.bind((sb.peer_ip, 0))
        listener.listen(1)
        listener.settimeout(20)
        self.addCleanup(listener.close)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", TARNET_HOLD_TCP="1")
        cmd = ["ip", "netns", "exec", sb.stack_ns, DRIVE, sb.stack_if, STACK_MAC, sb.stack_ip,
               sb.peer_ip, str(listener.getsockname()[1]), "0", "0"]
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        reader = netlib.LineReader(proc)
        lines = []
        while lines[-1:] != ["holding"]:
            line = reader.next(timeout=40)
            if line is None:
                rc, err = reader.stop(timeout=10)
                self.fail("no 'holding' (exit %s):\n%s\n%s" % (rc, "\n".join(lines), err))
            lines.append(line)
        conn, _ = listener.accept()
        self.addCleanup(conn.close)
        conn.settimeout(10)

        proc.send_signal(signal.SIGTERM)
        ended = None
        try:
            ended = conn.recv(64)  # b"": the stack's FIN
        except ConnectionResetError:
            ended = "reset"
        rc, err = read_to_end(reader, lines)
        self.assertEqual(rc, 0, "\n".join(lines) + err)
        self.assertIn("closed by signal %d" % signal.SIGTERM, lines)
        self.assertIn(ended, (b"", "reset"), "the peer heard the connection end")
        held = sb.peer("ss", "-Htn", "state", "established", "dst", sb.stack_ip)
        self.assertEqual(held.strip(), "", "no connection left open at the peer")
