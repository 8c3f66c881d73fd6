"""`tarnet ftp` folder operations and listings against a scripted server in the peer namespace
that serves a made-up tree: listings in layouts tarnet does not read, a folder shown inside
itself, paths longer than the local system allows, links, and a server that refuses LIST.
Run through tests/net/run (root only).
"""

import os
import posixpath
import pty
import shutil
import socket
import subprocess
import tempfile
import threading
import unittest

import netlib

SANDBOX = None
NET = "198.51.100"
STACK_MAC = "02:54:4e:00:00:f6"
PORT = 2300
UNREADABLE = "+i8388621.29609,m824255902,/,\tdev"


def setUpModule():
    global SANDBOX
    SANDBOX = netlib.Sandbox(net=NET)
    SANDBOX.pin_neighbour(SANDBOX.stack_ip, STACK_MAC)


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()


def file_line(name, size):
    return "-rw-r--r-- 1 u g %d Aug 25 09:15 %s" % (size, name)


def dir_line(name):
    return "drwxr-xr-x 2 u g 4096 Aug 25 09:15 " + name


class TreeServer(threading.Thread):
    """Serves `sessions` logins in turn. `folder(path)` gives a folder's listing as
    {name: line}, or None where there is no folder; `files` maps paths to contents. DELE
    removes a listed name, RMD refuses a folder that still lists something."""

    def __init__(self, folder, files=None, refuse_list=False, sessions=1):
        super().__init__(daemon=True)
        self.folder = folder
        self.files = files or {}
        self.refuse_list = refuse_list
        self.sessions = sessions
        self.commands = []
        self.listener = socket.create_server((SANDBOX.peer_ip, PORT))
        self.data = socket.create_server((SANDBOX.peer_ip, 0))

    def run(self):
        for _ in range(self.sessions):
            conn, _ = self.listener.accept()
            with conn:
                self.session(conn.makefile("rwb", buffering=0))
        self.listener.close()
        self.data.close()

    def send_data(self, f, payload):
        data, _ = self.data.accept()
        f.write(b"150 here\r\n")
        data.sendall(payload)
        data.close()
        f.write(b"226 done\r\n")

    def session(self, f):
        cwd = "/"
        f.write(b"220 scripted\r\n")
        for raw in f:
            line = raw.decode(errors="replace").rstrip("\r\n")
            self.commands.append(line)
            verb, _, arg = line.partition(" ")
            path = posixpath.normpath(posixpath.join(cwd, arg))
            reply = {"USER": "331 go on", "PASS": "230 in", "TYPE": "200 binary",
                     "NOOP": "200 ok", "PWD": '257 "%s"' % cwd}.get(verb)
            if verb == "QUIT":
                f.write(b"221 bye\r\n")
                return
            if verb == "CWD":
                ok = path == "/" or self.folder(path) is not None
                cwd = path if ok else cwd
                reply = "250 ok" if ok else "550 no such folder"
            elif verb == "PASV":
                port = self.data.getsockname()[1]
                reply = "227 Entering Passive Mode (%s,%d,%d)" % (
                    SANDBOX.peer_ip.replace(".", ","), port >> 8, port & 255)
            elif verb == "LIST" and not self.refuse_list:
                lines = (self.folder(cwd) or {}).values()
                self.send_data(f, "".join(text + "\r\n" for text in lines).encode())
                continue
            elif verb == "RETR" and path in self.files:
                self.send_data(f, self.files[path])
                continue
            elif verb == "DELE":
                listed = self.folder(cwd)
                ok = arg in listed
                listed.pop(arg, None)
                reply = "250 deleted" if ok else "550 no such file"
            elif verb == "RMD":
                reply = "550 not empty" if self.folder(path) else "250 removed"
            if reply is None:
                self.data.settimeout(0.2)  # a data connection made for a refused command
                try:
                    self.data.accept()[0].close()
                except OSError:
                    pass
                self.data.settimeout(None)
                reply = "550 refused"
            f.write(reply.encode() + b"\r\n")


