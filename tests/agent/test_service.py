"""The agent as a service runs it: log rotation by rename and SIGHUP loses no
sample, every signal whose default would end the process gives the orderly
logout, a reader of standard output that goes away ends the run the same
way, and standard error's lines carry syslog priorities only when it is the
journal's stream.

Run by ctest: python3 test_service.py BUILD_DIR
"""
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import time
import unittest

from agent_processes import ProcessTest

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build")
AGENT = os.path.join(BUILD, "ztaagent")
LOGOUT = "Logging out of Application"


class ServiceTest(ProcessTest):
    prefix = "zta_service_"

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("AGW_", "ZTA_")) and k != "JOURNAL_STREAM"}
        requests = os.path.join(self.dir, "requests.yaml")
        with open(requests, "w") as f:
            f.write("requests:\n  - {name: domain, table: TXDOMCFG, interval: 1}\n")
        env.update(AGW_CONFIG=requests, **extra)
        return env

    def start(self, env):
        err = self.open("agent.err", "w+")
        p = subprocess.Popen([AGENT], env=env, stdout=subprocess.DEVNULL, stderr=err, umask=0o022)
        self.procs.append(p)
        return p, err

    def wait_for(self, what, test, p, seconds=15):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if test():
                return
            self.assertIsNone(p.poll(), "the agent ended while waiting for " + what)
            time.sleep(0.05)
        self.fail("no " + what + " within %d s" % seconds)

    def stop(self, p, err, signo):
        p.send_signal(signo)
        self.assertEqual(p.wait(15), 0)
        err.seek(0)
        return err.read()

    @staticmethod
    def samples(path):
        """The sample numbers of the rows in the file; every line must parse."""
        numbers = []
        with open(path) as f:
            for line in f:
                record = json.loads(line)
                if "row" in record:  # not a sample's closing record
                    numbers.append(record["row"]["sampleno"])
        return numbers

    def test_rotation_by_rename_and_sighup(self):
        rows = os.path.join(self.dir, "rows.jsonl")
        trace = os.path.join(self.dir, "trace.log")
        p, err = self.start(self.env(AGW_OUTPUT=rows, AGW_TRACE="0x100", AGW_TRACE_FILE=trace))
        self.wait_for("two samples", lambda: os.path.exists(rows) and len(self.samples(rows)) >= 2, p)
        os.rename(rows, rows + ".1")
        os.rename(trace, trace + ".1")
        p.send_signal(signal.SIGHUP)
        self.wait_for("rows in a fresh file", lambda: os.path.exists(rows) and len(self.samples(rows)) >= 2, p)
        err_text = self.stop(p, err, signal.SIGTERM)

        for path in (rows, trace):
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o640, path)
        before, after = self.samples(rows + ".1"), self.samples(rows)
        both = before + after
        self.assertEqual(both, list(range(both[0], both[0] + len(both))), "a sample lost or repeated")
        with open(trace) as f:
            reopened = [line for line in f if "SIGHUP:" in line]
        self.assertEqual(len(reopened), 1, reopened)
        self.assertIn('rows "%s" reopened' % rows, reopened[0])
        self.assertIn('trace "%s" reopened' % trace, reopened[0])
        self.assertEqual(err_text.count(LOGOUT), 1, err_text)

    def test_other_ending_signals_log_out(self):
        for signo in (signal.SIGQUIT, signal.SIGUSR1, signal.SIGALRM):
            with self.subTest(signal=signo.name):
                rows = os.path.join(self.dir, signo.name + ".jsonl")
                p, err = self.start(self.env(AGW_OUTPUT=rows))
                self.wait_for("a row", lambda: os.path.exists(rows) and os.path.getsize(rows) > 0, p)
                err_text = self.stop(p, err, signo)
                self.assertEqual(err_text.count(LOGOUT), 1, err_text)
                err.close()
                self.files.remove(err)

    def test_reader_of_standard_output_gone(self):
        err = os.path.join(self.dir, "pipe.err")
        script = '"$0" 2>"$1" | head -1 >/dev/null; exit ${PIPESTATUS[0]}'
        done = subprocess.run(["bash", "-c", script, AGENT, err], env=self.env(), timeout=30)
        self.assertEqual(done.returncode, 0)
        with open(err) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[-1], LOGOUT)
        self.assertEqual(sum("reader of standard output has gone" in line for line in lines), 1, lines)

    def test_syslog_priorities_only_on_the_journal_stream(self):
        # A missing view gives an error report and an ERROR trace line; a
        # trace file that cannot be opened, a warning.
        broken = dict(VIEWDIR32=self.dir, AGW_TRACE_FILE=os.path.join(self.dir, "no", "trace.log"))
        for case in ("journal", "another file", "unset"):
            with self.subTest(case=case):
                rows = os.path.join(self.dir, case + ".jsonl")
                err = self.open(case + ".err", "w+")
                st = os.fstat(err.fileno())
                extra = dict(broken, AGW_OUTPUT=rows)
                if case == "journal":
                    extra["JOURNAL_STREAM"] = "%d:%d" % (st.st_dev, st.st_ino)
                elif case == "another file":
                    extra["JOURNAL_STREAM"] = "%d:%d" % (st.st_dev, os.stat(self.dir).st_ino)
                p = subprocess.Popen([AGENT], env=self.env(**extra), stdout=subprocess.DEVNULL, stderr=err)
                self.procs.append(p)
                self.wait_for("an error report", lambda: err.seek(0) == 0 and "cannot be used" in err.read(), p)
                p.send_signal(signal.SIGTERM)
                self.assertEqual(p.wait(15), 0)
                err.seek(0)
                lines = err.read().splitlines()
                if case != "journal":
                    self.assertEqual([l for l in lines if re.match(r"<\d>", l)], [])
                    continue
                self.assertEqual([l for l in lines if not re.match(r"<[346]>", l)], [])
                self.assertIn("<6>" + LOGOUT, lines)
                self.assertIn("<6>TXWATCHER has joined the Application successfully!", lines)
                banner = [l for l in lines if " PRINT " in l]
                self.assertTrue(banner and all(l.startswith("<6>") for l in banner), banner)
                errors = [l for l in lines if "cannot be used" in l]
                self.assertTrue(any(" ERROR " in l for l in errors) and any(l[3:].startswith("Error: view") for l in errors))
                self.assertTrue(all(l.startswith("<3>") for l in errors), errors)
                warnings = [l for l in lines if "AGW_TRACE_FILE" in l]
                self.assertEqual([l[:3] for l in warnings], ["<4>"])

    def test_demo_moves_off_a_taken_port(self):
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        holder = socket.socket()
        self.addCleanup(holder.close)
        # Connections an earlier test's agent closed on 9464 linger in
        # TIME_WAIT, which refuses a plain bind but not the agent's (it
        # reuses the address): the holder reuses it too, so that it really
        # holds the port.
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            holder.bind(("127.0.0.1", 9464))
            holder.listen()
        except OSError:
            pass  # taken by someone else already: the same case
        err = self.open("demo.err", "w+")
        p = subprocess.Popen([os.path.join(root, "examples", "run-demo.sh"), BUILD], cwd=self.dir,
                             stdout=subprocess.DEVNULL, stderr=err)
        self.procs.append(p)
        said = lambda: err.seek(0) == 0 and re.search(r"agwmain: metrics at http://127\.0\.0\.1:(\d+)/", err.read())
        self.wait_for("the endpoint's address", said, p)
        port = said().group(1)
        self.assertNotEqual(port, "9464")
        err.seek(0)
        self.assertIn("port 9464 is taken; using %s" % port, err.read())


