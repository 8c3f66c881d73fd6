"""`tarnet --tap NAME`: the stack on a TAP device whose kernel end is the peer, beside the
kernel's own TCP/IP, with no capture adapter and no promiscuous mode. The TAP device lives in
the peer namespace with TAP_NET.1; tarnet runs there as TAP_NET.2. Run through tests/net/run
(root only).
"""

import hashlib
import socket
import subprocess
import threading
import unittest

import netlib

NET = "198.51.100"
TAP_NET = "192.0.2"
TAP = "tntap1"
STACK_IP = TAP_NET + ".2"
SANDBOX = None


def setUpModule():
    global SANDBOX
    SANDBOX = netlib.Sandbox(net=NET)


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()


def tarnet(*args):
    return ["ip", "netns", "exec", SANDBOX.peer_ns, netlib.TARNET, "--tap", TAP,
            "--ip", STACK_IP] + list(args)


class TapAdapter(unittest.TestCase):
    def setUp(self):
        SANDBOX.peer("ip", "tuntap", "add", TAP, "mode", "tap")
        SANDBOX.peer("ip", "addr", "add", TAP_NET + ".1/24", "dev", TAP)
        SANDBOX.peer("ip", "link", "set", TAP, "up")

    def tearDown(self):
        SANDBOX.peer("ip", "link", "del", TAP, check=False)

    def test_pings_the_kernel(self):
        proc = subprocess.run(tarnet("ping", TAP_NET + ".1", "-c", "3"), capture_output=True,
                              text=True, timeout=30)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn("3 received", proc.stdout + proc.stderr)

    def test_echoes_a_tcp_transfer_from_the_kernel(self):
        server = subprocess.Popen(tarnet("tcp", "listen", "7007", "--echo", "-n", "1"),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            self.assertTrue(netlib.wait_until_answering(STACK_IP, seconds=10),
                            "tarnet --tap never answered ping")
            data = netlib.pattern(256 * 1024, 3)
            got = bytearray()
            with socket.create_connection((STACK_IP, 7007), timeout=10) as tcp:
                tcp.settimeout(20)
                sender = threading.Thread(target=tcp.sendall, args=(data,), daemon=True)
                sender.start()
                while len(got) < len(data):
                    chunk = tcp.recv(65536)
                    if not chunk:
                        break
                    got += chunk
                sender.join(20)
            self.assertEqual(hashlib.sha256(got).hexdigest(), hashlib.sha256(data).hexdigest())
            self.assertEqual(server.wait(timeout=15), 0)
        finally:
            if server.poll() is None:
                server.kill()
                server.wait()
            server.stdout.close()
            server.stderr.close()


if __name__ == "__main__":
    unittest.main()
