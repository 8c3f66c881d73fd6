"""`tarnet ftp` against a scripted FTP server in the peer namespace that misbehaves on cue: a
refused, reset or short download never destroys the local file nor exits 0, a listing cut by a
reset fails the walk, and a 4xx during an upload is reported with the server's words. Run
through tests/net/run (root only).
"""

import os
import shutil
import subprocess
import socket
import struct
import tempfile
import threading
import unittest

import netlib

SANDBOX = None
NET = "198.51.100"
STACK_MAC = "02:54:4e:00:00:f6"
PORT = 2201
SIZE = 1048576


def setUpModule():
    global SANDBOX
    SANDBOX = netlib.Sandbox(net=NET)
    SANDBOX.pin_neighbour(SANDBOX.stack_ip, STACK_MAC)


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()


def reset(sock):
    """Closes with a reset instead of a FIN."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class ScriptedServer(threading.Thread):
    """One session: logs anyone in, lists one file `a.bin` of SIZE bytes in any folder, and ends
    RETR, LIST or STOR the way `cue` says."""

    def __init__(self, cue):
        super().__init__(daemon=True)
        self.cue = cue
        self.listener = socket.create_server((SANDBOX.peer_ip, PORT), reuse_port=True)
        self.data = socket.create_server((SANDBOX.peer_ip, 0))
        self.received = 0

    def run(self):
        conn, _ = self.listener.accept()
        self.listener.close()
        with conn:
            self.f = conn.makefile("rwb", buffering=0)
            self.f.write(b"220 scripted\r\n")
            for line in iter(self.f.readline, b""):
                verb = (line.split() or [b""])[0].upper()
                if not self.answer(verb):
                    return

    def answer(self, verb):
        simple = {b"USER": b"331 go on", b"PASS": b"230 in", b"TYPE": b"200 binary",
                  b"CWD": b"250 ok", b"CDUP": b"250 ok", b"PWD": b'257 "/"', b"NOOP": b"200 ok",
                  b"ABOR": b"225 nothing to abort"}
        if verb in simple:
            self.f.write(simple[verb] + b"\r\n")
        elif verb == b"PASV":
            port = self.data.getsockname()[1]
            self.f.write(b"227 Entering Passive Mode (%s,%d,%d)\r\n" %
                         (SANDBOX.peer_ip.replace(".", ",").encode(), port >> 8, port & 255))
        elif verb in (b"LIST", b"RETR", b"STOR"):
            self.transfer(verb)
        elif verb == b"QUIT":
            self.f.write(b"221 bye\r\n")
            return False
        else:
            self.f.write(b"502 no\r\n")
        return True

    def transfer(self, verb):
        data, _ = self.data.accept()
        if verb == b"RETR" and self.cue == "refuse":
            data.close()
            self.f.write(b"550 not today\r\n")
            return
        self.f.write(b"150 here\r\n")
        if verb == b"LIST":
            data.sendall(b"-rw-r--r-- 1 u g %d Jan  1 00:00 a.bin\r\n" % SIZE)
            if self.cue == "list-reset":
                reset(data)
            else:
                data.close()
        elif verb == b"RETR":
            data.sendall(netlib.pattern(300000 if self.cue in ("reset", "short") else SIZE, 5))
            if self.cue == "reset":
                reset(data)
            else:
                data.close()
        else:
            while self.received < 200000:
                self.received += len(data.recv(65536))
            self.f.write(b"452 disk full\r\n")
            data.close()
            return
        self.f.write(b"226 done\r\n")


class MisbehavingServer(unittest.TestCase):

    def setUp(self):
        self.local = tempfile.mkdtemp(prefix="tarnet-ftp-faults-")

    def tearDown(self):
        shutil.rmtree(self.local, ignore_errors=True)

    def tarnet(self, cue, *args, cwd=None):
        server = ScriptedServer(cue)
        server.start()
        argv = SANDBOX.tarnet_args("ftp", SANDBOX.peer_ip, "--port", str(PORT), "--user", "u",
                                   "--password", "p", *args, mac=STACK_MAC,
                                   extra=["--timeout", "60"])
        proc = subprocess.run(argv, capture_output=True, timeout=90,
                              cwd=cwd or self.local)
        server.join(timeout=10)
        return proc.returncode, proc.stderr.decode(errors="replace"), server

    def test_failed_downloads_keep_the_local_file(self):
        """(cue, command, words in the failure line); an old a.bin must survive each."""
        cases = [
            ("refuse", ["get", "a.bin"], "550 not today"),
            ("refuse", ["get-dir", "d", "--overwrite"], "550 not today"),
            ("reset", ["get", "a.bin"], "reset after"),
            ("reset", ["get-dir", "d", "--overwrite"], "a file transfer or deletion failed"),
            ("short", ["get-dir", "d", "--overwrite"], "a file transfer or deletion failed"),
            ("list-reset", ["get-dir", "d"], "the listing's data connection was reset"),
        ]
        for cue, args, words in cases:
            with self.subTest(cue=cue, command=args[0]):
                base = tempfile.mkdtemp(dir=self.local)
                folder = base if args[0] == "get" else os.path.join(base, "d")
                os.makedirs(folder, exist_ok=True)
                with open(os.path.join(folder, "a.bin"), "wb") as f:
                    f.write(b"the old contents")
                rc, err, _ = self.tarnet(cue, *args, cwd=base)
                self.assertEqual(rc, 1, err)
                self.assertIn(words, err)
                self.assertEqual(sorted(os.listdir(folder)), ["a.bin"], "no side file stays")
                with open(os.path.join(folder, "a.bin"), "rb") as f:
                    self.assertEqual(f.read(), b"the old contents")

    def test_a_4xx_during_an_upload_is_reported_with_its_words(self):
        path = os.path.join(self.local, "up.bin")
        with open(path, "wb") as f:
            f.write(netlib.pattern(4 * SIZE, 6))
        rc, err, server = self.tarnet("disk-full", "--reply-timeout", "30000", "put", path)
        self.assertEqual(rc, 1, err)
        self.assertIn("452 disk full", err)
        self.assertLess(server.received, 4 * SIZE)


if __name__ == "__main__":
    unittest.main()
