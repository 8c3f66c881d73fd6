"""`tarnet mail` against real mail servers in the sandbox (two aiosmtpd instances, Postfix) and
against scripted servers for what a well-behaved one does not do. Every delivered message is read
back with Python's email package: headers, the decoded text and the decoded attachment must be
what was sent, byte for byte. Run through tests/net/run (root only).
"""

import email
import email.header
import os
import random
import re
import smtplib
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import netlib

SANDBOX = None
MAIL = None
NET = "203.0.113"
STACK_MAC = "02:54:4e:00:00:6d"
FROM = "sender@tarnet.test"
FOLDER = None

# Text with what trips a careless client: lines that start with ".", a line that is only ".",
# "=" followed by hex digits, trailing blanks, a line longer than any server takes plainly, and
# (in UTF-8) ISO-8859-1 letters and bytes of 127 and above.
TRICKY_BODY = (".leading dot\n.\n..two dots\nequals =41 stays\ntrailing blanks  \t\n" +
               "long " + "0123456789" * 150 + "\ncaf\u00e9 \u00ff\u00e0\u00a0 del\x7f end\n")
# A KOI8-R subject long enough for several encoded words.
LONG_SUBJECT = "\u041f\u0440\u0438\u0432\u0435\u0442 \u043c\u0438\u0440 " \
               "\u0434\u043b\u0438\u043d\u043d\u0430\u044f \u0442\u0435\u043c\u0430 " * 3


def setUpModule():
    global SANDBOX, MAIL, FOLDER
    SANDBOX = netlib.Sandbox(net=NET, dnsmasq=True, smtp=True)
    MAIL = SANDBOX.mail
    SANDBOX.pin_neighbour(SANDBOX.stack_ip, STACK_MAC)
    FOLDER = tempfile.mkdtemp(prefix="tarnet-mail-")


def tearDownModule():
    if SANDBOX is not None:
        SANDBOX.down()
    if FOLDER is not None:
        for name in os.listdir(FOLDER):
            os.remove(os.path.join(FOLDER, name))
        os.rmdir(FOLDER)


def attachment(size, seed):
    path = os.path.join(FOLDER, "data-%d-%d.bin" % (size, seed))
    data = random.Random(seed).randbytes(size)
    with open(path, "wb") as f:
        f.write(data)
    return path, data


def mail(server, *args, body="hello\n", impair=None, port=None, timeout=60):
    """Runs tarnet mail to `server` ("open", "auth", "postfix", or a port of a scripted one)."""
    port = port or MAIL.ports[server]
    extra = ["--timeout", str(timeout)] + (["--impair", impair] if impair else [])
    cmd = SANDBOX.tarnet_args("mail", "--server", MAIL.ip, "--port", str(port), "--from", FROM,
                              *args, mac=STACK_MAC, extra=extra)
    proc = subprocess.run(cmd, input=body.encode(), capture_output=True, timeout=timeout + 10)
    proc.stderr = proc.stderr.decode(errors="replace")
    return proc


def crlf(text):
    """What the text part must decode to: every line end CR LF, the last line ended too."""
    lines = text.replace("\r\n", "\n").split("\n")
    if lines[-1] == "":
        lines.pop()
    return "".join(line + "\r\n" for line in lines)


