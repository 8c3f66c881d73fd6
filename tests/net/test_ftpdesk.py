"""ftpdesk's window, driven by QTest on Qt's offscreen platform, against vsftpd.

ftpdesk_drive (built beside tarnet) takes its address by DHCP from dnsmasq, connects to vsftpd
by the name the sandbox's DNS serves, and runs the FTP demo's actions: upload, download, mkdir,
rename, delete, a folder tree up, down and deleted, rmdir, disconnect. The test checks every
file on both disks, the four address fields, the log lines and "ftpapp.cfg".

Run through tests/net/run (root only).
"""

import hashlib
import os
import shutil
import signal
import stat
import subprocess
import tempfile
import unittest

import netlib

SANDBOX = None
NET = "198.51.100"
STACK_MAC = "02:54:4e:00:00:3d"
DRIVE = os.path.join(os.path.dirname(netlib.TARNET), "ftpdesk_drive")
FTPDESK = os.path.join(os.path.dirname(netlib.TARNET), "ftpdesk")
TREE = {
    "tree/top.txt": b"top level\n",
    "tree/level 1/one.bin": netlib.pattern(70000, 1),
    "tree/level 1/level 2/two.bin": netlib.pattern(2048, 2),
    "tree/empty": None,
}


def setUpModule():
    global SANDBOX
    if not os.access(DRIVE, os.X_OK):
        raise unittest.SkipTest("%s not built (the desktop programs need Qt 6)" % DRIVE)
    SANDBOX = netlib.Sandbox(net=NET, dnsmasq=True, ftp=True)


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def tree_of(top):
    found = {}
    for here, dirs, files in os.walk(top):
        for name in dirs:
            found[os.path.relpath(os.path.join(here, name), top)] = None
        for name in files:
            with open(os.path.join(here, name), "rb") as f:
                found[os.path.relpath(os.path.join(here, name), top)] = f.read()
    return found


