"""The agent's command line and its reload as an operator meets them:
--help and --version at once without joining, an unknown option refused,
--check-config on sound and broken configurations (never joining, listening
or creating a file), SIGHUP reading the request file again, and the demo
both against `ztaquery --list` (the same families) and at the installed
trace mask (no error line).

Run by ctest: python3 test_command_line.py SOURCE_DIR BUILD_DIR
"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import unittest
import urllib.request

from agent_processes import ProcessTest

SOURCE = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 2 else ".")
BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build")
AGENT = os.path.join(BUILD, "ztaagent")
QUERY = os.path.join(BUILD, "ztaquery")


def scrape(url):
    with urllib.request.urlopen(url, timeout=5) as reply:
        return reply.read().decode("utf-8")


def listed_families(*args):
    """ztaquery --list: family -> (its table or None, when it is served, the table's mode)."""
    out = subprocess.run([QUERY, "--list", *args], capture_output=True, text=True, check=True).stdout
    families, table, mode, served = {}, None, None, None
    for line in out.splitlines():
        header = re.match(r"(TX\w+)  table \d+, .*: (\w+), scope", line)
        if header:
            table, mode = header.groups()
        elif not line.startswith(" "):
            table, mode = None, None
        section = re.match(r"  served (.+):$", line)
        if section:
            served = section.group(1)
        family = re.match(r"    ((?:tuxedo|process)_\w+)", line)
        if family:
            families[family.group(1)] = (table, served, mode)
    return families


def scraped_families(text):
    return set(re.findall(r"^# TYPE (\S+)", text, re.M))


class CommandLine(ProcessTest):
    prefix = "zta_cli_"

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items() if not k.startswith(("AGW_", "TUXSIM_"))}
        env.update(TUXSIM_RECORD=self.path("mib.calls"), **extra)
        return env

    def agent(self, *args, **env):
        return subprocess.run([AGENT, *args], env=self.env(**env), cwd=self.dir, capture_output=True, text=True,
                              timeout=10)

    def assert_never_joined(self, p):
        self.assertFalse(os.path.exists(self.path("mib.calls")), "a .TMIB call was made")
        self.assertNotIn("joined", p.stderr)

    def test_options_answer_at_once_without_joining_and_anything_else_is_refused(self):
        for option in ("--version", "--help"):
            started = time.monotonic()
            p = self.agent(option)
            self.assertLess(time.monotonic() - started, 2, option)
            self.assertEqual((p.returncode, p.stderr), (0, ""), option)
            self.assert_never_joined(p)
        self.assertRegex(self.agent("--version").stdout,
                         r"^ztaagent \d+\.\d+\.\d+ \(commit \w+\)\nbuilt against the Tuxedo stand-in")
        self.assertIn("--check-config", self.agent("--help").stdout)
        for args in (["--bogus"], ["--check-config", "--version"], ["version"]):
            p = self.agent(*args)
            self.assertEqual(p.returncode, 2, args)
            self.assertEqual(p.stdout, "", args)  # no banner, no rows
            self.assertRegex(p.stderr, r'^ztaagent: "%s": expected one of .*\nusage: ztaagent ' % args[-1])
            self.assert_never_joined(p)

    @unittest.skipUnless(shutil.which("openssl"), "openssl is needed (scripts/bootstrap installs it)")
    def test_check_config_says_what_would_run_and_refuses_what_a_start_refuses(self):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", "server.key", "-out", "server.crt", "-days", "1", "-subj", "/CN=x"],
                       cwd=self.dir, check=True, capture_output=True, timeout=30)
        self.write("web.yml", "tls_server_config: {cert_file: server.crt, key_file: server.key}\n")
        self.write("lost.yml", "tls_server_config: {cert_file: server.crt, key_file: gone.key}\n")
        sound = self.write("sound.yaml", "web_config: web.yml\nrequests:\n"
                                         "  - {name: servers, table: TXSERVER, interval: 10}\n"
                                         "  - name: busy\n    table: TXSERVER\n    type: situation\n"
                                         "    thresholds: [{column: GENERATION, op: GT, value: '1'}]\n")
        bad = self.write("bad.yaml", "requests:\n  - {name: servers, table: TXSERVER}\n"
                                     "  - name: busy\n    table: TXSERVER\n"
                                     "    thresholds: [{column: GENERATION, op: GT, value: many}]\n")
        # The port is taken (by a running agent, say): a check does not listen.
        holder = socket.socket()
        self.addCleanup(holder.close)
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        port = holder.getsockname()[1]
        rows = self.path("rows.jsonl")
        http = "127.0.0.1:%d" % port
        p = self.agent("--check-config", AGW_CONFIG=sound, AGW_HTTP=http, AGW_OUTPUT=rows)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertIn("1 report and 1 situation requests on 1 tables", p.stdout)
        self.assertIn("metrics:  https://%s/metrics" % http, p.stdout)
        self.assertFalse(os.path.exists(rows), "the check created the row output")
        self.assert_never_joined(p)

        for env, expected in (({"AGW_CONFIG": bad}, 'bad.yaml:3: request "busy": threshold on GENERATION: expected a '
                                                     'decimal integer, got "many"'),
                              ({"AGW_CONFIG": sound, "AGW_HTTP": http, "AGW_WEB_CONFIG": "lost.yml"},
                               'lost.yml:1: tls_server_config: key_file "gone.key": cannot read')):
            p = self.agent("--check-config", **env)
            self.assertEqual(p.returncode, 2, p.stderr)
            lines = [l for l in p.stderr.splitlines() if l.startswith("agwmain:")]
            self.assertEqual(len(lines), 1, p.stderr)
            self.assertIn(expected, lines[0])
            self.assert_never_joined(p)


