"""maildesk's window, driven by QTest on Qt's offscreen platform, in the sandbox.

maildesk_drive (built beside tarnet) initialises by DHCP from dnsmasq, so the lease fills the
four address fields, and sends one mail with a KOI8-R subject, a German body and a 100 KiB
attachment to the sandbox's aiosmtpd that requires AUTH LOGIN. The stored message is read back
with Python's email package. SIGTERM then closes the window as its close button does, and the
settings record must be on disk with what the fields held.

Run through tests/net/run (root only).
"""

import email
import email.header
import os
import random
import shutil
import signal
import stat
import struct
import subprocess
import tempfile
import unittest

import netlib

SANDBOX = None
NET = "198.51.100"
STACK_MAC = "02:54:4e:00:00:4d"
DRIVE = os.path.join(os.path.dirname(netlib.TARNET), "maildesk_drive")
SUBJECT = "\u041f\u0440\u0438\u0432\u0435\u0442 \u0438\u0437 maildesk"
BODY = "Gr\u00fc\u00dfe aus K\u00f6ln!\n\u00c4pfel, \u00d6l und \u00dcberma\u00df.\n"


def setUpModule():
    global SANDBOX
    if not os.access(DRIVE, os.X_OK):
        raise unittest.SkipTest("%s not built (the desktop programs need Qt 6)" % DRIVE)
    SANDBOX = netlib.Sandbox(net=NET, dnsmasq=True, smtp=True)


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()


class MaildeskInTheSandbox(unittest.TestCase):

    def test_dhcp_then_a_koi8r_german_mail_with_attachment_and_login(self):
        sb, mail = SANDBOX, SANDBOX.mail
        folder = tempfile.mkdtemp(prefix="tarnet-maildesk-")
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, "daten.bin")
        data = random.Random(21).randbytes(100 * 1024)
        with open(path, "wb") as f:
            f.write(data)
        sender, recipient = "desk@" + mail.domain, "auth@" + mail.domain
        before = len(mail.received("auth"))

        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", TARNET_HOLD="1",
                   XDG_CONFIG_HOME=folder)
        cmd = ["ip", "netns", "exec", sb.stack_ns, DRIVE, sb.stack_if, STACK_MAC, mail.ip,
               str(mail.ports["auth"]), sender, recipient, mail.user, mail.password, path]
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        reader = netlib.LineReader(proc)
        lines = []
        while lines[-1:] != ["holding"]:
            line = reader.next(timeout=60)
            if line is None:
                rc, err = reader.stop(timeout=10)
                self.fail("no 'holding' (exit %s):\n%s\n%s" % (rc, "\n".join(lines), err))
            lines.append(line)
        proc.send_signal(signal.SIGTERM)
        while True:
            line = reader.next(timeout=20)
            if line is None:
                break
            lines.append(line)
        rc, err = reader.stop(timeout=10)
        output = "\n".join(lines) + "\n" + err
        self.assertEqual(rc, 0, output)
        self.assertIn("closed by signal %d" % signal.SIGTERM, lines)

        # The lease filled the four fields: an address of dnsmasq's range, its DNS server,
        # router and mask.
        lease = [line.split()[1:] for line in lines if line.startswith("lease: ")]
        self.assertEqual(len(lease), 1, output)
        address, dns, gateway, mask = lease[0]
        self.assertRegex(address, r"^%s\.5\d$" % NET.replace(".", r"\."))
        self.assertEqual((dns, gateway, mask), (NET + ".1", NET + ".1", "255.255.255.0"))
        self.assertIn("status: MAIL TRANSFER COMPLETE", lines)
        self.assertIn("progress: 100", lines)

        got = mail.wait("auth", before + 1)[before:]
        self.assertEqual(len(got), 1, output)
        envelope, raw = got[0]
        message = email.message_from_bytes(raw)
        self.assertEqual(message["From"], "<%s>" % sender)
        self.assertEqual(message["To"], "<%s>" % recipient)
        subject = "".join(part.decode(charset or "ascii") if isinstance(part, bytes) else part
                          for part, charset in email.header.decode_header(message["Subject"]))
        self.assertEqual(subject, SUBJECT)
        self.assertIn("koi8-r", message["Subject"].lower())
        parts = list(message.walk())
        texts = [p for p in parts if p.get_content_type() == "text/plain"]
        self.assertEqual(len(texts), 1)
        self.assertEqual(texts[0].get_content_charset(), "iso-8859-1")
        self.assertEqual(texts[0].get_payload(decode=True),
                         BODY.replace("\n", "\r\n").encode("latin-1"))
        files = [p for p in parts if p.get_filename() is not None]
        self.assertEqual([f.get_filename() for f in files], ["daten.bin"])
        self.assertEqual(files[0].get_payload(decode=True), data)

        # The settings record, written when the window went: 248 bytes, owner only.
        record_path = os.path.join(folder, "tarnet", "maildesk", "maildesk.rec")
        self.assertEqual(stat.S_IMODE(os.stat(record_path).st_mode), 0o600)
        with open(record_path, "rb") as f:
            record = f.read()
        self.assertEqual(len(record), 248)
        port, zero, address_number = struct.unpack_from("<HHI", record)
        self.assertEqual((port, zero, address_number), (mail.ports["auth"], 0, 0xC0A80101))
        texts = [record[at:at + 80].split(b"\0")[0].decode() for at in (8, 88, 168)]
        self.assertEqual(texts, [mail.ip, sender, recipient])


if __name__ == "__main__":
    unittest.main()