class FtpdeskAgainstVsftpd(unittest.TestCase):

    def test_every_action_against_vsftpd(self):
        sb = SANDBOX
        vsftpd = sb.ftp_servers[0]
        local = tempfile.mkdtemp(prefix="ftpdesk-")
        self.addCleanup(shutil.rmtree, local, True)
        for name in os.listdir(vsftpd.home):
            path = vsftpd.path(name)
            shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
        with open(os.path.join(local, "up.bin"), "wb") as f:
            f.write(netlib.pattern(300000, 3))
        os.mkdir(os.path.join(local, "dl"))
        for rel, data in TREE.items():
            path = os.path.join(local, rel)
            if data is None:
                os.makedirs(path, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        with open(vsftpd.path("down.bin"), "wb") as f:
            f.write(netlib.pattern(200000, 4))
        down_digest = digest(vsftpd.path("down.bin"))
        vsftpd.give(vsftpd.path("down.bin"))

        env = dict(os.environ, QT_QPA_PLATFORM="offscreen",
                   TARNET_FTP_PASSWORD=vsftpd.password)
        cmd = ["ip", "netns", "exec", sb.stack_ns, DRIVE, sb.stack_if, STACK_MAC,
               sb.env["TARNET_FTP_NAME"], str(vsftpd.port), vsftpd.user]
        try:
            proc = subprocess.run(cmd, cwd=local, env=env, capture_output=True, timeout=150)
        except subprocess.TimeoutExpired as e:
            self.fail("ftpdesk_drive hung:\n%s" % (e.stdout or b"").decode(errors="replace"))
        out = proc.stdout.decode(errors="replace")
        output = out + "\n" + proc.stderr.decode(errors="replace")
        self.assertEqual(proc.returncode, 0, output)
        lines = out.splitlines()
        self.assertFalse([l for l in lines if l.endswith(": FAILED")], output)

        lease = [l[7:].split("|") for l in lines if l.startswith("lease: ")]
        self.assertEqual(len(lease), 1, output)
        address, gateway, mask, dns = lease[0]
        self.assertTrue(address.startswith(NET + "."), output)
        self.assertEqual((gateway, mask, dns), (sb.peer_ip, "255.255.255.0", sb.peer_ip), output)

        # Both disks: the upload, the download, the tree back in dl/, the server left with only
        # the uploaded file.
        self.assertEqual(digest(vsftpd.path("up.bin")), digest(os.path.join(local, "up.bin")))
        self.assertEqual(digest(os.path.join(local, "down.bin")), down_digest)
        self.assertEqual(tree_of(os.path.join(local, "dl", "tree")),
                         tree_of(os.path.join(local, "tree")))
        self.assertEqual(sorted(os.listdir(vsftpd.home)), ["up.bin"])

        log = [l[5:] for l in lines if l.startswith("log: ")]
        wanted = [
            "Tarnet Initialized",
            "Connecting",
            "Connected to Server. 230 Login successful.",
            "Sending file up.bin ...",
            "File sending complete (300000) bytes",
            "Getting file down.bin ...",
            "File receive complete (200000) bytes",
            "Creating Directory..",
            "Rename from: made",
            "File or folder renamed: Success",
            "Deleting File..",
            "Recursive Uploading Folder..tree",
            "Recursive Folder Upload: Success. Requesting remote listing..",
            "Recursive Downloading Folder..tree",
            "Recursive Folder Download: Success.",
            "Recursive Deleting Folder..tree",
            "Recursive Folder Delete: Success. Requesting remote listing..",
            "Removing Directory..",
            "Disconnected",
        ]
        at = 0
        for line in log:
            if at < len(wanted) and line == wanted[at]:
                at += 1
        self.assertEqual(at, len(wanted), "missing %r in order:\n%s" % (
            wanted[at] if at < len(wanted) else None, "\n".join(log)))
        for prefix in ("Created Directory: 257", "Deleted File: 250", "Deleted Directory: 250",
                       "Recursive Folder Upload: Uploading: ",
                       "Recursive Folder Download: Downloading: ",
                       "Recursive Folder Delete: Deleting: "):
            self.assertTrue(any(l.startswith(prefix) for l in log), prefix + "\n" + output)
        self.assertFalse([l for l in log if "error" in l.lower() or "failed" in l.lower()],
                         output)

        # Written at close in the folder it started in (the local folder had moved into dl/).
        cfg = os.path.join(local, "ftpapp.cfg")
        with open(cfg, "rb") as f:
            record = f.read()
        self.assertEqual(len(record), 460)
        self.assertEqual(record[:256].rstrip(b"\0").decode(), sb.env["TARNET_FTP_NAME"])
        self.assertEqual(record[256:356].rstrip(b"\0").decode(), vsftpd.user)
        self.assertEqual(int.from_bytes(record[456:], "little"), 15000)
        self.assertEqual(stat.S_IMODE(os.stat(cfg).st_mode), 0o600)
        self.assertFalse(os.path.exists(os.path.join(local, "dl", "ftpapp.cfg")))


class FtpdeskStop(unittest.TestCase):

    def test_sigterm_closes_as_exit_does(self):
        folder = tempfile.mkdtemp(prefix="ftpdesk-stop-")
        self.addCleanup(shutil.rmtree, folder, True)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        proc = subprocess.Popen(["ip", "netns", "exec", SANDBOX.stack_ns, FTPDESK], cwd=folder,
                                env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(netlib.stop, proc)

        def catches_sigterm():
            # ip netns exec replaces itself with the program; its handler shows in SigCgt.
            with open("/proc/%d/status" % proc.pid) as f:
                caught = [l.split()[1] for l in f if l.startswith("SigCgt:")]
            return bool(caught) and int(caught[0], 16) & (1 << (signal.SIGTERM - 1)) != 0 \
                and os.readlink("/proc/%d/exe" % proc.pid).endswith("/ftpdesk")

        self.assertTrue(netlib.wait_for(catches_sigterm, 10))
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=10), 0, proc.stderr.read().decode(errors="replace"))
        cfg = os.path.join(folder, "ftpapp.cfg")
        self.assertEqual(os.path.getsize(cfg), 460)
        self.assertEqual(stat.S_IMODE(os.stat(cfg).st_mode), 0o600)
        with open(cfg, "rb") as f:
            self.assertEqual(f.read()[:16].rstrip(b"\0"), b"ftp.tarnet.test")


if __name__ == "__main__":
    unittest.main()
