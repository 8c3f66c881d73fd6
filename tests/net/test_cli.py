"""The command line refuses what it cannot mean before the stack sees it: the stack's own parsers
are permissive (4.4BSD dotted quads, MAC texts with any separators), so tarnet checks first.
These runs end at the check and send nothing; the last ones open loopback and send nothing
either. Run through tests/net/run (root only, like every test here).
"""

import subprocess
import unittest

from netlib import SANDBOX_SCRIPT, TARNET

IP = ["-i", "lo", "--ip", "192.0.2.2"]


def tarnet(*args):
    proc = subprocess.run([TARNET, *args], capture_output=True, text=True, timeout=30)
    return proc.returncode, proc.stdout, proc.stderr


class CommandLine(unittest.TestCase):

    def test_bad_input_is_a_usage_error_that_names_the_problem(self):
        cases = [
            (["-i", "lo", "--ip", "300.1.1.1", "serve"], "--ip: '300.1.1.1' is not a usable"),
            (["-i", "lo", "--ip", "10.0.0.010", "serve"], "--ip: '10.0.0.010'"),
            (["-i", "lo", "--ip", "1.2.3", "serve"], "--ip: '1.2.3'"),
            (["-i", "lo", "--ip", "127.0.0.2", "serve"], "--ip: '127.0.0.2'"),
            (IP + ["--mask", "255.0.255.0", "serve"], "--mask: '255.0.255.0' is not a subnet"),
            (IP + ["--gateway", "198.51.100.1", "serve"], "not another host on the local subnet"),
            (IP + ["--gateway", "192.0.2.2", "serve"], "not another host on the local subnet"),
            (IP + ["--gateway", "192.0.2.255", "serve"], "not another host on the local subnet"),
            (IP + ["--mac", "ff:ff:ff:ff:ff:ff", "serve"], "multicast or broadcast"),
            (IP + ["--mac", "01:00:5e:00:00:01", "serve"], "multicast or broadcast"),
            (IP + ["--mac", "00:00:00:00:00:00", "serve"], "all zeros"),
            (IP + ["--mac", "02:54:4g:00:00:01", "serve"], "six hexadecimal pairs"),
            (IP + ["--mac", "02:54:4e-00:00:01", "serve"], "six hexadecimal pairs"),
            (["--bogus", "serve"], "unknown option '--bogus'"),
            (IP + ["serve", "--timeout", "3"],
             "unknown option '--timeout': global options go before the command"),
            (IP + ["serve", "--bogus"], "unknown option '--bogus'\n"),
            (IP + ["resolve", "a" * 64 + ".test"], "at most 63 characters"),
            (IP + ["resolve", "a..test"], "no empty labels"),
            (IP + ["ping", "300.1.1.1"], "'300.1.1.1' is not an IPv4 address"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                rc, _, err = tarnet(*args)
                self.assertEqual(rc, 2, err)
                self.assertIn(message, err)

    def test_help_and_version(self):
        rc, out, _ = tarnet("ping", "--help")
        self.assertEqual(rc, 0)
        self.assertTrue(out.startswith("usage: tarnet [options] ping HOST"), out)
        rc, out, _ = tarnet("tcp", "-h")
        self.assertEqual(rc, 0)
        self.assertIn("tcp listen PORT", out)
        rc, out, _ = tarnet("udp", "--help")
        self.assertEqual(rc, 0)
        self.assertIn("--senders", out)
        for arg in ("--help", "-h"):
            proc = subprocess.run([SANDBOX_SCRIPT, arg], capture_output=True, text=True,
                                  timeout=30)
            self.assertEqual((proc.returncode, proc.stderr), (0, ""))
            self.assertTrue(proc.stdout.startswith("A private two-namespace network"),
                            proc.stdout)
            for text in ("netns-sandbox up [--net A.B.C] [--dnsmasq] [--ftp] [--smtp]", "purge",
                         "What stays on the host"):
                self.assertIn(text, proc.stdout)
        rc, out, _ = tarnet("--version")
        self.assertEqual(rc, 0)
        self.assertRegex(out, r"^tarnet \d+\.\d+")


if __name__ == "__main__":
    unittest.main()
