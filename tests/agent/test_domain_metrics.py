"""One agent per machine of a domain, scraped by one real Prometheus on
loopback: every object is served once across the agents, their counters sum
to what ztaquery reads of the same live domain, every series names its
domain, the alerting rules docs/prometheus.md gives fire once per object, the default
series do not follow client logins, and an outage withdraws the object
series instead of freezing them.

Run by ctest: python3 test_domain_metrics.py BUILD_DIR
"""
import json
import math
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
PROMETHEUS_DOC = os.path.join(ROOT, "docs", "prometheus.md")
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


def demo_domain(local_lmid, activity, tick=None):
    """The demo domain as the process on `local_lmid` sees it; without its
    activity model the counters stay as written, with a tick its counters
    step that many seconds apart."""
    with open(DEMO) as f:
        text = f.read()
    if not activity:
        text = re.sub(r"^activity:\n(?:[ #].*\n)*", "", text, flags=re.M)
    if tick:
        text = re.sub(r"^  tick: \d+$", "  tick: %d" % tick, text, flags=re.M)
    return re.sub(r"^local_lmid: \S+", "local_lmid: " + local_lmid, text, flags=re.M)


def readme_rules():
    """The alerting rules as docs/prometheus.md gives them."""
    with open(PROMETHEUS_DOC) as f:
        text = f.read()
    for block in re.findall(r"```yaml\n(.*?)```", text, re.S):
        if block.startswith("groups:"):
            return block
    raise AssertionError("docs/prometheus.md gives no alerting rules")


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
        # A live domain whose counters step every 20 s, so that Prometheus
        # has both agents' latest samples of a step while it lasts.
        urls = [self.start_agent(lmid, self.write(lmid + ".yaml", demo_domain(lmid, activity=True, tick=20)),
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
        # One domain, not one per process: the requests completed summed
        # over both agents are what ztaquery reads in the same step, and not
        # the file's.
        def completed(domain):
            rows = [json.loads(l)["row"] for l in subprocess.run(
                [QUERY, "--json", "TXSRVSTAT"], capture_output=True, text=True, check=True,
                env=dict(self.env, TUXSIM_DOMAIN=domain)).stdout.splitlines()]
            return sum(r["totreqc"] for r in rows)
        still = completed(self.write("still.yaml", demo_domain("SITE1", activity=False)))
        pairs = self.wait_for(lambda: (completed(self.path("SITE1.yaml")),
                                       value("sum(tuxedo_server_requests_completed_total)")),
                              lambda p: p[0] == p[1], seconds=60)
        self.assertNotEqual(pairs[0], still)
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
        requests = self.write("requests.yaml", "requests:\n" + "".join(
            "  - {name: %s, table: %s, interval: 1}\n" % (t, t) for t in ("TXSERVER", "TXULOGS", "TXMSTATS")))
        rows = self.path("rows.jsonl")
        url = self.start_agent("SITE1", self.write("down.yaml", demo_domain("SITE1", activity=False)),
                               AGW_CONFIG=requests, TUXSIM_FAULTS="down:6:3", AGW_OUTPUT=rows)
        servers = lambda t: len(re.findall(r"^tuxedo_server_state\{", t, re.M))
        self.assertGreater(servers(self.wait_for(lambda: get(url), lambda t: servers(t) > 0)), 0)
        down = self.wait_for(lambda: get(url), lambda t: "tuxedo_agent_joined{" in t and servers(t) == 0)
        self.assertRegex(down, r"tuxedo_agent_joined\{[^}]*\} 0\n")
        self.assertRegex(down, r'tuxedo_agent_mib_calls_total\{[^}]*outcome="failed",table="TXSERVER"\} [1-9]')
        self.assertRegex(down, r"tuxedo_agent_last_complete_sample_timestamp_seconds\{[^}]*request=\"TXSERVER\"")
        back = self.wait_for(lambda: get(url), lambda t: servers(t) > 0, seconds=30)
        self.assertRegex(back, r"tuxedo_agent_joined\{[^}]*\} 1\n")
        # The joins backed off (1, 2, 4 s ...) whatever the three requests
        # due every second, and the samples that waited said so, TXULOGS's
        # as every other table's.
        failed = float(re.search(r'tuxedo_agent_joins_total\{[^}]*outcome="failed"[^}]*\} (\S+)', back).group(1))
        self.assertGreater(failed, 0)
        self.assertLessEqual(failed, math.log2(6) + 2)
        with open(rows) as f:
            records = [r for r in map(json.loads, f) if "sample" in r and not r["complete"]]
        reasons = {(r["request"], r["reason"].split(" in ")[0]) for r in records}
        for request in ("TXSERVER", "TXULOGS", "TXMSTATS"):
            self.assertIn((request, "not joined; next attempt"), reasons)
        self.assertNotIn("", {r["reason"] for r in records}, records)

    def test_scrapers_beside_the_sampler_skip_no_sample_and_gzip_serves_the_same_series(self):
        rows = self.path("rows.jsonl")
        tables = ("TXCLIENTS", "TXSERVER", "TXSRVSTAT", "TXMSTATS")
        requests = self.write("requests.yaml", "requests:\n" + "".join(
            "  - {name: %s, table: %s, interval: 1}\n" % (t, t) for t in tables))
        url = self.start_agent("SITE1", self.write("demo.yaml", demo_domain("SITE1", activity=True)),
                               AGW_CONFIG=requests, AGW_OUTPUT=rows)
        self.wait_for(lambda: get(url), lambda t: "tuxedo_server_state{" in t)

        def curl(*args):
            return subprocess.run(["curl", "-s", "-D", "-", *args, url], capture_output=True, check=True).stdout

        head, _, body = curl("--compressed", "-H", "Accept-Encoding: gzip").decode().partition("\r\n\r\n")
        self.assertRegex(head, r"(?im)^content-encoding: gzip\r?$")
        self.assertRegex(head, r"(?im)^vary: accept-encoding\r?$")
        plain = curl().decode().partition("\r\n\r\n")[2]
        families = lambda text: sorted(l for l in text.splitlines() if l.startswith("# TYPE"))
        self.assertEqual(families(body), families(plain))
        self.assertEqual({k for k in series(body) if k[0].startswith("tuxedo_server")},
                         {k for k in series(plain) if k[0].startswith("tuxedo_server")})

        def sample_numbers(table):
            with open(rows) as f:
                return [r["sample"] for r in map(json.loads, f) if "sample" in r and r["request"] == table]

        # Scrapers without pause, plain and gzip, beside the sampling.
        before = {t: len(sample_numbers(t)) for t in tables}
        begin = time.time()
        loop = "end=$(($(date +%%s) + 6)); while [ $(date +%%s) -lt $end ]; do curl -s -o /dev/null %s; " \
               "curl -s --compressed -o /dev/null %s; done" % (url, url)
        scrapers = [subprocess.Popen(["sh", "-c", loop]) for _ in range(6)]
        for p in scrapers:
            p.wait(30)
        took = time.time() - begin
        after = get(url)
        skipped = re.findall(r"^tuxedo_agent_samples_skipped_total\{[^}]*\} (\S+)$", after, re.M)
        self.assertEqual(len(skipped), len(tables), after)
        self.assertEqual({float(n) for n in skipped}, {0.0})
        for table in tables:  # a sample every second meanwhile, none lost
            numbers = sample_numbers(table)
            self.assertEqual(numbers, list(range(1, len(numbers) + 1)))
            self.assertGreaterEqual(len(numbers) - before[table], int(took) - 1, table)
        # The server's threads that took a connection run nicer than the
        # sampling (main) thread.
        pid = self.procs[0].pid
        nice = {}
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/stat" % (pid, task)) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            nice[int(task)] = int(fields[16])
        self.assertEqual(nice[pid], 0)
        self.assertIn(10, nice.values(), nice)

    @staticmethod
    def free_port():
        import socket
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            return s.getsockname()[1]


if __name__ == "__main__":
    unittest.main()