class MailTest(unittest.TestCase):

    def send_and_read(self, server, args, count=1, **kw):
        """Sends, expects exit 0, returns the `count` new messages as (envelope, Message)."""
        before = len(MAIL.received(server))
        proc = mail(server, *args, **kw)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        got = MAIL.wait(server, before + count)[before:]
        self.assertEqual(len(got), count, "%s stored %d of %d messages" % (server, len(got),
                                                                            count))
        return [(envelope, email.message_from_bytes(raw)) for envelope, raw in got]

    def check(self, server, message, to, subject="", body="hello\n", latin1=False, cc=None,
              attached=None):
        """The headers, the decoded text part and the attachment are what was sent."""
        self.assertEqual(message["From"], "<%s>" % FROM)
        self.assertEqual(message["To"], "<%s>" % to)
        self.assertEqual(message["CC"], None if cc is None else "<%s>" % cc)
        decoded = "".join(part.decode(charset or "ascii") if isinstance(part, bytes) else part
                          for part, charset in email.header.decode_header(message["Subject"]))
        self.assertEqual(decoded, subject)
        self.assertRegex(message["Date"], r"^\w{3}, \d{1,2} \w{3} \d{4} \d\d:\d\d:\d\d [+-]\d{4}$")
        parts = list(message.walk()) if message.is_multipart() else [message]
        texts = [p for p in parts if p.get_content_type() == "text/plain"]
        self.assertEqual(len(texts), 1)
        # A plain text without attachment carries no MIME headers: RFC 2045's default applies.
        self.assertEqual(texts[0].get_content_charset("us-ascii"),
                         "iso-8859-1" if latin1 else "us-ascii")
        expected = crlf(body).encode("latin-1")
        if server == "postfix":  # the mbox keeps LF line ends
            expected = expected.replace(b"\r\n", b"\n")
        self.assertEqual(texts[0].get_payload(decode=True), expected)
        files = [p for p in parts if p.get_filename() is not None]
        if attached is None:
            self.assertEqual(files, [])
        else:
            self.assertEqual(len(files), 1)
            self.assertEqual(files[0].get_filename(), os.path.basename(attached[0]))
            self.assertEqual(files[0].get_payload(decode=True), attached[1])


class SandboxServers(MailTest):
    """The servers themselves, with the kernel's TCP/IP and Python's smtplib as the client: what
    they store is what was sent, so the tests below judge tarnet, not the sandbox."""

    def test_smtplib_reaches_each_server(self):
        raw = b"From: <%s>\r\nTo: <k@tarnet.test>\r\nSubject: k\r\n\r\n.dot\r\nend\r\n" % (
            FROM.encode())
        for server in ("open", "auth", "postfix"):
            with self.subTest(server=server):
                before = len(MAIL.received(server))
                with smtplib.SMTP(MAIL.ip, MAIL.ports[server], timeout=10) as client:
                    if server == "auth":
                        client.login(MAIL.user, MAIL.password)
                    client.sendmail(FROM, ["k@tarnet.test"], raw)
                [(envelope, stored)] = MAIL.wait(server, before + 1)[before:]
                if server == "postfix":  # its own trace, Message-Id and Date added; LF ends
                    message = email.message_from_bytes(stored)
                    self.assertEqual([message["From"], message["To"], message["Subject"]],
                                     ["<%s>" % FROM, "<k@tarnet.test>", "k"])
                    self.assertEqual(message.get_payload(), ".dot\nend\n")
                else:
                    self.assertEqual(stored, raw)
                    self.assertEqual(envelope["rcpt_tos"], ["k@tarnet.test"])


