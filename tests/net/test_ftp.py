"""`tarnet ftp` against real FTP servers (vsftpd and pyftpdlib in the sandbox's peer namespace),
every result checked on the server's own disk; and against a scripted server that closes the
control connection in the middle of a download. Run through tests/net/run (root only).
"""

import filecmp
import os
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import netlib

SANDBOX = None
NET = "198.51.100"
STACK_MAC = "02:54:4e:00:00:f7"
MIB = 1024 * 1024
SIZES = (0, 1, 2047, 2048, 2049, 4096, 20 * MIB)


def setUpModule():
    global SANDBOX
    SANDBOX = netlib.Sandbox(net=NET, dnsmasq=True, ftp=True)
    SANDBOX.pin_neighbour(SANDBOX.stack_ip, STACK_MAC)


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()


def tarnet_ftp(server, *args, cwd=None, user=None, password=None, impair=None, timeout=120,
               wait=True, stdout=subprocess.PIPE):
    """`tarnet ftp` as the server's user; the password goes through TARNET_FTP_PASSWORD unless
    one is given on the command line. `stdout`: where its output goes (captured by default)."""
    extra = ["--timeout", str(timeout - 10), "--dns", SANDBOX.peer_ip]
    if impair:
        extra += ["--impair", impair]
    command = ["ftp", args[0], "--port", str(server.port), "--user", user or server.user]
    if password is not None:
        command += ["--password", password]
    command += list(args[1:])
    env = dict(os.environ, TARNET_FTP_PASSWORD=server.password)
    argv = SANDBOX.tarnet_args(*command, mac=STACK_MAC, extra=extra)
    if not wait:
        return subprocess.Popen(argv, cwd=cwd, env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
    proc = subprocess.run(argv, cwd=cwd, env=env, stdout=stdout, stderr=subprocess.PIPE,
                          timeout=timeout)
    return proc.returncode, (proc.stdout or b"").decode(errors="replace"), proc.stderr.decode(
        errors="replace")


def tree_files(top):
    """{relative path: bytes or None for a folder} of everything under `top`."""
    found = {}
    for here, dirs, files in os.walk(top):
        for name in dirs:
            found[os.path.relpath(os.path.join(here, name), top)] = None
        for name in files:
            with open(os.path.join(here, name), "rb") as f:
                found[os.path.relpath(os.path.join(here, name), top)] = f.read()
    return found


def make_tree(top):
    """Three levels, spaces in names, empty folders."""
    layout = {
        "a file.txt": b"top level\n",
        "empty top": None,
        "level 1/one.bin": netlib.pattern(5000, 1),
        "level 1/level 2/two.bin": netlib.pattern(2048, 2),
        "level 1/level 2/level 3/three words.txt": b"deep\n",
        "level 1/level 2/level 3/nothing": b"",
        "level 1/level 2/empty deep": None,
    }
    for path, data in layout.items():
        full = os.path.join(top, path)
        if data is None:
            os.makedirs(full, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(data)


class FtpServers(unittest.TestCase):
    """Every operation against both servers."""

    def setUp(self):
        self.local = tempfile.mkdtemp(prefix="tarnet-ftp-")

    def tearDown(self):
        shutil.rmtree(self.local, ignore_errors=True)

    def servers(self):
        for server in SANDBOX.ftp_servers:
            with self.subTest(server=server.name):
                yield server

    def seed(self, server, path, data):
        full = server.path(path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
        server.give(server.home)
        return full

    def ok(self, result):
        rc, out, err = result
        self.assertEqual(rc, 0, err)
        return out, err

    def test_files_round_trip_byte_for_byte(self):
        for server in self.servers():
            for size in SIZES:
                name = "round %d.bin" % size
                data = netlib.pattern(min(size, 1 << 16), size) * max(1, size >> 16)
                data = data[:size]
                src = os.path.join(self.local, name)
                with open(src, "wb") as f:
                    f.write(data)
                start = time.monotonic()
                _, err = self.ok(tarnet_ftp(server, server.address, "put", src))
                self.assertIn("sent %d bytes" % size, err)
                with open(server.path(name), "rb") as f:
                    self.assertEqual(f.read(), data, "%s on the server" % name)
                back = os.path.join(self.local, "back")
                _, err = self.ok(tarnet_ftp(server, server.address, "get", name, back))
                self.assertIn("received %d bytes" % size, err)
                self.assertTrue(filecmp.cmp(src, back, shallow=False), name)
                if size >= MIB:
                    sys_note("%s: %d MiB up and down in %.1f s" %
                             (server.name, size // MIB, time.monotonic() - start))
                os.unlink(back)

    def test_download_replaces_a_longer_local_file(self):
        for server in self.servers():
            self.seed(server, "short.txt", b"new")
            target = os.path.join(self.local, "short.txt")
            with open(target, "wb") as f:
                f.write(b"old and much longer")
            self.ok(tarnet_ftp(server, server.address, "get", "short.txt", self.local))
            with open(target, "rb") as f:
                self.assertEqual(f.read(), b"new")
            # A device is written, never replaced.
            self.ok(tarnet_ftp(server, server.address, "get", "short.txt", "/dev/null"))
            self.assertTrue(stat.S_ISCHR(os.stat("/dev/null").st_mode))
            # So is the program's own output named as /dev/stdout: the file it was sent to gets
            # the bytes after what it held, and /dev/stdout stays the link it was.
            output = os.path.join(self.local, "output")
            with open(output, "wb") as f:
                f.write(b"before;")
            with open(output, "ab") as f:
                self.ok(tarnet_ftp(server, server.address, "get", "short.txt", "/dev/stdout",
                                   stdout=f))
            with open(output, "rb") as f:
                self.assertEqual(f.read(), b"before;new")
            self.assertTrue(os.path.islink("/dev/stdout"))

    def test_listing_of_many_entries_with_spaces(self):
        names = ["entry %03d with spaces" % i for i in range(205)] + ["plain"]
        for server in self.servers():
            for i, name in enumerate(names):
                self.seed(server, os.path.join("big dir", name), b"x" * i)
            os.makedirs(server.path("big dir", "a sub dir"), exist_ok=True)
            server.give(server.home)
            out, _ = self.ok(tarnet_ftp(server, server.address, "ls", "big dir"))
            listed = set(out.splitlines())
            expected = {"- %d %s" % (i, name) for i, name in enumerate(names)}
            expected.add("d %d a sub dir" % os.stat(server.path("big dir", "a sub dir")).st_size)
            self.assertEqual(listed, expected)

    def test_single_commands_change_the_server_disk(self):
        for server in self.servers():
            self.seed(server, "cmd/victim.txt", b"delete me")
            self.seed(server, "cmd/old name.txt", b"rename me")
            steps = [
                (("mkdir", "cmd/new folder"), lambda: os.path.isdir(server.path("cmd/new folder"))),
                (("rmdir", "cmd/new folder"),
                 lambda: not os.path.exists(server.path("cmd/new folder"))),
                (("mv", "cmd/old name.txt", "cmd/new name.txt"),
                 lambda: os.path.exists(server.path("cmd/new name.txt")) and
                 not os.path.exists(server.path("cmd/old name.txt"))),
                (("rm", "cmd/victim.txt"), lambda: not os.path.exists(server.path("cmd/victim.txt"))),
            ]
            for args, check in steps:
                self.ok(tarnet_ftp(server, server.address, *args))
                self.assertTrue(check(), args)
            out, _ = self.ok(tarnet_ftp(server, server.address, "pwd"))
            self.assertEqual(out, "/\n")
            out, _ = self.ok(tarnet_ftp(server, server.address, "noop"))
            self.assertTrue(out.startswith("200"), out)

    def test_failures_name_the_step_and_the_reply(self):
        for server in self.servers():
            cases = [
                (("rm", "no such file"), "DELE failed: 550"),
                (("rmdir", "no such folder"), "RMD failed: 550"),
                (("get", "no such file", os.path.join(self.local, "x")), "failed: 550"),
            ]
            for args, message in cases:
                rc, _, err = tarnet_ftp(server, server.address, *args)
                self.assertEqual(rc, 1, err)
                self.assertIn(message, err)
                self.assertEqual(len(err.strip().splitlines()), 1, err)
            self.assertFalse(os.path.exists(os.path.join(self.local, "x")))
            rc, _, err = tarnet_ftp(server, server.address, "pwd", password="wrong")
            self.assertEqual(rc, 1, err)
            self.assertIn("PASS failed: 530", err)

    def test_a_server_that_is_not_there(self):
        vsftpd = SANDBOX.ftp_servers[0]
        cases = [
            (vsftpd.address, "2222", "the connection was refused or not answered"),
            (SANDBOX.spare_ip, "21", "no connection (nobody answered)"),
        ]
        for address, port, message in cases:
            rc, _, err = tarnet_ftp(vsftpd, address, "--port", port, "--reply-timeout", "2000",
                                    "pwd")
            self.assertEqual(rc, 1, err)
            self.assertIn(message, err)

    def test_folders_up_down_and_deleted(self):
        source = os.path.join(self.local, "src")
        make_tree(os.path.join(source, "my tree"))
        for server in self.servers():
            _, err = self.ok(tarnet_ftp(server, server.address, "put-dir",
                                        os.path.join(source, "my tree")))
            self.assertIn("put-dir", err)
            expected = tree_files(os.path.join(source, "my tree"))
            self.assertEqual(tree_files(server.path("my tree")), expected)
            server.give(server.home)

            dest = os.path.join(self.local, "dest-" + server.name)
            os.makedirs(dest)
            self.ok(tarnet_ftp(server, server.address, "get-dir", "my tree", cwd=dest))
            self.assertEqual(tree_files(os.path.join(dest, "my tree")), expected)

            # Same size, other bytes: skipped without --overwrite, replaced with it.
            changed = os.path.join(dest, "my tree", "level 1", "one.bin")
            with open(changed, "wb") as f:
                f.write(b"z" * 5000)
            self.ok(tarnet_ftp(server, server.address, "get-dir", "my tree", cwd=dest))
            with open(changed, "rb") as f:
                self.assertEqual(f.read(), b"z" * 5000)
            self.ok(tarnet_ftp(server, server.address, "get-dir", "my tree", "--overwrite",
                               cwd=dest))
            self.assertEqual(tree_files(os.path.join(dest, "my tree")), expected)

            self.ok(tarnet_ftp(server, server.address, "rm-dir", "my tree"))
            self.assertFalse(os.path.exists(server.path("my tree")))

    def test_upload_into_an_existing_folder_fails(self):
        source = os.path.join(self.local, "twice")
        os.makedirs(source)
        for server in self.servers():
            os.makedirs(server.path("twice"), exist_ok=True)
            server.give(server.home)
            rc, _, err = tarnet_ftp(server, server.address, "put-dir", source)
            self.assertEqual(rc, 1, err)
            self.assertIn("creating a remote folder failed", err)

    def test_host_name_through_the_stacks_resolver(self):
        server = SANDBOX.ftp_servers[0]
        out, _ = self.ok(tarnet_ftp(server, SANDBOX.env["TARNET_FTP_NAME"], "pwd"))
        self.assertEqual(out, "/\n")
        rc, _, err = tarnet_ftp(server, "nosuch.tarnet.test", "ls")
        self.assertEqual((rc, err), (1, "tarnet: nosuch.tarnet.test: not found (DNS server %s: "
                                        "no such name)\n" % SANDBOX.peer_ip))

    def test_anonymous_reads_but_cannot_write(self):
        vsftpd = SANDBOX.ftp_servers[0]
        src = os.path.join(self.local, "anon.txt")
        with open(src, "wb") as f:
            f.write(b"x")
        out, _ = self.ok(tarnet_ftp(vsftpd, vsftpd.address, "ls", user="anonymous"))
        self.assertIn("readme.txt", out)
        rc, _, err = tarnet_ftp(vsftpd, vsftpd.address, "put", src, user="anonymous")
        self.assertEqual(rc, 1, err)
        self.assertIn("STOR failed: 550", err)

    def test_interrupt_aborts_a_running_transfer(self):
        """Ctrl-C in a get or a put: the data connection is reset, ABOR's replies are shown as
        the server gave them, no partial local file stays, and a cut upload is said to be
        possibly partial on the server."""
        source = os.path.join(self.local, "up", "huge-up.bin")
        os.makedirs(os.path.dirname(source))
        with open(source, "wb") as f:
            f.truncate(512 * MIB)
        for server in self.servers():
            big = self.seed(server, "huge.bin", b"")
            os.truncate(big, 512 * MIB)  # sparse: costs the server's disk nothing
            down = os.path.join(self.local, "down")
            os.makedirs(down, exist_ok=True)
            cases = [
                (("get", "huge.bin", os.path.join(down, "huge.bin")),
                 lambda: sum(os.path.getsize(os.path.join(down, n)) for n in os.listdir(down)),
                 "aborted (server: 4"),
                (("put", source), lambda: os.path.getsize(server.path("huge-up.bin"))
                 if os.path.exists(server.path("huge-up.bin")) else 0,
                 "the remote file may be partial"),
            ]
            for args, progress, words in cases:
                proc = tarnet_ftp(server, server.address, *args, wait=False)
                self.assertTrue(netlib.wait_for(lambda: progress() > MIB, 30))
                proc.send_signal(signal.SIGINT)
                out, err = proc.communicate(timeout=20)
                err = err.decode(errors="replace")
                self.assertEqual(proc.returncode, 1, err)
                self.assertIn(words, err)
                self.assertNotIn("no reply", err)
            self.assertEqual(os.listdir(down), [], "a partial file stays")
            # The server is still fine for the next session.
            self.ok(tarnet_ftp(server, server.address, "rm", "huge.bin"))
            self.ok(tarnet_ftp(server, server.address, "rm", "huge-up.bin"))

    def test_download_over_a_lossy_reordering_link(self):
        server = SANDBOX.ftp_servers[0]
        data = netlib.pattern(1 << 16, 9) * 32
        self.seed(server, "lossy.bin", data)
        target = os.path.join(self.local, "lossy.bin")
        self.ok(tarnet_ftp(server, server.address, "get", "lossy.bin", target,
                           impair="loss=2,reorder=2,seed=11"))
        with open(target, "rb") as f:
            self.assertEqual(f.read(), data)


def sys_note(text):
    sys.stderr.write("    %s\n" % text)
    sys.stderr.flush()


class ClosingServer(threading.Thread):
    """Logs anyone in, starts a download of `size` bytes, and closes the control connection
    after the first block of data."""

    def __init__(self, address, port):
        super().__init__(daemon=True)
        self.listener = socket.create_server((address, port))
        self.data = socket.create_server((address, 0))
        self.address = address

    def run(self):
        conn, _ = self.listener.accept()
        with conn:
            f = conn.makefile("rwb", buffering=0)
            f.write(b"220 scripted\r\n")
            while True:
                line = f.readline()
                if not line:
                    return
                verb = line.split()[0].upper()
                if verb == b"USER":
                    f.write(b"331 go on\r\n")
                elif verb == b"PASS":
                    f.write(b"230 in\r\n")
                elif verb == b"TYPE":
                    f.write(b"200 binary\r\n")
                elif verb == b"PASV":
                    port = self.data.getsockname()[1]
                    f.write(b"227 Entering Passive Mode (%s,%d,%d)\r\n" %
                            (self.address.replace(".", ",").encode(), port >> 8, port & 255))
                elif verb == b"RETR":
                    data, _ = self.data.accept()
                    f.write(b"150 here it comes\r\n")
                    data.sendall(b"x" * 10000)
                    conn.shutdown(socket.SHUT_RDWR)
                    time.sleep(1)
                    data.close()
                    return
                else:
                    f.write(b"502 no\r\n")


class HostileServer(unittest.TestCase):

    def test_control_connection_closed_mid_download(self):
        server = ClosingServer(SANDBOX.peer_ip, 2200)
        server.start()
        local = tempfile.mkdtemp(prefix="tarnet-ftp-")
        try:
            spec = netlib.FtpServer("scripted", SANDBOX.peer_ip, 2200, "u", "p", local, 0, "")
            rc, _, err = tarnet_ftp(spec, SANDBOX.peer_ip, "get", "file.bin",
                                    os.path.join(local, "file.bin"))
            self.assertEqual(rc, 1, err)
            self.assertIn("closed the control connection", err)
            self.assertFalse(os.path.exists(os.path.join(local, "file.bin")))
        finally:
            server.join(timeout=5)
            shutil.rmtree(local, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
