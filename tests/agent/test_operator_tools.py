"""What operators plug in, end to end against the stand-in: the agent's
metrics endpoint (checked by promtool and scraped by a real Prometheus on
loopback) and ztaquery. Generic over the tables: whatever `ztaquery --list`
says is served is tested.

Run by ctest: python3 test_operator_tools.py BUILD_DIR
"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

from agent_processes import ProcessTest

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build")
AGENT = os.path.join(BUILD, "ztaagent")
QUERY = os.path.join(BUILD, "ztaquery")
HERE = os.path.dirname(os.path.abspath(__file__))

# A domain whose master is its one machine, a group with a server and two
# clients besides the agent's own; one client's name needs escaping. No
# activity: the counters stay as written.
DOMAIN = r"""
classes:
  T_DOMAIN:
    - {TA_DOMAINID: TOOLSDOM, TA_MASTER: SITE1, TA_MODEL: SHM, TA_STATE: ACTive}
  T_GROUP:
    - {TA_SRVGRP: GRP1, TA_GRPNO: 1, TA_LMID: SITE1, TA_STATE: ACTive}
  T_MACHINE:
    - {TA_LMID: SITE1, TA_PMID: host1, TA_STATE: ACTive, TA_CURACCESSERS: 7, TA_MAXACCESSERS: 50}
  T_SERVER:
    - {TA_SERVERNAME: /srv/bin/SRV1, TA_SRVGRP: GRP1, TA_GRPNO: 1, TA_SRVID: 3, TA_STATE: ACTive,
       TA_NUMREQ: 1234, TA_TOTREQC: 1200, TA_RQADDR: Q1}
  T_CLIENT:
    - {TA_CLIENTID: "C1", TA_STATE: ACTive, TA_CLTNAME: "a\"b\\c\nd", TA_USRNAME: alice,
       TA_CMTRET: COMPLETE, TA_NOTIFY: DIPIN, TA_WSC: N, TA_WSH: N, TA_LMID: SITE1, TA_PID: 4711}
    - {TA_CLIENTID: "C2", TA_STATE: ACTive, TA_USRNAME: bob, TA_CMTRET: LOGGED,
       TA_NOTIFY: SIGNAL, TA_WSC: Y, TA_WSH: N, TA_LMID: SITE1, TA_PID: 4712}
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as reply:
        return reply.read().decode("utf-8")


def served_tables():
    """Served tables from ztaquery --list: name -> {"mode": "rows", "keys": [...], "series": [...]}, the
    series being the families it serves by default."""
    out = subprocess.run([QUERY, "--list"], capture_output=True, text=True, check=True).stdout
    tables, current, served = {}, None, None
    for line in out.splitlines():
        if not line.startswith(" "):
            current = re.match(r"(TX\w+)  table ", line) and "not served" not in line and line.split()[0]
            if current:
                mode = re.search(r"series tuxedo_\w+_\*: (\w+), scope ", line)
                tables[current] = {"mode": mode.group(1), "keys": [], "series": []}
        elif current:
            m = re.search(r"(?<!state) label (\w+)$", line)
            if m:
                tables[current]["keys"].append(m.group(1))
            served = re.match(r"  served (.+):$", line).group(1) if line.startswith("  served ") else served
            m = re.match(r"    (tuxedo_\w+)", line)
            if m and served == "by default":
                tables[current]["series"].append(m.group(1))
    return tables


