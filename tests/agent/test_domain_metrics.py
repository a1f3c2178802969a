"""One agent per machine of a domain, scraped by one real Prometheus on
loopback: every object is served once across the agents, every series names
its domain, the README's alerting rules fire once per object, the default
series do not follow client logins, and an outage withdraws the object
series instead of freezing them.

Run by ctest: python3 test_domain_metrics.py BUILD_DIR
"""
import json
import os
import re
import shutil
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
DEMO = os.path.join(ROOT, "tuxsim", "domains", "demo.yaml")
README = os.path.join(ROOT, "README.md")
SERIES = re.compile(r"^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{.*\})? (\S+)$")


def get(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as reply:
        return reply.read().decode("utf-8")


def series(text):
    """The exposition's series as {(name, labels): value}."""
    out = {}
    for line in text.splitlines():
        m = SERIES.match(line)
        if m and not line.startswith("#"):
            out[(m.group(1), m.group(2) or "")] = float(m.group(3))
    return out


def demo_domain(local_lmid, activity):
    """The demo domain as the process on `local_lmid` sees it; without its
    activity model the counters stay as written."""
    with open(DEMO) as f:
        text = f.read()
    if not activity:
        text = re.sub(r"^activity:\n(?:[ #].*\n)*", "", text, flags=re.M)
    return re.sub(r"^local_lmid: \S+", "local_lmid: " + local_lmid, text, flags=re.M)


def readme_rules():
    """The alerting rules as the README gives them."""
    with open(README) as f:
        text = f.read()
    for block in re.findall(r"```yaml\n(.*?)```", text, re.S):
        if block.startswith("groups:"):
            return block
    raise AssertionError("the README gives no alerting rules")


class Domain(ProcessTest):
    prefix = "zta_domain_"

    def setUp(self):
        super().setUp()
        self.env = dict(os.environ, AGW_OUTPUT="/dev/null")
        for name in ("AGW_CONFIG", "TUXSIM_FAULTS", "AGW_HTTP", "TUXSIM_DOMAIN"):
            self.env.pop(name, None)

    def requests(self, interval=1):
        tables = served_table_names(QUERY)
        return self.write("requests.yaml", "requests:\n" + "".join(
            "  - {name: %s, table: %s, interval: %d}\n" % (t, t, interval) for t in tables))

    def start_agent(self, name, domain, **env):
        env = dict(self.env, TUXSIM_DOMAIN=domain, AGW_HTTP="127.0.0.1:0", **env)
        return super().start_agent(AGENT, env, name)[1]

    def wait_for(self, what, ready, seconds=30):
        deadline = time.time() + seconds
        last = None
        while time.time() < deadline:
            last = what()
            if ready(last):
                return last
            time.sleep(0.25)
        self.fail("never ready: %r" % (last,))

    @unittest.skipUnless(shutil.which("prometheus"), "prometheus is not installed (scripts/bootstrap installs it)")
    def test_two_agents_serve_each_object_once_and_alert_once(self):
        config = self.requests()
        urls = [self.start_agent(lmid, self.write(lmid + ".yaml", demo_domain(lmid, activity=False)),
                                 AGW_CONFIG=config) for lmid in ("SITE1", "SITE2")]
        # Both agents have seen their place and every table once.
        texts = [self.wait_for(lambda u=u: get(u), lambda t: 'domain="BANKDOM"' in t and "tuxedo_server_state{" in t)
                 for u in urls]
        texts = [get(u) for u in urls]
        mine = [{k for k in series(t) if k[0].startswith("tuxedo_")} for t in texts]
        both = mine[0] & mine[1]
        self.assertEqual(both, set(), "served by both agents")
        for text in texts:
            unlabelled = [l for l in text.splitlines() if l.startswith("tuxedo_") and 'domain="BANKDOM"' not in l]
            self.assertEqual(unlabelled, [])
            if shutil.which("promtool"):
                check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
                self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

        rules = self.write("rules.yml", readme_rules())
        port = self.free_port()
        scrape = self.write("prometheus.yml",
                            "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                            "rule_files: ['%s']\n"
                            "scrape_configs:\n  - job_name: ztaagent\n    static_configs:\n"
                            "      - targets: [%s]\n" % (rules, ", ".join(
                                "'%s'" % urllib.parse.urlparse(u).netloc for u in urls)))
        log = self.open("prometheus.log", "w")
        self.procs.append(subprocess.Popen(
            ["prometheus", "--config.file=" + scrape, "--storage.tsdb.path=" + self.path("tsdb"),
             "--web.listen-address=127.0.0.1:%d" % port], stdout=log, stderr=log))
        api = "http://127.0.0.1:%d/api/v1/query?query=" % port

        def query(expr):
            try:
                return json.loads(get(api + urllib.parse.quote(expr)))["data"]["result"]
            except OSError:
                return None

        def value(expr):
            result = query(expr)
            return float(result[0]["value"][1]) if result else None

        # What the domain holds, as ztaquery reads it on either machine.
        env = dict(self.env, TUXSIM_DOMAIN=self.path("SITE1.yaml"))
        servers = [json.loads(l)["row"] for l in subprocess.run(
            [QUERY, "--json", "TXSERVER"], capture_output=True, text=True, env=env, check=True).stdout.splitlines()]
        machines = [json.loads(l)["row"] for l in subprocess.run(
            [QUERY, "--json", "TXMSTATS"], capture_output=True, text=True, env=env, check=True).stdout.splitlines()]
        self.wait_for(lambda: value("count(count by (srvgrp, srvid) (tuxedo_server_state))"),
                      lambda v: v == len(servers), seconds=60)
        self.assertIsNone(value("count(count by (srvgrp, srvid) (tuxedo_server_state) > 1)"))
        self.assertEqual(value("sum(tuxedo_machine_accessers)"), sum(m["curaccess"] for m in machines))
        suspended = [s for s in servers if s["state"] == "SUSpended"]
        self.assertTrue(suspended)
        # Pending is enough: the rule waits a minute before it fires, and
        # the same one alert then fires.
        alerts = self.wait_for(
            lambda: query('ALERTS{alertname="TuxedoServerNotActive",srvgrp="%s",srvid="%d"}'
                          % (suspended[0]["srvgrp"], suspended[0]["srvid"])),
            lambda r: r, seconds=30)
        self.assertEqual(len(alerts), 1, alerts)
        inactive = [s for s in servers if s["state"] == "INActive"]
        self.assertTrue(inactive)
        self.assertIsNone(value('count(ALERTS{alertname="TuxedoServerNotActive",srvgrp="%s",srvid="%d"})'
                                % (inactive[0]["srvgrp"], inactive[0]["srvid"])))

    def test_client_churn_leaves_the_default_series_alone(self):
        url = self.start_agent("SITE1", self.write("churn.yaml", demo_domain("SITE1", activity=True)),
                               AGW_CONFIG=self.requests())
        self.wait_for(lambda: get(url), lambda t: "tuxedo_clients{" in t)
        counts, ids = [], set()
        for _ in range(8):
            time.sleep(1)
            text = get(url)
            counts.append(len([l for l in text.splitlines() if l.startswith("tuxedo_") and
                               not l.startswith("tuxedo_agent_")]))
            ids |= set(re.findall(r'clientid="([^"]*)"', text))
        self.assertEqual(ids, set(), "client identifiers became labels")
        self.assertLessEqual(max(counts), min(counts) * 1.05, counts)

    def test_an_outage_withdraws_the_object_series_until_the_domain_is_back(self):
        requests = self.write("requests.yaml", "requests:\n  - {name: TXSERVER, table: TXSERVER, interval: 1}\n")
        url = self.start_agent("SITE1", self.write("down.yaml", demo_domain("SITE1", activity=False)),
                               AGW_CONFIG=requests, TUXSIM_FAULTS="down:6:3")
        servers = lambda t: len(re.findall(r"^tuxedo_server_state\{", t, re.M))
        self.assertGreater(servers(self.wait_for(lambda: get(url), lambda t: servers(t) > 0)), 0)
        down = self.wait_for(lambda: get(url), lambda t: "tuxedo_agent_joined{" in t and servers(t) == 0)
        self.assertRegex(down, r"tuxedo_agent_joined\{[^}]*\} 0\n")
        self.assertRegex(down, r'tuxedo_agent_mib_calls_total\{[^}]*outcome="failed",table="TXSERVER"\} [1-9]')
        self.assertRegex(down, r"tuxedo_agent_last_complete_sample_timestamp_seconds\{[^}]*request=\"TXSERVER\"")
        back = self.wait_for(lambda: get(url), lambda t: servers(t) > 0, seconds=30)
        self.assertRegex(back, r"tuxedo_agent_joined\{[^}]*\} 1\n")

    @staticmethod
    def free_port():
        import socket
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            return s.getsockname()[1]


if __name__ == "__main__":
    unittest.main()