class PackageTest(ProcessTest):
    """The Debian package: its conffiles, logrotate file and the logrotate it
    recommends, copyright, description, maintainer scripts, and the unit's
    hardening."""
    prefix = "zta_package_"

    def test_package_contents_and_scripts(self):
        if not shutil.which("cpack") or not shutil.which("dpkg-deb"):
            self.skipTest("no cpack or dpkg-deb")
        out = os.path.join(self.dir, "pkg")
        subprocess.run(["cpack", "-G", "DEB", "-B", out, "--config", os.path.join(BUILD, "CPackConfig.cmake")],
                       check=True, stdout=subprocess.DEVNULL, timeout=300)
        debs = [f for f in os.listdir(out) if f.endswith(".deb")]
        self.assertEqual(len(debs), 1, debs)
        deb = os.path.join(out, debs[0])
        listing = subprocess.run(["dpkg-deb", "-c", deb], check=True, capture_output=True, text=True).stdout
        paths = {line.split()[-1].lstrip(".") for line in listing.splitlines()}
        for path in ("/etc/ztaagent/requests.yaml", "/etc/logrotate.d/ztaagent", "/etc/default/ztaagent",
                     "/usr/share/doc/ztaagent/copyright", "/var/log/ztaagent/"):
            self.assertIn(path, paths)
        control = os.path.join(self.dir, "control")
        subprocess.run(["dpkg-deb", "-e", deb, control], check=True)
        with open(os.path.join(control, "conffiles")) as f:
            self.assertEqual(set(f.read().split()),
                             {"/etc/default/ztaagent", "/etc/ztaagent/requests.yaml", "/etc/logrotate.d/ztaagent"})
        scripts = {}
        for name in ("postinst", "prerm", "postrm"):
            path = os.path.join(control, name)
            self.assertTrue(os.access(path, os.X_OK), name)
            with open(path) as f:
                scripts[name] = f.read()
        self.assertIn("adduser --system", scripts["postinst"])
        self.assertRegex(scripts["prerm"], r"systemctl stop ztaagent")
        self.assertRegex(scripts["postrm"], r'"purge"[\s\S]*systemctl disable ztaagent')
        with open(os.path.join(control, "control")) as f:
            fields = f.read()
        maintainer = re.search(r"^Maintainer: (.*)$", fields, re.M).group(1)
        # The logrotate file shipped is of use only with logrotate; the
        # description says more than its summary line.
        self.assertRegex(fields, r"(?m)^Recommends: .*\blogrotate\b")
        self.assertGreaterEqual(len(re.search(r"^Description: .*\n((?: .*\n)*)", fields, re.M).group(1).splitlines()), 3)
        self.assertRegex(maintainer, r"^[^<>]+ <[^@<>\s]+@[^@<>\s]+>$")
        self.assertNotIn("@localhost", maintainer)

    def test_rpm_contents_and_scriptlets(self):
        if not shutil.which("cpack") or not shutil.which("rpmbuild"):
            self.skipTest("no cpack or rpmbuild (Debian's rpm package)")
        out = os.path.join(self.dir, "rpm")
        subprocess.run(["cpack", "-G", "RPM", "-B", out, "--config", os.path.join(BUILD, "CPackConfig.cmake")],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        rpms = [f for f in os.listdir(out) if f.endswith(".rpm")]
        self.assertEqual(len(rpms), 1, rpms)
        query = lambda *args: subprocess.run(["rpm", "-qp", *args, os.path.join(out, rpms[0])], check=True,
                                             capture_output=True, text=True).stdout
        paths = set(query("-l").split())
        self.assertTrue(any(p.endswith("/lib/systemd/system/ztaagent.service") for p in paths), paths)
        for path in ("/etc/ztaagent/requests.yaml", "/etc/logrotate.d/ztaagent", "/etc/default/ztaagent",
                     "/usr/share/doc/ztaagent/copyright"):
            self.assertIn(path, paths)
        # Folders other packages own (filesystem, systemd, logrotate) are
        # not claimed as this package's.
        for owned_elsewhere in ("/etc/default", "/etc/logrotate.d", "/var/log", "/usr/lib/systemd/system"):
            self.assertNotIn(owned_elsewhere, paths)
        self.assertEqual(set(query("--configfiles").split()),
                         {"/etc/default/ztaagent", "/etc/ztaagent/requests.yaml", "/etc/logrotate.d/ztaagent"})
        self.assertRegex(query("-lv"), r"(?m)^drwxr-x---\s+\d+\s+ztaagent\s+ztaagent\s.*\s/var/log/ztaagent$")
        self.assertIn("logrotate", query("--requires").split())
        scripts = query("--scripts")
        pre = re.search(r"preinstall scriptlet[^\n]*\n([\s\S]*?)\n\S+ scriptlet", scripts).group(1)
        self.assertIn("useradd -r", pre)
        preun = re.search(r"preuninstall scriptlet[^\n]*\n([\s\S]*?)(\n\S+ scriptlet|$)", scripts).group(1)
        self.assertRegex(preun, r'"\$1" -eq 0[\s\S]*disable --now ztaagent\.service')

    def test_packaged_requests_are_every_table_every_30_seconds(self):
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        with open(os.path.join(root, "packaging", "requests.yaml")) as f:
            requests = re.findall(r"^  - \{name: (\w+), table: (\w+), interval: (\d+)\}$", f.read(), re.M)
        listed = subprocess.run([os.path.join(BUILD, "ztaquery"), "--list"], capture_output=True, text=True).stdout
        tables = re.findall(r"^(TX\w+)\s+table", listed, re.M)
        self.assertEqual(len(tables), 20)
        self.assertEqual(sorted(t for _, t, _ in requests), sorted(tables))
        self.assertEqual({i for _, _, i in requests}, {"30"})

    def test_unit_is_hardened(self):
        if not shutil.which("systemd-analyze"):
            self.skipTest("no systemd-analyze")
        with open(os.path.join(BUILD, "packaging", "ztaagent.service")) as f:
            unit = f.read()
        self.assertNotRegex(unit, r"(?m)^(PrivateIPC|RemoveIPC)=")  # the bulletin board is System V IPC
        self.assertIn("ReadWritePaths=/var/log/ztaagent", unit)
        path = os.path.join(self.dir, "ztaagent.service")
        with open(path, "w") as f:  # an ExecStart that exists, for verify
            f.write(re.sub(r"^ExecStart=.*$", "ExecStart=/bin/true", unit, flags=re.M))
        done = subprocess.run(["systemd-analyze", "security", "--offline=true", path],
                              capture_output=True, text=True, timeout=60)
        score = re.search(r"Overall exposure level for \S+: (\d+\.\d+)", done.stdout + done.stderr)
        self.assertIsNotNone(score, done.stdout + done.stderr)
        self.assertLessEqual(float(score.group(1)), 3.0, done.stdout)
        verify = subprocess.run(["systemd-analyze", "verify", path], capture_output=True, text=True, timeout=60)
        problems = [l for l in verify.stderr.splitlines() if "ztaagent.service" in l]
        self.assertEqual(problems, [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