class Tools(ProcessTest):
    prefix = "zta_tools_"

    def setUp(self):
        super().setUp()
        self.domain = os.path.join(self.dir, "domain.yaml")
        with open(self.domain, "w") as f:
            f.write(DOMAIN)
        self.env = dict(os.environ, TUXSIM_DOMAIN=self.domain, AGW_OUTPUT="/dev/null")
        self.env.pop("AGW_CONFIG", None)
        self.env.pop("TUXSIM_FAULTS", None)

    def start_agent(self, env):
        return super().start_agent(AGENT, env)

    def scrape_when(self, url, ready, seconds=10):
        deadline = time.time() + seconds
        text = ""
        while time.time() < deadline:
            text = get(url)
            if ready(text):
                return text
            time.sleep(0.1)
        self.fail("never ready:\n" + text)

    def query(self, *args, env=None):
        return subprocess.run([QUERY, *args], capture_output=True, text=True, env=env or self.env, timeout=30)

    # ---- the metrics endpoint ------------------------------------------------

    def test_endpoint_serves_every_served_table_labelled_and_promtool_accepts_it(self):
        tables = served_tables()
        self.assertIn("TXCLIENTS", tables)
        _, url = self.start_agent(dict(self.env, AGW_HTTP="127.0.0.1:0"))
        # Every table sampled once: its sample_rows series is there (the MIB
        # call counters name every table from the start).
        text = self.scrape_when(url, lambda t: all(
            re.search(r'tuxedo_agent_sample_rows\{[^}]*request="%s",table="%s"\}' % (n, n), t) for n in tables))
        if shutil.which("promtool"):
            check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
            self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        # A series served twice makes Prometheus refuse the whole scrape.
        samples = [l.rsplit(" ", 1)[0] for l in text.splitlines() if l and not l.startswith("#")]
        self.assertEqual(sorted(s for s in set(samples) if samples.count(s) > 1), [])
        # Clients come and go: counted by machine and state, not one series each.
        self.assertRegex(text, r'\ntuxedo_clients\{(\w+="[^"]*",)*lmid="SITE1",state="ACTive"\} 3\n')
        self.assertRegex(text, r'tuxedo_agent_joined\{domain="TOOLSDOM",lmid="SITE1"\} 1\n')
        self.assertIn('lmid="SITE1",outcome="ok",table="TXCLIENTS"}', text)
        self.assertRegex(text, r'tuxedo_agent_build_info\{domain="TOOLSDOM",lmid="SITE1",'
                               r'revision="[0-9a-f]*",version="\d+\.\d+\.\d+"\} 1')
        self.assertIn('tuxedo_agent_joins_total{domain="TOOLSDOM",lmid="SITE1",outcome="failed"} 0\n', text)
        self.assertRegex(text, r"\nprocess_resident_memory_bytes [1-9]")
        # Every served table that has rows shows its series with all its keys.
        for name, table in tables.items():
            rows = re.search(r'tuxedo_agent_sample_rows\{[^}]*request="%s",table="%s"\} (\d+)' % (name, name), text)
            self.assertIsNotNone(rows, name)
            if int(rows.group(1)) == 0 or not table["series"] or table["mode"] != "rows":
                continue
            lines = [l for l in text.splitlines() if any(l.startswith(s + "{") for s in table["series"])]
            self.assertTrue(lines, name)
            for key in table["keys"]:
                self.assertTrue(any(key + '="' in l for l in lines), "%s: no label %s" % (name, key))

    def test_busy_port_or_bad_value_stops_the_agent_before_any_sample(self):
        with socket.socket() as busy:
            busy.bind(("127.0.0.1", 0))
            busy.listen(1)
            taken = "127.0.0.1:%d" % busy.getsockname()[1]
            for value in (taken, "localhost", "0.0.0.0:99999"):
                p = subprocess.run([AGENT], env=dict(self.env, AGW_HTTP=value, AGW_OUTPUT="-"),
                                   capture_output=True, text=True, timeout=30)
                self.assertEqual(p.returncode, 2, p.stderr)
                lines = [l for l in p.stderr.splitlines() if l.startswith("agwmain:")]
                self.assertEqual(lines, [l for l in lines if l.startswith('agwmain: AGW_HTTP "%s": ' % value)])
                self.assertEqual(len(lines), 1, p.stderr)
                self.assertNotIn('"table":', p.stdout)

    # ---- a real Prometheus on loopback ----------------------------------------

    @unittest.skipUnless(shutil.which("prometheus"), "prometheus is not installed (scripts/bootstrap installs it)")
    def test_prometheus_scrapes_the_agent_and_holds_the_stand_ins_values(self):
        tables = served_tables()
        config = os.path.join(self.dir, "requests.yaml")
        with open(config, "w") as f:
            f.write("requests:\n")
            for name in tables:
                f.write("  - {name: %s, table: %s, interval: 1}\n" % (name, name))
        _, url = self.start_agent(dict(self.env, AGW_HTTP="127.0.0.1:0", AGW_CONFIG=config))
        target = urllib.parse.urlparse(url).netloc
        port = free_port()
        scrape = os.path.join(self.dir, "prometheus.yml")
        with open(scrape, "w") as f:
            f.write("global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                    "scrape_configs:\n  - job_name: ztaagent\n    static_configs:\n"
                    "      - targets: ['%s']\n" % target)
        log = self.open("prometheus.log", "w")
        self.procs.append(subprocess.Popen(
            ["prometheus", "--config.file=" + scrape, "--storage.tsdb.path=" + os.path.join(self.dir, "tsdb"),
             "--web.listen-address=127.0.0.1:%d" % port], stdout=log, stderr=log))
        api = "http://127.0.0.1:%d/api/v1/query?query=" % port

        def value(expr):
            try:
                result = json.loads(get(api + urllib.parse.quote(expr)))["data"]["result"]
            except OSError:
                return None
            return float(result[0]["value"][1]) if result else None

        deadline = time.time() + 60
        while time.time() < deadline and value("sum(tuxedo_clients)") is None:
            time.sleep(0.5)
        # What the stand-in holds, as ztaquery reads it: two clients and the
        # reader's own entry.
        rows = [json.loads(l) for l in self.query("--json", "TXCLIENTS").stdout.splitlines()]
        self.assertEqual(len(rows), 3)
        self.assertEqual(value("sum(tuxedo_clients)"), len(rows))
        self.assertEqual(value('tuxedo_clients{lmid="SITE1",state="ACTive"}'), len(rows))
        self.assertEqual(value("tuxedo_agent_joined"), 1)
        self.assertEqual(value('up{job="ztaagent"}'), 1)
        if "TXMSTATS" in tables:
            mine = [json.loads(l)["row"] for l in self.query("--json", "TXMSTATS").stdout.splitlines()]
            site1 = [r for r in mine if r["lmid"] == "SITE1"][0]
            self.assertEqual(value('tuxedo_machine_accessers{lmid="SITE1"}'), site1["curaccess"])
            self.assertGreater(site1["curaccess"], 0)
        if "TXSRVSTAT" in tables:
            mine = [json.loads(l)["row"] for l in self.query("--json", "TXSRVSTAT").stdout.splitlines()]
            self.assertEqual(len(mine), 1)
            self.assertEqual(value('tuxedo_server_requests_total{srvgrp="GRP1",srvid="3"}'), mine[0]["numreq"])
            self.assertEqual(mine[0]["numreq"], 1234)

    # ---- ztaquery --------------------------------------------------------------

    def test_ztaquery_prints_every_served_table_as_a_table_and_as_json(self):
        for name in served_tables():
            p = self.query(name)
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(p.stderr, "")
            head = re.match(r"%s: (\d+) rows?" % name, p.stdout)
            self.assertIsNotNone(head, p.stdout)
            lines = p.stdout.splitlines()
            self.assertEqual(len(lines), 3 + int(head.group(1)))
            self.assertEqual(set(lines[2]), {"-", " "})
            p = self.query("--json", name)
            self.assertEqual(p.returncode, 0, p.stderr)
            rows = [json.loads(l) for l in p.stdout.splitlines()]
            self.assertEqual(len(rows), int(head.group(1)))
            self.assertTrue(all(r["table"] == name for r in rows))

    def test_ztaquery_where_filters_and_columns_pick(self):
        p = self.query("--where", "workstclnt", "eq", "Y", "--columns", "clientid,USERNAME", "TXCLIENTS")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(p.stdout.splitlines(), ["TXCLIENTS: 1 row", "clientid  username", "--------  --------",
                                                 "C2        bob"])
        p = self.query("--json", "--where", "USERNAME", "NE", "bob", "--where", "STATE", "EQ", "ACTive", "TXCLIENTS")
        names = sorted(json.loads(l)["row"]["username"] for l in p.stdout.splitlines())
        self.assertEqual(names, ["TXWATCHER", "alice"])

    def test_ztaquery_says_in_one_line_what_went_wrong(self):
        cases = [
            (["--where", "NOPE", "EQ", "1", "TXCLIENTS"], 2, 'TXCLIENTS has no column "NOPE"'),
            (["TXNOPE"], 2, '"TXNOPE": expected a table name'),
            (["--where", "STATE", "IS", "x", "TXCLIENTS"], 2, 'expected an operator EQ NE LT LE GT GE, got "IS"'),
            (["TXCLIENTS"], 1, "ztaquery: cannot join the Tuxedo application"),
        ]
        for args, status, says in cases:
            env = dict(self.env, TUXSIM_FAULTS="down:60") if status == 1 else None
            p = self.query(*args, env=env)
            self.assertEqual(p.returncode, status, p.stderr)
            self.assertEqual(len(p.stderr.splitlines()), 1, p.stderr)
            self.assertIn(says, p.stderr)
            self.assertEqual(p.stdout, "")
        p = self.query("TXCLIENTS", env=dict(self.env, TUXSIM_FAULTS="tpcall:1:TPESYSTEM"))
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stderr, "ztaquery: TXCLIENTS: the MIB call failed: TPESYSTEM - internal system error\n")