class RealServers(MailTest):

    def test_plain_mail_to_each_server(self):
        for server in ("open", "postfix"):
            to = "plain-%s@tarnet.test" % server
            [(envelope, message)] = self.send_and_read(server, ["--to", to, "--subject", "Hi"])
            self.check(server, message, to, subject="Hi")
            if envelope is not None:
                self.assertEqual(envelope, {"mail_from": FROM, "rcpt_tos": [to]})

    def test_attachments_of_each_size_arrive_whole(self):
        cases = [("open", 0), ("open", 1), ("open", 3072), ("open", 3073),
                 ("open", 1 << 20), ("postfix", 3073), ("postfix", 1 << 20)]
        for server, size in cases:
            with self.subTest(server=server, size=size):
                path, data = attachment(size, size)
                to = "files@tarnet.test"
                [(_, message)] = self.send_and_read(server, ["--to", to, "--attach", path])
                self.check(server, message, to, attached=(path, data))

    def test_tricky_text_arrives_unchanged(self):
        for server in ("open", "postfix"):
            with self.subTest(server=server):
                to = "text@tarnet.test"
                [(_, message)] = self.send_and_read(server, ["--to", to, "--qp"],
                                                    body=TRICKY_BODY)
                self.check(server, message, to, body=TRICKY_BODY, latin1=True)
                # The same text beside an attachment.
                path, data = attachment(100, 7)
                [(_, message)] = self.send_and_read(server, ["--to", to, "--attach", path],
                                                    body=TRICKY_BODY)
                self.check(server, message, to, body=TRICKY_BODY, latin1=True,
                           attached=(path, data))

    def test_text_that_plain_7bit_cannot_carry_goes_quoted_printable(self):
        cases = [("plain\n", [], None), ("plain\n", ["--qp"], "quoted-printable"),
                 ("x" * 1200 + "\n", [], "quoted-printable"),
                 ("nul\x00byte\n", [], "quoted-printable"),
                 ("\u00e9t\u00e9\n", [], "quoted-printable")]
        for body, args, encoding in cases:
            with self.subTest(body=body[:20], args=args):
                to = "encoding@tarnet.test"
                [(_, message)] = self.send_and_read("open", ["--to", to] + args, body=body)
                self.assertEqual(message["Content-Transfer-Encoding"], encoding)
                self.check("open", message, to, body=body, latin1=encoding is not None)

    def test_quoted_boundary_and_8bit_names_leave_the_parts_whole(self):
        """The text quotes the usual boundary as a last delimiter, and an attachment's name is
        not ASCII: the text and the attachment still arrive whole, the name decoded."""
        body = "see\n------=_NextPart_000_0001_01C80074.E5884AE0--\nstill the text\n"
        for server, name in (("open", "plain name.txt"), ("open", "R\u00e9sum\u00e9.txt"),
                             ("postfix", "R\u00e9sum\u00e9.txt")):
            with self.subTest(server=server, name=name):
                path = os.path.join(FOLDER, name)
                data = random.Random(len(name)).randbytes(2000)
                with open(path, "wb") as f:
                    f.write(data)
                to = "mime@tarnet.test"
                [(_, message)] = self.send_and_read(server, ["--to", to, "--attach", path],
                                                    body=body)
                self.check(server, message, to, body=body, attached=(path, data))

    def test_long_koi8r_subject_decodes_to_what_was_given(self):
        for server in ("open", "postfix"):
            with self.subTest(server=server):
                to = "koi8@tarnet.test"
                [(_, message)] = self.send_and_read(
                    server, ["--to", to, "--subject", LONG_SUBJECT, "--koi8r"])
                self.check(server, message, to, subject=LONG_SUBJECT)
                words = re.findall(r"=\?koi8-r\?B\?[^?]*\?=", message["Subject"])
                self.assertGreater(len(words), 1)
                self.assertTrue(all(len(word) <= 75 for word in words), words)

    def test_cc_gets_the_message_in_the_same_transaction(self):
        to, cc = "main@tarnet.test", "copy@tarnet.test"
        [(envelope, message)] = self.send_and_read("open", ["--to", to, "--cc", cc])
        self.assertEqual(envelope["rcpt_tos"], [to, cc])
        self.check("open", message, to, cc=cc)

    def test_each_of_three_recipients_gets_the_whole_message(self):
        path, data = attachment(3073, 3)
        recipients = ["r%d@tarnet.test" % i for i in range(3)]
        args = ["--attach", path, "--subject", "all"]
        for to in recipients:
            args += ["--to", to]
        got = self.send_and_read("open", args, count=3)
        for to, (envelope, message) in zip(recipients, got):
            self.assertEqual(envelope["rcpt_tos"], [to])
            self.check("open", message, to, subject="all", attached=(path, data))

    def test_server_given_by_name(self):
        to = "byname@tarnet.test"
        before = len(MAIL.received("open"))
        cmd = SANDBOX.tarnet_args("--dns", SANDBOX.peer_ip, "--timeout", "30", "mail",
                                  "--server", MAIL.name, "--port", str(MAIL.ports["open"]),
                                  "--from", FROM, "--to", to, "--body", "hello", mac=STACK_MAC)
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=40)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        [(_, raw)] = MAIL.wait("open", before + 1)[before:]
        self.check("open", email.message_from_bytes(raw), to)

    def test_refusals_name_the_step_and_the_reply(self):
        cases = [
            ("postfix", ["--to", "someone@example.org"], "RCPT TO", "554"),  # no relaying
            ("auth", ["--to", "x@tarnet.test"], "MAIL FROM", "530"),  # login required
            ("auth", ["--to", "x@tarnet.test", "--user", MAIL.user, "--password", "wrong"],
             "AUTH", "535"),
        ]
        for server, args, step, code in cases:
            with self.subTest(server=server, args=args):
                before = len(MAIL.received(server))
                proc = mail(server, *args)
                self.assertEqual(proc.returncode, 1, proc.stderr)
                line = proc.stderr.strip()
                self.assertEqual(len(line.splitlines()), 1, line)
                self.assertIn(step, line)
                self.assertIn(code, line)
                self.assertEqual(len(MAIL.received(server)), before)

    def test_auth_login_with_the_right_password(self):
        path, data = attachment(5000, 5)
        to = "auth@tarnet.test"
        [(envelope, message)] = self.send_and_read(
            "auth", ["--to", to, "--user", MAIL.user, "--password", MAIL.password, "--attach",
                     path])
        self.assertEqual(envelope["rcpt_tos"], [to])
        self.check("auth", message, to, attached=(path, data))

    def test_mail_over_a_lossy_link(self):
        path, data = attachment(200000, 11)
        to = "lossy@tarnet.test"
        [(_, message)] = self.send_and_read("postfix", ["--to", to, "--attach", path],
                                            impair="loss=2,seed=5", timeout=90)
        self.check("postfix", message, to, attached=(path, data))