class Reload(ProcessTest):
    prefix = "zta_reload_"

    @staticmethod
    def samples(path, request):
        """The sample numbers of a request's closing records, in order."""
        numbers = []
        with open(path) as f:
            for line in f:
                record = json.loads(line)
                if record.get("request") == request and "sample" in record:
                    numbers.append(record["sample"])
        return numbers

    def test_sighup_starts_added_requests_and_keeps_the_old_ones_and_a_broken_file_changes_nothing(self):
        requests = self.path("requests.yaml")
        domain = "requests:\n  - {name: domain, table: TXDOMCFG, interval: 1}\n"
        self.write("requests.yaml", domain)
        rows = self.path("rows.jsonl")
        env = {k: v for k, v in os.environ.items() if not k.startswith(("AGW_", "TUXSIM_"))}
        p, url = self.start_agent(AGENT, dict(env, AGW_CONFIG=requests, AGW_OUTPUT=rows, AGW_HTTP="127.0.0.1:0",
                                              AGW_TRACE="0x180"))

        def wait(what, test):
            deadline = time.time() + 15
            while time.time() < deadline and not (os.path.exists(rows) and test()):
                self.assertIsNone(p.poll(), "the agent ended while waiting for " + what)
                time.sleep(0.05)
            self.assertTrue(test(), what)

        wait("two samples", lambda: len(self.samples(rows, "domain")) >= 2)
        self.write("requests.yaml", domain + "  - {name: servers, table: TXSERVER, interval: 1}\n")
        p.send_signal(signal.SIGHUP)
        wait("the new request's samples", lambda: len(self.samples(rows, "servers")) >= 2)
        self.assertIn("tuxedo_server_state{", scrape(url))
        self.write("requests.yaml", domain + "  - {name: servers, table: TXSERVR, interval: 1}\n")
        p.send_signal(signal.SIGHUP)
        before = len(self.samples(rows, "servers"))
        wait("the running requests going on", lambda: len(self.samples(rows, "servers")) >= before + 2)
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(15), 0)

        for request in ("domain", "servers"):
            numbers = self.samples(rows, request)
            self.assertEqual(numbers, list(range(1, len(numbers) + 1)), request)
        with open(self.path("agent.err")) as f:
            said = f.read().splitlines()
        refused = [l for l in said if " ERROR " in l]
        self.assertEqual(len(refused), 1, said)
        self.assertRegex(refused[0], r'not reloaded, the running one goes on: .*requests\.yaml:3: request "servers": '
                                     r'table "TXSERVR": expected a table a manager serves')
        self.assertEqual(len([l for l in said if "configuration reloaded" in l]), 1, said)