# A MIB laxer than Tuxedo's, in every way the stand-in can be: client replies
# that ignore TA_OCCURS and leave TA_MORE out at the end, server replies that
# never end, machine replies that repeat the objects before them, service
# replies under one cursor handle and one TA_MORE for the walk, a class
# refused, and a view conversion that refuses a value too long instead of
# cutting it. Values as wide as their blank-padded columns.
LAX_DOMAIN = r"""
quirks:
  ignore_occurs: [T_CLIENT]
  omit_more: [T_CLIENT]
  endless: [T_SERVER]
  repeat_objects: [T_MACHINE]
  fixed_cursor: [T_SVCGRP]
  unsupported: [T_GROUP]
  strict_views: true
classes:
  T_DOMAIN:
    - {TA_DOMAINID: LAXDOM, TA_MODEL: SHM, TA_STATE: INActive, TA_NOTIFY: SIGNAL}
  T_MACHINE:
    - {TA_LMID: SITE1, TA_PMID: host1, TA_STATE: ACTive}
    - {TA_LMID: SITE2, TA_PMID: host2, TA_STATE: ACTive}
  T_GROUP:
    - {TA_SRVGRP: GRP1, TA_GRPNO: 1, TA_LMID: SITE1, TA_STATE: ACTive}
  T_SERVER:
    - {TA_SERVERNAME: /srv/bin/SRV1, TA_SRVGRP: GRP1, TA_SRVID: 1, TA_STATE: ACTive}
  T_QUEUE:
    - {TA_RQADDR: "Q_ADDRESS_THAT_IS_MUCH_TOO_LONG_FOR_ITS_COLUMN", TA_SERVERNAME: /srv/bin/SRV1,
       TA_STATE: ACTive, TA_LMID: SITE1}
  T_SVCGRP:
    - {TA_SERVICENAME: DEPOSIT, TA_SRVGRP: GRP1, TA_LMID: SITE1, TA_STATE: ACTive,
       TA_ROUTINGNAME: ROUTE_FIFTEEN15}
    - {TA_SERVICENAME: WITHDRAW, TA_SRVGRP: GRP1, TA_LMID: SITE1, TA_STATE: ACTive}
    - {TA_SERVICENAME: INQUIRY, TA_SRVGRP: GRP1, TA_LMID: SITE1, TA_STATE: ACTive}
  T_CLIENT:
"""
for n in range(1, 7):
    LAX_DOMAIN += '    - {TA_CLIENTID: "C%d", TA_STATE: ACTive, TA_USRNAME: user%d, TA_LMID: SITE1}\n' % (n, n)