class ScriptedServer:
    """A one-connection SMTP server in the peer namespace that misbehaves on purpose. `mode`:
    close_after_data  closes the connection when DATA arrives, without a reply
    close_after_eom   accepts the message, then closes instead of answering QUIT
    slow_eom          answers the end of data only after 4 s (beyond the usual 3 s wait)
    mixed_eom         answers the end of data with lines of two codes, the last one 250
    slow_ehlo         answers EHLO only after 1 s
    close_after_first accepts one message, then closes when the next transaction begins
    greeting_554      refuses the session in its greeting
    trickle           sends every reply in pieces of one to three bytes, EHLO with ten lines
    """

    EHLO = ["250-mail.tarnet.test"] + ["250-EXT%d" % i for i in range(8)] + ["250 SMTPUTF8"]

    def __init__(self, mode):
        self.mode = mode
        self.commands = []
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((MAIL.ip, 0))
        self.listener.listen(1)
        self.listener.settimeout(20)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _reply(self, conn, *lines):
        data = "".join(line + "\r\n" for line in lines).encode()
        if self.mode != "trickle":
            conn.sendall(data)
            return
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        rng = random.Random(len(self.commands))
        while data:
            size = rng.randint(1, 3)
            conn.sendall(data[:size])
            data = data[size:]
            time.sleep(0.002)

    def _serve(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        with conn, conn.makefile("rb") as lines:
            conn.settimeout(20)
            if self.mode == "greeting_554":
                self._reply(conn, "554 5.3.2 no service here")
                lines.readline()
                return
            self._reply(conn, "220 scripted ESMTP")
            for raw in lines:
                command = raw.decode(errors="replace").rstrip("\r\n")
                self.commands.append(command)
                verb = command.split(" ")[0].split(":")[0].upper()
                if verb == "EHLO":
                    if self.mode == "slow_ehlo":
                        time.sleep(1)
                    self._reply(conn, *self.EHLO)
                elif verb == "DATA":
                    if self.mode == "close_after_data":
                        return
                    self._reply(conn, "354 go ahead")
                    for text in lines:
                        if text == b".\r\n":
                            break
                    if self.mode == "slow_eom":
                        time.sleep(4)
                    if self.mode == "mixed_eom":
                        self._reply(conn, "550-5.7.1 rejected", "250 2.0.0 Ok")
                        lines.readline()
                        return
                    self._reply(conn, "250 2.0.0 queued")
                elif verb == "MAIL" and self.mode == "close_after_first" and "DATA" in self.commands:
                    return
                elif verb == "QUIT":
                    if self.mode != "close_after_eom":
                        self._reply(conn, "221 bye")
                    return
                else:
                    self._reply(conn, "250 ok")

    def close(self):
        self.listener.close()
        self.thread.join(5)


class MisbehavingServers(MailTest):

    def test_outcome_follows_whether_the_message_was_accepted(self):
        cases = [
            ("close_after_eom", [], 0, None),
            ("slow_eom", [], 0, None),
            ("trickle", [], 0, None),
            ("slow_ehlo", [], 0, None),
            ("slow_ehlo", ["--reply-timeout", "400"], 1, "EHLO: no reply"),
            ("close_after_data", [], 1, "closed the connection during DATA"),
            ("close_after_first", ["--to", "y@tarnet.test"], 1, "accepted before: x@tarnet.test"),
            ("greeting_554", [], 1, "554 5.3.2 no service here"),
            ("mixed_eom", [], 1, "end of data: reply lines carry different codes"),
        ]
        for mode, args, code, message in cases:
            with self.subTest(mode=mode, args=args):
                server = ScriptedServer(mode)
                self.addCleanup(server.close)
                started = time.monotonic()
                proc = mail(None, "--to", "x@tarnet.test", *args, port=server.port, timeout=30)
                self.assertEqual(proc.returncode, code, proc.stderr)
                if message is not None:
                    self.assertIn(message, proc.stderr)
                    self.assertEqual(len(proc.stderr.strip().splitlines()), 1, proc.stderr)
                if mode == "greeting_554":  # at once, not after a reply time-out
                    self.assertLess(time.monotonic() - started, 2.5)
                elif code == 0:  # RFC 5321 4.1.2: the addresses go in angle brackets
                    self.assertIn("MAIL FROM:<%s>" % FROM, server.commands)
                    self.assertIn("RCPT TO:<x@tarnet.test>", server.commands)


    def test_a_refused_connection_is_named_as_such(self):
        proc = mail(None, "--to", "x@tarnet.test", port=2999)  # nobody listens there
        self.assertEqual(proc.returncode, 1, proc.stderr)
        self.assertEqual(proc.stderr.strip(), "tarnet: mail to %s:2999: connection refused" %
                         MAIL.ip)


class Refusals(unittest.TestCase):
    """What cannot be sent as given is refused before anything goes out (exit 2, one line)."""

    def test_text_that_cannot_be_sent_is_refused(self):
        base = ["mail", "--server", "203.0.113.1", "--from", FROM]
        cases = [
            (["--to", "a@tarnet.test", "--body", "price 5\u20ac"], "U+20AC"),
            (["--to", "a@tarnet.test", "--subject", "caf\u00e9", "--body", "x"], "--koi8r"),
            (["--to", "a@tarnet.test", "--subject", "a\u2014b", "--koi8r", "--body", "x"],
             "U+2014"),
            (["--to", "a@tarnet.test", "--subject", "hi\r\nBcc: evil@x", "--body", "x"],
             "one line"),
            (["--to", "a@tarnet.test\r\nRCPT TO:<evil@x>", "--body", "x"], "--to"),
            (["--to", "a@tarnet.test", "--password", "p", "--body", "x"], "--user"),
            (["--body", "x"], "--to"),
            (["--to", "nobody", "--body", "x"], "local-part@domain"),
            (["--to", "a@tarnet.test", "--reply-timeout", "0", "--body", "x"], "--reply-timeout"),
        ]
        for args, hint in cases:
            with self.subTest(args=args):
                proc = subprocess.run([netlib.TARNET] + base + args, capture_output=True,
                                      text=True, timeout=10)
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertIn(hint, proc.stderr)
                self.assertEqual(len(proc.stderr.strip().splitlines()), 1, proc.stderr)


if __name__ == "__main__":
    unittest.main()
