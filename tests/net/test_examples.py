"""The installed package as an embedder meets it: `cmake --install` into a temporary prefix,
the examples built from outside the tree against it (the CMake package and pkg-config), then run
against the kernel.

- minimal-host on a TAP device in the peer namespace (the kernel's end of the TAP has
  TAP_NET.1): the kernel pings it, and UDP and a 1 MiB TCP stream on port 7 come back intact;
- pkgconfig-ping on the sandbox's veth, through the installed Linux binding, pings the peer.

Skipped for a sanitizer build (its static libraries need the sanitizer's run-time to link).
"""

import hashlib
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import unittest

import netlib

NET = "198.51.100"
TAP_NET = "192.0.2"
TAP = "tntap0"
MIB = 1024 * 1024
BUILD = os.path.dirname(os.path.dirname(os.path.abspath(netlib.TARNET)))
EXAMPLES = os.path.join(netlib.ROOT, "examples")

SANDBOX = None
WORK = None


def sanitized_build():
    try:
        with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
            return "TARNET_SANITIZE:BOOL=ON" in f.read()
    except OSError:
        return True  # no build tree to install from


def run(*args, **kw):
    return subprocess.run(list(args), check=True, capture_output=True, text=True, timeout=300,
                          **kw)


def setUpModule():
    global SANDBOX, WORK
    if sanitized_build():
        raise unittest.SkipTest("the examples link the normal build's libraries")
    WORK = tempfile.mkdtemp(prefix="tarnet-examples-")
    prefix = os.path.join(WORK, "prefix")
    run("cmake", "--install", BUILD, "--prefix", prefix)
    run("cmake", "-S", os.path.join(EXAMPLES, "minimal-host"), "-B", os.path.join(WORK, "mh"),
        "-G", "Ninja", "-DCMAKE_PREFIX_PATH=" + prefix)
    run("cmake", "--build", os.path.join(WORK, "mh"))
    shutil.copytree(os.path.join(EXAMPLES, "pkgconfig-ping"), os.path.join(WORK, "pc"))
    env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "lib", "pkgconfig"))
    run("make", "-C", os.path.join(WORK, "pc"), env=env)
    SANDBOX = netlib.Sandbox(net=NET)


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()
    if WORK is not None:
        shutil.rmtree(WORK, ignore_errors=True)


class InstalledPackage(unittest.TestCase):
    def test_installs_only_public_headers_and_a_versioned_package(self):
        prefix = os.path.join(WORK, "prefix")
        headers = sorted(os.listdir(os.path.join(prefix, "include", "tarnet")))
        self.assertIn("tnsock.h", headers)
        self.assertIn("linux", headers)
        for internal in ("ftp_internal.h", "tcp.h", "reply_scanner.h", "host.h"):
            self.assertNotIn(internal, headers)
        self.assertIn("host.h", os.listdir(os.path.join(prefix, "include", "tarnet", "linux")))
        cmake_dir = os.path.join(prefix, "lib", "cmake", "Tarnet")
        self.assertTrue(os.path.exists(os.path.join(cmake_dir, "TarnetConfigVersion.cmake")))
        self.assertTrue(os.access(os.path.join(prefix, "bin", "tarnet"), os.X_OK))


class MinimalHost(unittest.TestCase):
    def setUp(self):
        peer = SANDBOX.peer
        peer("ip", "tuntap", "add", TAP, "mode", "tap")
        peer("ip", "addr", "add", TAP_NET + ".1/24", "dev", TAP)
        peer("ip", "link", "set", TAP, "up")
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", SANDBOX.peer_ns, os.path.join(WORK, "mh", "minimal-host"),
             TAP, TAP_NET + ".2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.address = TAP_NET + ".2"

    def tearDown(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        SANDBOX.peer("ip", "link", "del", TAP, check=False)
        self.proc.stdout.close()
        self.proc.stderr.close()

    def test_answers_ping_and_echoes_udp_and_tcp(self):
        self.assertTrue(netlib.wait_until_answering(self.address, seconds=10),
                        "minimal-host never answered ping")
        pinger = netlib.Pinger()
        try:
            payload = netlib.pattern(1000, 7)
            self.assertEqual(pinger.echo(self.address, payload), payload)
        finally:
            pinger.close()

        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            udp.settimeout(3)
            udp.sendto(b"echo me", (self.address, 7))
            self.assertEqual(udp.recvfrom(2048)[0], b"echo me")

        data = netlib.pattern(MIB, 11)
        got = bytearray()
        with socket.create_connection((self.address, 7), timeout=10) as tcp:
            tcp.settimeout(20)
            sender = threading.Thread(target=tcp.sendall, args=(data,), daemon=True)
            sender.start()
            while len(got) < len(data):
                chunk = tcp.recv(65536)
                if not chunk:
                    break
                got += chunk
            sender.join(20)
        self.assertEqual(len(got), len(data))
        self.assertEqual(hashlib.sha256(got).hexdigest(), hashlib.sha256(data).hexdigest())


class PkgConfigPing(unittest.TestCase):
    def test_pings_the_peer_through_the_installed_binding(self):
        proc = subprocess.run(
            ["ip", "netns", "exec", SANDBOX.stack_ns, os.path.join(WORK, "pc", "ping-tarnet"),
             SANDBOX.stack_if, SANDBOX.stack_ip, SANDBOX.peer_ip, "3"],
            capture_output=True, text=True, timeout=20)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn("3 sent, 3 received", proc.stdout)


if __name__ == "__main__":
    unittest.main()
