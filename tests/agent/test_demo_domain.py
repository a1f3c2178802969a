"""`make demo-domain` end to end: an agent for every active machine of the
demo domain and a Prometheus on loopback. Prometheus scrapes both agents,
the suspended server's alert fires, and Ctrl-C (SIGINT to the terminal's
process group), or SIGTERM to the script alone, leaves no process and no
temporary folder behind.

Run by ctest: python3 test_demo_domain.py SOURCE_DIR BUILD_DIR
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

SOURCE = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 2 else ".")
BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build")
SUSPENDED = r"^alert firing \(\d+ s\): TuxedoServerNotActive: server BANKGRP1/5 on SITE1 is SUSpended$"


@unittest.skipUnless(shutil.which("prometheus"), "prometheus is not installed (scripts/bootstrap installs it)")
class DemoDomain(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zta_demo_domain_")
        self.scratch = os.path.join(self.tmp, "tmp")  # the demo's TMPDIR: empty again after it
        os.mkdir(self.scratch)
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL", "TUXSIM_DOMAIN", "TUXSIM_FAULTS", "AGW_CONFIG",
                                 "AGW_HTTP", "AGW_WEB_CONFIG")}
        # Alerts after seconds rather than the shipped minutes.
        self.env.update(TMPDIR=self.scratch, DEMO_ALERT_FOR="2s", DEMO_INTERVAL="1s")
        self.proc = None

    def tearDown(self):
        if self.proc is not None and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def start(self, cmd):
        self.out = os.path.join(self.tmp, "out")
        with open(self.out, "w") as out:
            # A session of its own, as a terminal gives a command.
            self.proc = subprocess.Popen(cmd, cwd=SOURCE, env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.STDOUT, start_new_session=True)

    def wait_for(self, pattern, seconds):
        deadline = time.monotonic() + seconds
        text = ""
        while time.monotonic() < deadline:
            with open(self.out, errors="replace") as f:
                text = f.read()
            m = re.search(pattern, text, re.M)
            if m:
                return m
            self.assertIsNone(self.proc.poll(), "ended early:\n" + text)
            time.sleep(0.2)
        self.fail("never said %r:\n%s" % (pattern, text))

    def left(self):
        """The processes still in the demo's session."""
        procs = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/stat" % pid) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[3]) == self.proc.pid:  # the session id
                procs.append(pid)
        return procs

    def stopped(self, signal_it):
        signal_it()
        status = self.proc.wait(30)
        deadline = time.monotonic() + 10
        while self.left() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(self.left(), [])
        self.assertEqual(os.listdir(self.scratch), [])
        return status

    def test_make_demo_domain_scrapes_every_agent_fires_an_alert_and_stops_on_ctrl_c(self):
        self.start(["make", "--no-print-directory", "demo-domain", "BUILD=" + BUILD])
        prometheus = self.wait_for(r"^Prometheus: (http://127\.0\.0\.1:\d+)$", 120).group(1)

        def up():
            query = prometheus + "/api/v1/query?query=" + urllib.parse.quote("count(up == 1)")
            with urllib.request.urlopen(query, timeout=5) as r:
                result = json.loads(r.read())["data"]["result"]
            return float(result[0]["value"][1]) if result else 0
        self.wait_for(r"^count\(up == 1\) is 2", 60)
        self.assertEqual(up(), 2)
        self.wait_for(SUSPENDED, 60)
        self.stopped(lambda: os.killpg(self.proc.pid, signal.SIGINT))
        with open(self.out) as f:
            self.assertIn("stopping the agents and Prometheus", f.read())

    def test_sigterm_to_the_script_alone_stops_what_it_started(self):
        self.start([os.path.join(SOURCE, "examples", "run-demo-domain.py"), BUILD])
        self.wait_for(r"^count\(up == 1\) is 2", 60)
        self.assertEqual(self.stopped(lambda: self.proc.send_signal(signal.SIGTERM)), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