def tarnet_ftp(*args, cwd=None, tty=False):
    argv = SANDBOX.tarnet_args("ftp", SANDBOX.peer_ip, "--port", str(PORT), "--user", "u", *args,
                               mac=STACK_MAC, extra=["--timeout", "60"])
    env = dict(os.environ, TARNET_FTP_PASSWORD="p")
    if not tty:
        proc = subprocess.run(argv, cwd=cwd, env=env, capture_output=True, timeout=90)
        return proc.returncode, proc.stderr.decode(errors="replace")
    # stderr on a terminal: the interactive progress bar.
    master, slave = pty.openpty()
    proc = subprocess.Popen(argv, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    err = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        err += chunk
    os.close(master)
    return proc.wait(timeout=90), err.decode(errors="replace")


def deepest(top):
    """The longest path (bytes) under `top`, and the most levels below it."""
    longest, levels = len(top), 0
    for here, dirs, _ in os.walk(top):
        longest = max(longest, len(here))
        levels = max(levels, here[len(top):].count("/"))
    return longest, levels


class FolderWalks(unittest.TestCase):

    def setUp(self):
        self.local = tempfile.mkdtemp(prefix="tarnet-ftptree-")

    def tearDown(self):
        shutil.rmtree(self.local, ignore_errors=True)

    def serve(self, *args, **kw):
        server = TreeServer(*args, **kw)
        server.start()
        self.addCleanup(server.join, 5)
        return server

    def test_get_dir_fails_cleanly_where_it_cannot_follow(self):
        long_name = "n" * 200
        tree = {"/top": {UNREADABLE: UNREADABLE, "after.txt": file_line("after.txt", 5)}}
        cases = [
            # (what, the folder's listing, the words of the failure)
            ("an unreadable listing line", tree.get, "1 listed entries were skipped"),
            ("a folder shown inside itself",
             lambda p: {"loop": dir_line("loop")} if p.startswith("/top") else None,
             "more than 64 levels deep"),
            ("a path longer than PATH_MAX",
             lambda p: {long_name: dir_line(long_name)} if p.startswith("/top") else None,
             "File name too long"),
        ]
        for what, folder, words in cases:
            with self.subTest(what):
                self.serve(folder, files={"/top/after.txt": b"hello"})
                rc, err = tarnet_ftp("get-dir", "top", cwd=self.local)
                self.assertEqual(rc, 1, err)
                self.assertIn(words, err)
                longest, levels = deepest(os.path.join(self.local, "top"))
                self.assertLess(longest, 4096)
                self.assertLessEqual(levels, 64)
                if folder == tree.get:  # the line after the unreadable one was still read
                    with open(os.path.join(self.local, "top", "after.txt"), "rb") as f:
                        self.assertEqual(f.read(), b"hello")
                shutil.rmtree(os.path.join(self.local, "top"))

    def test_get_dir_counts_the_files_it_kept(self):
        os.makedirs(os.path.join(self.local, "top"))
        with open(os.path.join(self.local, "top", "same.txt"), "wb") as f:
            f.write(b"12345")
        self.serve(lambda p: {"same.txt": file_line("same.txt", 5)} if p == "/top" else None)
        rc, err = tarnet_ftp("get-dir", "top", cwd=self.local)
        self.assertEqual(rc, 0, err)
        self.assertIn("0 files, 1 already here with the same size (skipped)", err)

    def test_rm_dir_deletes_a_link_by_its_own_name(self):
        top = {"ln": "lrwxrwxrwx 1 u g 4 Aug 25 09:15 ln -> /etc", "f": file_line("f", 1)}
        server = self.serve(lambda p: top if p == "/top" else None)
        rc, err = tarnet_ftp("rm-dir", "top")
        self.assertEqual(rc, 0, err)
        self.assertIn("DELE ln", server.commands)
        self.assertEqual(top, {})

    def test_interactive_get_does_without_a_listing(self):
        server = self.serve(lambda p: None, files={"/f.bin": b"x" * 5000},
                            refuse_list=True, sessions=2)
        target = os.path.join(self.local, "f.bin")
        rc, err = tarnet_ftp("get", "f.bin", target, tty=True)
        self.assertEqual(rc, 0, err)
        self.assertIn("LIST", server.commands)
        # Without a size the progress line shows bytes and speed; it is erased before the
        # summary takes its place.
        self.assertRegex(err,
                         r"\r\d+\.\d MiB  [\d.]+ MB/s +\r\x1b\[Ktarnet: received 5000 bytes")
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b"x" * 5000)


if __name__ == "__main__":
    unittest.main()
