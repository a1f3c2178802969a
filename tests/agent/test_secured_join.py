"""Joining a secured domain of the stand-in: the passwords come from the files
ZTA_APP_PASSWORD_FILE and ZTA_USER_PASSWORD_FILE name, a file others may read
stops the start with one line, and a password reaches no output.

Run by ctest: python3 test_secured_join.py BUILD_DIR
"""
import os
import signal
import subprocess
import sys
import time
import unittest

from agent_processes import ProcessTest

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build")
AGENT = os.path.join(BUILD, "ztaagent")
QUERY = os.path.join(BUILD, "ztaquery")
TMIB = os.path.join(BUILD, "tmib")

APP_PASSWORD = "s3cret-Appl"
USER_PASSWORD = "Kq7-user-Zeta"
SECURITY = {
    "APP_PW": "{level: APP_PW, app_password: %s}" % APP_PASSWORD,
    "USER_AUTH": "{level: USER_AUTH, app_password: %s, users: {TXWATCHER: %s}}" % (APP_PASSWORD, USER_PASSWORD),
}
DOMAIN = """
security: %s
classes:
  T_DOMAIN: [{TA_DOMAINID: SECDOM, TA_MASTER: SITE1, TA_STATE: ACTive}]
  T_MACHINE: [{TA_LMID: SITE1, TA_PMID: host1, TA_STATE: ACTive}]
  T_SERVER:
    - {TA_SERVERNAME: /srv/bin/SRVA, TA_SRVGRP: GRP1, TA_SRVID: 1, TA_STATE: ACTive}
"""


class SecuredJoinTest(ProcessTest):
    prefix = "zta_secured_"

    def secret(self, name, text, mode=0o600):
        path = self.write(name, text)
        os.chmod(path, mode)
        return path

    def env(self, level="USER_AUTH", **extra):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("AGW_", "ZTA_", "TUXSIM_", "VIEW", "FLDTBL", "FIELDTBL"))}
        env.update(TUXSIM_DOMAIN=self.write("domain.yaml", DOMAIN % SECURITY[level]),
                   AGW_CONFIG=self.write("requests.yaml",
                                         "requests:\n  - {name: clients, table: TXCLIENTS, interval: 1}\n"),
                   AGW_OUTPUT=self.path("rows.jsonl"), **extra)
        return env

    def query(self, env, *args):
        return subprocess.run([QUERY, *args], env=env, capture_output=True, text=True, timeout=60)

    def run_agent(self, env, until):
        """Runs the agent until `until(stderr)` holds, then SIGTERM; returns
        its standard output and standard error."""
        out, err = self.open("agent.out", "w+"), self.open("agent.err", "w+")
        p = subprocess.Popen([AGENT], env=env, stdout=out, stderr=err)
        self.procs.append(p)
        deadline = time.time() + 20
        while time.time() < deadline and not until(self.read(err)):
            self.assertIsNone(p.poll(), self.read(err))
            time.sleep(0.1)
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(15), 0)
        return self.read(out), self.read(err)

    @staticmethod
    def read(f):
        f.seek(0)
        return f.read()

    def test_app_pw_joins_only_with_the_password_of_a_private_file(self):
        env = self.env("APP_PW")
        self.run_agent(dict(env, AGW_TRACE="0x80", AGW_TRACE_FILE=self.path("trace.log")),
                       lambda e: "Cannot Log into the Tuxedo Application" in e)
        with open(self.path("trace.log")) as f:
            self.assertIn("tpinit: <TPEPERM", f.read())
        done = self.query(env, "TXSERVER")
        self.assertEqual(done.returncode, 1)
        self.assertIn("TPEPERM", done.stderr)

        env["ZTA_APP_PASSWORD_FILE"] = self.secret("app-password", APP_PASSWORD + "\n")
        done = self.query(env, "TXSERVER")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("/srv/bin/SRVA", done.stdout)
        self.assertEqual(subprocess.run([TMIB, "GET", "T_SERVER"], env=env, capture_output=True).returncode, 0)

        # Readable by others: one line naming the file, and status 2 before
        # any join.
        env["ZTA_APP_PASSWORD_FILE"] = path = self.secret("shared-password", APP_PASSWORD, 0o644)
        for command in ([AGENT], [QUERY, "TXSERVER"]):
            done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=30)
            self.assertEqual(done.returncode, 2, command)
            said = [l for l in done.stderr.splitlines() if "ZTA_APP_PASSWORD_FILE" in l]
            self.assertEqual(len(said), 1, done.stderr)
            self.assertIn('ZTA_APP_PASSWORD_FILE "%s": may be read or written by group or others (mode 0644)' % path,
                          said[0])
            self.assertNotIn("has joined", done.stderr)

    def test_user_auth_wants_the_user_password_and_no_output_shows_either(self):
        env = self.env(ZTA_APP_PASSWORD_FILE=self.secret("app-password", APP_PASSWORD),
                       ZTA_USER_PASSWORD_FILE=self.secret("user-password", "not-" + USER_PASSWORD + "\n"))
        done = self.query(env, "TXCLIENTS")
        self.assertEqual(done.returncode, 1)
        self.assertIn("TPEPERM", done.stderr)

        env.update(ZTA_USER_PASSWORD_FILE=self.secret("user-password", USER_PASSWORD + "\r\n"),
                   AGW_TRACE="0xFFFF", AGW_TRACE_FILE=self.path("trace.log"))
        out, err = self.run_agent(env, lambda e: os.path.exists(self.path("rows.jsonl")) and
                                  os.path.getsize(self.path("rows.jsonl")) > 0)
        self.assertIn("TXWATCHER has joined the Application successfully!", err)
        done = self.query(env, "--json", "TXCLIENTS")
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(self.path("trace.log")) as f:
            trace = f.read()
        with open(self.path("rows.jsonl")) as f:
            rows = f.read()
        self.assertIn('"username":"TXWATCHER"', rows)
        for name, text in (("stdout", out), ("stderr", err), ("trace", trace), ("rows", rows),
                           ("ztaquery", done.stdout + done.stderr)):
            for password in (APP_PASSWORD, USER_PASSWORD):
                self.assertNotIn(password, text, name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
