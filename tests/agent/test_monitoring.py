"""The rules and the dashboard shipped under monitoring/: promtool checks the
rules and runs their unit tests, and one built from a real scrape of an agent
on one machine of the demo domain (the other ACTive machine alerts as
unwatched); then a real Prometheus on loopback scrapes an agent on the demo
domain, and every dashboard variable and panel query, every series the rules
read and every recorded series answers.

Run by ctest: python3 test_monitoring.py BUILD_DIR
"""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time
import unittest
import urllib.parse
import urllib.request

from agent_processes import ProcessTest, served_table_names

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build")
AGENT = os.path.join(BUILD, "ztaagent")
QUERY = os.path.join(BUILD, "ztaquery")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RULES = os.path.join(ROOT, "monitoring", "ztaagent-rules.yml")
RULE_TESTS = os.path.join(ROOT, "monitoring", "ztaagent-rules.test.yml")
DASHBOARD = os.path.join(ROOT, "monitoring", "dashboards", "ztaagent-overview.json")
# The demo domain's two open /Q queue spaces (docs/configuration.md, "Watching /Q queue spaces").
QSPACES = {"TXAPPQSPACENAME": "QSPACE1;QSPACE2;",
           "TXQMCONFIG": "/srv/bank/queues/qdev1;/srv/bank/queues/qdev2;",
           "TXLMID": "SITE1;SITE2;"}
# A tuxedo_ selector with its braces, and a selector by name pattern.
SELECTOR = re.compile(r'(tuxedo_\w+)?\{([^{}]*)\}')