class Demo(ProcessTest):
    """The demo as `make demo` runs it, at the installed trace mask."""
    prefix = "zta_demo_"
    maxDiff = None

    def test_list_names_what_the_demo_serves_and_the_installed_mask_shows_no_error(self):
        with open(os.path.join(SOURCE, "packaging", "ztaagent.default.in")) as f:
            mask = re.search(r"^AGW_TRACE=(\S+)$", f.read(), re.M).group(1)
        env = {k: v for k, v in os.environ.items() if not k.startswith(("AGW_", "TUXSIM_"))}
        err = self.open("demo.err", "w+")
        p = subprocess.Popen([os.path.join(SOURCE, "examples", "run-demo.sh"), BUILD, "127.0.0.1:0"],
                             env=dict(env, AGW_TRACE=mask), stdout=subprocess.DEVNULL, stderr=err, cwd=self.dir)
        self.procs.append(p)
        started = time.time()
        listed = listed_families()
        with open(os.path.join(SOURCE, "examples", "demo-requests.yaml")) as f:
            requests = len(re.findall(r"^  - ", f.read(), re.M))
        url = None
        while time.time() < started + 30:
            err.seek(0)
            m = re.search(r"agwmain: metrics at (http://\S+)", err.read())
            url = m.group(1) if m else None
            if url and len(re.findall(r"^tuxedo_agent_sample_rows\{", scrape(url), re.M)) == requests:
                break
            time.sleep(0.2)
        time.sleep(max(0.0, started + 20 - time.time()))  # 20 s of the demo: its situation raised and cleared
        text = scrape(url)
        served = scraped_families(text)
        expected = {name for name, (_, when, _) in listed.items()
                    if when in ("by default", "with a situation request") or
                    (when == "once it has counted something" and name in served)}
        self.assertEqual(sorted(served - expected), [], "served but not listed as served by default")
        self.assertEqual(sorted(expected - served), [], "listed as served by default but not served")
        p.send_signal(signal.SIGINT)
        self.assertEqual(p.wait(15), 0)
        err.seek(0)
        lines = err.read().splitlines()
        self.assertEqual([l for l in lines if " ERROR " in l], [])
        # One line for each change of state, not one for each request.
        self.assertLess(len([l for l in lines if " STATE " in l]), requests / 2, lines)

    def test_list_names_what_objects_true_serves(self):
        listed = listed_families()
        tables = {table: mode for table, _, mode in listed.values() if table}
        requests = self.write("requests.yaml", "requests:\n" + "".join(
            "  - {name: %s, table: %s, interval: 1, objects: true}\n" % (t, t) for t in tables))
        env = {k: v for k, v in os.environ.items() if not k.startswith(("AGW_", "TUXSIM_"))}
        _, url = self.start_agent(AGENT, dict(env, AGW_CONFIG=requests, AGW_OUTPUT="/dev/null",
                                              AGW_HTTP="127.0.0.1:0", TXAPPQSPACENAME="QSPACE1;QSPACE2;",
                                              TXQMCONFIG="/srv/bank/queues/qdev1;/srv/bank/queues/qdev2;",
                                              TXLMID="SITE1;SITE2;"))
        deadline, text = time.time() + 20, ""
        while time.time() < deadline:
            text = scrape(url)
            if len(re.findall(r"^tuxedo_agent_sample_rows\{", text, re.M)) == len(tables):
                break
            time.sleep(0.2)
        served = scraped_families(text)
        per_object = {name for name, (table, when, mode) in listed.items()
                      if table and when == ("with objects: true" if mode == "aggregate" else "by default")}
        self.assertEqual(sorted({f for f in served if listed.get(f, (None,))[0]} - per_object), [])
        self.assertEqual(sorted(per_object - served), [])


if __name__ == "__main__":
    unittest.main()