class LaxMib(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zta_lax_")
        self.domain = os.path.join(self.dir, "lax.yaml")
        with open(self.domain, "w") as f:
            f.write(LAX_DOMAIN)
        self.env = dict(os.environ, TUXSIM_DOMAIN=self.domain)
        for name in ("AGW_CONFIG", "TUXSIM_FAULTS", "AGW_OUTPUT", "AGW_HTTP"):
            self.env.pop(name, None)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def rows(self, table):
        p = subprocess.run([QUERY, "--json", table], capture_output=True, text=True, env=self.env, timeout=30)
        self.assertEqual((p.returncode, p.stderr), (0, ""), table)
        return [json.loads(l)["row"] for l in p.stdout.splitlines()]

    def test_ztaquery_gets_every_object_and_whole_values(self):
        clients = self.rows("TXCLIENTS")
        self.assertEqual([r["clientid"] for r in clients][:6], ["C%d" % n for n in range(1, 7)])
        self.assertEqual(len(clients), 7)  # and the agent's own entry
        self.assertEqual([r["username"] for r in clients][:6], ["user%d" % n for n in range(1, 7)])
        domain = self.rows("TXDOMCFG")
        self.assertEqual((domain[0]["modelcfg"], domain[0]["state"], domain[0]["defltnmeth"]),
                         ("SHM", "INActive", "SIGNAL"))
        services = self.rows("TXSVCGRP")
        self.assertEqual([r["servicenm"] for r in services], ["DEPOSIT", "WITHDRAW", "INQUIRY"])
        self.assertEqual(services[0]["routingnm"], "ROUTE_FIFTEEN15")
        # Refused by the view conversion: the queue keeps its row, its address
        # cut to the column.
        self.assertEqual([r["rqaddr"] for r in self.rows("TXSVRQ")], ["Q_ADDRESS_THAT_IS_MUCH_TOO_LON"])

    def test_ztaquery_fails_in_one_line_on_walks_without_progress_and_refused_classes(self):
        # The rows read before the walk stopped are shown.
        cases = [
            ("TXSERVER", "ztaquery: TXSERVER: T_SERVER: the walk makes no progress: call 1 answered no object", ""),
                        ("TXMCONF", "ztaquery: TXMCONF: T_MACHINE: the walk makes no progress: 18 calls, the most its first "
                        "reply allows, and TA_MORE is still 1", "TXMCONF: 18 rows\n"),
            ("TXSVRGRP", 'ztaquery: TXSVRGRP: the MIB call failed: TPESVCFAIL - application level service failure '
                         '(TA_ERROR -9 TAESUPPORT, TA_STATUS "Unsupported class [T_GROUP]")', ""),
        ]
        for table, says, shows in cases:
            start = time.monotonic()
            p = subprocess.run([QUERY, table], capture_output=True, text=True, env=self.env, timeout=30)
            self.assertLess(time.monotonic() - start, 2, table)
            self.assertEqual(p.returncode, 1, p.stderr)
            self.assertEqual(len(p.stderr.splitlines()), 1, p.stderr)
            self.assertTrue(p.stderr.startswith(says), p.stderr)
            self.assertTrue(p.stdout.startswith(shows) and bool(p.stdout) == bool(shows), p.stdout)

    def test_the_agent_keeps_sampling_its_other_tables_behind_an_endless_walk(self):
        config = os.path.join(self.dir, "requests.yaml")
        with open(config, "w") as f:
            f.write("requests:\n"
                    "  - {name: TXSERVER, table: TXSERVER, interval: 1}\n"
                    "  - {name: TXCLIENTS, table: TXCLIENTS, interval: 1}\n")
        out = os.path.join(self.dir, "rows.jsonl")
        env = dict(self.env, AGW_CONFIG=config, AGW_OUTPUT=out)
        with open(os.path.join(self.dir, "agent.err"), "w+") as err:
            p = subprocess.Popen([AGENT], env=env, stdout=subprocess.DEVNULL, stderr=err)
            try:
                samples = set()
                deadline = time.time() + 15
                while time.time() < deadline and len(samples) < 3:
                    time.sleep(0.2)
                    if os.path.exists(out):
                        with open(out) as f:
                            rows = [r for r in (json.loads(l) for l in f if l.endswith("\n")) if r.get("row")]
                        samples = {r["row"]["sampleno"] for r in rows if r.get("table") == "TXCLIENTS"}
                self.assertGreaterEqual(len(samples), 3, "TXCLIENTS was not sampled again")
                self.assertEqual(sum(1 for r in rows if r.get("table") == "TXCLIENTS"
                                     and r["row"]["sampleno"] == min(samples)), 7)
                self.assertIsNone(p.poll())
            finally:
                p.send_signal(signal.SIGTERM)
                p.wait(10)
            err.seek(0)
            said = err.read()
        self.assertEqual(p.returncode, 0)
        self.assertIn("T_SERVER: the walk makes no progress", said)


# One queue space holding more messages than one MIB reply carries, and a
# second, empty one.
QUEUE_DOMAIN = """
classes:
  T_MACHINE:
    - {TA_LMID: SITE1, TA_PMID: host1, TA_STATE: ACTive}
  T_APPQSPACE:
    - {TA_APPQSPACENAME: QS1, TA_QMCONFIG: /q/dev, TA_LMID: SITE1, TA_STATE: ACTive}
    - {TA_APPQSPACENAME: QS2, TA_QMCONFIG: /q/dev, TA_LMID: SITE1, TA_STATE: ACTive}
  T_APPQ:
    - {TA_APPQNAME: ORDERS, TA_APPQSPACENAME: QS1, TA_QMCONFIG: /q/dev, TA_LMID: SITE1, TA_STATE: VALid}
    - {TA_APPQNAME: OTHER, TA_APPQSPACENAME: QS2, TA_QMCONFIG: /q/dev, TA_LMID: SITE1, TA_STATE: VALid}
  T_APPQMSG:
""" + "".join('    - {TA_APPQMSGID: "0x%04x", TA_APPQNAME: ORDERS, TA_APPQSPACENAME: QS1, TA_QMCONFIG: /q/dev,'
              ' TA_LMID: SITE1, TA_STATE: VALid}\n' % n for n in range(100))


class QueueSpaces(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zta_queues_")
        self.domain = os.path.join(self.dir, "queues.yaml")
        with open(self.domain, "w") as f:
            f.write(QUEUE_DOMAIN)
        self.env = dict(os.environ, TUXSIM_DOMAIN=self.domain, TXQMCONFIG="/q/dev", TXLMID="SITE1")
        for name in ("AGW_CONFIG", "TUXSIM_FAULTS", "AGW_OUTPUT", "AGW_HTTP"):
            self.env.pop(name, None)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_every_message_of_a_space_and_the_spaces_after_a_refused_one(self):
        p = subprocess.run([QUERY, "--json", "TXQMSG"], capture_output=True, text=True, timeout=30,
                           env=dict(self.env, TXAPPQSPACENAME="QS1;"))
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        ids = [json.loads(l)["row"]["appqmsgid"] for l in p.stdout.splitlines()]
        self.assertEqual(sorted(ids), ["0x%04x" % n for n in range(100)])

        # The agent: the refused space is named once per sample, the others
        # are read, and the agent stays joined.
        out = os.path.join(self.dir, "rows.jsonl")
        config = os.path.join(self.dir, "requests.yaml")
        with open(config, "w") as f:
            f.write("requests:\n  - {name: TXAPPQ, table: TXAPPQ, interval: 1}\n")
        env = dict(self.env, TXAPPQSPACENAME="NOSUCH;QS1;QS2;", AGW_CONFIG=config, AGW_OUTPUT=out)
        with open(os.path.join(self.dir, "agent.err"), "w+") as err:
            agent = subprocess.Popen([AGENT], env=env, stdout=subprocess.DEVNULL, stderr=err)
            try:
                deadline = time.time() + 15
                rows = []
                while time.time() < deadline and len({r["row"]["sampleno"] for r in rows}) < 3:
                    time.sleep(0.2)
                    if os.path.exists(out):
                        with open(out) as f:
                            rows = [json.loads(l) for l in f if l.endswith("\n") and l.startswith('{"table":"TXAPPQ"')]
            finally:
                agent.send_signal(signal.SIGTERM)
                agent.wait(10)
            err.seek(0)
            said = err.read()
        first = [r["row"]["appqnm"] for r in rows if r["row"]["sampleno"] == 1]
        self.assertEqual(sorted(first), ["ORDERS", "OTHER"])
        self.assertEqual(said.count("has joined the Application successfully"), 1, said)
        self.assertIn("queue space NOSUCH (/q/dev, SITE1) refused", said)


# Many clients, replies of up to 500 objects.
def clients_domain(n):
    return "batch: 500\nclasses:\n  T_MACHINE: [{TA_LMID: SITE1, TA_PMID: host1}]\n  T_CLIENT:\n" + "".join(
        '    - {TA_CLIENTID: "C%05d", TA_STATE: ACTive, TA_USRNAME: user%d, TA_LMID: SITE1, TA_WSC: %s}\n'
        % (i, i, "Y" if i % 3 else "N") for i in range(n))


class ManyObjectsPerCall(unittest.TestCase):
    def test_two_hundred_clients_per_call_give_every_client_in_a_few_calls(self):
        workdir = tempfile.mkdtemp(prefix="zta_occurs_")
        try:
            domain = os.path.join(workdir, "clients.yaml")
            with open(domain, "w") as f:
                f.write(clients_domain(5000))
            env = dict(os.environ, TUXSIM_DOMAIN=domain)
            for name in ("AGW_CONFIG", "TUXSIM_FAULTS", "AGW_OUTPUT", "AGW_HTTP", "TUXSIM_RECORD"):
                env.pop(name, None)

            def query(*args):
                record = os.path.join(workdir, "record-%d" % len(os.listdir(workdir)))
                p = subprocess.run([QUERY, "--json"] + list(args) + ["TXCLIENTS"], capture_output=True, text=True,
                                   timeout=60, env=dict(env, TUXSIM_RECORD=record))
                self.assertEqual((p.returncode, p.stderr), (0, ""), args)
                with open(record) as f:
                    calls = [l for l in f if "\tclass=T_CLIENT\t" in l]
                rows = [json.loads(l)["row"] for l in p.stdout.splitlines()]
                for r in rows:  # the stamps of the calls differ; the rows do not
                    del r["samp_tm"]
                return rows, calls

            many, calls = query("--occurs", "200")
            self.assertEqual([r["clientid"] for r in many][:5000], ["C%05d" % i for i in range(5000)])
            self.assertEqual(len(many), 5001)  # and ztaquery's own entry
            self.assertLessEqual(len(calls), 30)
            self.assertTrue(all("\toccurs=200\t" in c for c in calls), calls[:2])
            one, calls = query()
            self.assertEqual(len(calls), 5001)
            self.assertEqual(many[:5000], one[:5000])
        finally:
            shutil.rmtree(workdir, ignore_errors=True)


class Install(unittest.TestCase):
    def test_the_installed_tree_holds_binaries_views_unit_and_settings_and_the_unit_verifies(self):
        root = tempfile.mkdtemp(prefix="zta_install_")
        try:
            p = subprocess.run(["cmake", "--install", BUILD], env=dict(os.environ, DESTDIR=root),
                               capture_output=True, text=True, timeout=120)
            self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
            files = {os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs}
            unit = [f for f in files if f.endswith("lib/systemd/system/ztaagent.service")]
            self.assertEqual(len(unit), 1, files)
            prefix = unit[0][: -len("lib/systemd/system/ztaagent.service")]
            for f in ("bin/ztaagent", "bin/ztaquery", "share/ztaagent/views/txview01",
                      "share/ztaagent/views/txview15", "share/doc/ztaagent/requests.example.yaml"):
                self.assertIn(prefix + f, files)
            self.assertIn("etc/default/ztaagent", files)
            with open(os.path.join(root, unit[0])) as f:
                text = f.read()
            for line in ("User=ztaagent", "EnvironmentFile=-/etc/default/ztaagent", "Restart=on-failure",
                         "KillSignal=SIGTERM", "ExecStart=/" + prefix + "bin/ztaagent"):
                self.assertIn(line + "\n", text)
            with open(os.path.join(root, "etc/default/ztaagent")) as f:
                settings = f.read()
            self.assertIn("\nAGW_HTTP=:9464\n", settings)
            if "FLDTBLDIR32=/" + prefix + "share/ztaagent/fields" in settings:  # a stand-in build
                self.assertIn(prefix + "share/ztaagent/fields/tpadm", files)
            if shutil.which("systemd-analyze"):
                # Verified as installed, with ExecStart pointing into the tree.
                local = os.path.join(root, "ztaagent.service")
                with open(local, "w") as f:
                    f.write(text.replace("ExecStart=/", "ExecStart=" + root + "/"))
                v = subprocess.run(["systemd-analyze", "verify", local], capture_output=True, text=True, timeout=60)
                self.assertEqual(v.returncode, 0, v.stdout + v.stderr)
        finally:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