def get(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as reply:
        return json.loads(reply.read().decode("utf-8"))["data"]


def panels(items):
    for p in items:
        yield p
        yield from panels(p.get("panels", []))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@unittest.skipUnless(shutil.which("promtool"), "promtool is not installed (scripts/bootstrap installs it)")
class Monitoring(ProcessTest):
    prefix = "zta_monitoring_"

    def test_rules_are_valid_and_pass_their_unit_tests(self):
        for cmd in (["check", "rules", RULES], ["test", "rules", RULE_TESTS]):
            r = subprocess.run(["promtool"] + cmd, capture_output=True, text=True, cwd=self.dir, timeout=60)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def test_an_active_machine_without_an_agent_alerts_from_a_real_scrape(self):
        # One agent, on SITE1 (the demo's master): the machines it serves and
        # its own series, as scraped, are the rules' input for ten minutes.
        requests = self.write("requests.yaml", "requests:\n  - {name: TXMCONF, table: TXMCONF, interval: 1}\n")
        env = {k: v for k, v in os.environ.items() if not k.startswith(("AGW_", "TUXSIM_", "ZTA_"))}
        env.update(AGW_CONFIG=requests, AGW_HTTP="127.0.0.1:0", AGW_OUTPUT="/dev/null")
        _, url = self.start_agent(AGENT, env)
        wanted = re.compile(r'^(tuxedo_machine_state|tuxedo_agent_joined)\{(.*domain="BANKDOM".*)\} (\S+)$', re.M)
        deadline, found = time.time() + 20, []
        while time.time() < deadline and not any(m[0] == "tuxedo_machine_state" for m in found):
            time.sleep(0.2)
            with urllib.request.urlopen(url, timeout=5) as reply:
                found = wanted.findall(reply.read().decode())
        self.assertIn(("tuxedo_agent_joined", 'domain="BANKDOM",lmid="SITE1"', "1"), found)
        series = "".join("      - series: '%s{job=\"ztaagent\",instance=\"a:9464\",%s}'\n        values: '%sx10'\n"
                         % m for m in found)
        tests = self.write("unwatched.test.yml", (
            "rule_files: ['%s']\nevaluation_interval: 1m\ntests:\n  - interval: 1m\n    input_series:\n%s"
            "    promql_expr_test:\n      - expr: ALERTS{alertname=\"TuxedoMachineUnwatched\",alertstate=\"firing\"}\n"
            "        eval_time: 10m\n        exp_samples:\n          - labels: 'ALERTS{alertname=\"TuxedoMachineUnwatched\","
            "alertstate=\"firing\",severity=\"warning\",domain=\"BANKDOM\",lmid=\"SITE2\"}'\n"
            "            value: 1\n") % (RULES, series))
        r = subprocess.run(["promtool", "test", "rules", tests], capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    @unittest.skipUnless(shutil.which("prometheus"), "prometheus is not installed (scripts/bootstrap installs it)")
    def test_dashboard_and_rules_answer_against_a_live_agent(self):
        tables = served_table_names(QUERY)
        requests = os.path.join(self.dir, "requests.yaml")
        with open(requests, "w") as f:
            f.write("requests:\n" + "".join("  - {name: %s, table: %s, interval: 1}\n" % (t, t) for t in tables))
        env = {k: v for k, v in os.environ.items() if not k.startswith(("AGW_", "TUXSIM_", "ZTA_"))}
        env.update(QSPACES, AGW_CONFIG=requests, AGW_HTTP="127.0.0.1:0", AGW_OUTPUT="/dev/null")
        _, url = self.start_agent(AGENT, env)

        config = os.path.join(self.dir, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                    "rule_files: ['%s']\n"
                    "scrape_configs:\n  - job_name: ztaagent\n    static_configs:\n"
                    "      - targets: ['%s']\n" % (RULES, urllib.parse.urlparse(url).netloc))
        port = free_port()
        log = self.open("prometheus.log", "w")
        self.procs.append(subprocess.Popen(
            ["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(self.dir, "tsdb"),
             "--web.listen-address=127.0.0.1:%d" % port], stdout=log, stderr=log))
        api = "http://127.0.0.1:%d/api/v1/" % port

        def query(expr):
            try:
                return get(api + "query?query=" + urllib.parse.quote(expr))["result"]
            except OSError:
                return []

        def label_values(definition, values):
            m = re.fullmatch(r"label_values\((.*),\s*(\w+)\)", definition)
            self.assertIsNotNone(m, definition)
            try:
                return get(api + "label/%s/values?match[]=%s" % (m.group(2), urllib.parse.quote(subst(m.group(1),
                                                                                                     values))))
            except OSError:
                return []

        def subst(expr, values):
            expr = expr.replace("$__rate_interval", "30s")
            for name, vals in values.items():
                # As Grafana gives several values: a regex alternation, in a PromQL string.
                alt = "(" + "|".join(re.escape(v).replace("\\", "\\\\") for v in vals) + ")"
                expr = re.sub(r"\$\{%s\}|\$%s\b" % (name, name), lambda _: alt, expr)
            return expr

        with open(DASHBOARD) as f:
            dashboard = json.load(f)
        variables = [v for v in dashboard["templating"]["list"] if v["type"] == "query"]
        self.assertEqual([v["name"] for v in variables], ["domain", "lmid"])
        exprs = [t["expr"] for p in panels(dashboard["panels"]) for t in p.get("targets", [])]
        self.assertGreater(len(exprs), 20)

        # Every selector of the agent's series filters by domain, and one
        # without the machine filter reads series that have no machine.
        unfiltered = set()
        for expr in exprs:
            for name, matchers in SELECTOR.findall(expr):
                if name or "__name__" in matchers:
                    self.assertIn('domain=~"$domain"', matchers, expr)
                    if 'lmid=~"$lmid"' not in matchers:
                        unfiltered.add("%s{%s,lmid!=\"\"}" % (name, matchers))

        with open(RULES) as f:
            rules = f.read()
        recorded = re.findall(r"^\s*- record: (\S+)", rules, re.M)
        read = set(re.findall(r"\btuxedo_\w*[a-z]\b(?![(:])", rules)) | \
            {"{%s}" % m for m in re.findall(r"\{(__name__=~\"[^\"]*\")\}", rules)}
        self.assertGreaterEqual(len(read), 10)

        # The variables answer in order, each with the values of those before.
        values = {}
        deadline = time.time() + 60
        for v in variables:
            while not values.get(v["name"]) and time.time() < deadline:
                values[v["name"]] = label_values(v["definition"], values)
                time.sleep(0.5)
            self.assertTrue(values.get(v["name"]), "variable %s has no values" % v["name"])
        self.assertIn("BANKDOM", values["domain"])
        self.assertIn("SITE3", values["lmid"])

        # Rates need two samples in their window; counters of the demo move.
        waiting = {subst(e, values) for e in exprs} | read | set(recorded)
        while waiting and time.time() < deadline:
            waiting = {e for e in waiting if not query(e)}
            if waiting:
                time.sleep(1)
        self.assertFalse(waiting, "no series: " + "; ".join(sorted(waiting)))
        for selector in sorted(unfiltered):
            self.assertEqual(len(query(subst(selector, values))), 0, selector + ": has an lmid, not filtered by it")


if __name__ == "__main__":
    unittest.main()
