"""ztaquery end to end against the stand-in: failures told as failures, the
readable table, the installed binary without any environment, and the live
view in a terminal (tmux).

Run by ctest: python3 test_ztaquery.py SOURCE_DIR BUILD_DIR
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

from agent_processes import ProcessTest

SOURCE = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 2 else ".")
BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build")
QUERY = os.path.join(BUILD, "ztaquery")
AGENT = os.path.join(BUILD, "ztaagent")

# Three servers whose request counters move every second, one machine at 7
# of 50 accessers, and a server started at a known moment.
DOMAIN = r"""
activity: {seed: 7, tick: 1}
classes:
  T_DOMAIN:
    - {TA_DOMAINID: QDOM, TA_MASTER: SITE1, TA_MODEL: SHM, TA_STATE: ACTive}
  T_MACHINE:
    - {TA_LMID: SITE1, TA_PMID: host1, TA_STATE: ACTive, TA_CURACCESSERS: 7, TA_MAXACCESSERS: 50}
  T_GROUP:
    - {TA_SRVGRP: GRP1, TA_GRPNO: 1, TA_LMID: SITE1, TA_STATE: ACTive}
  T_SERVER:
    - {TA_SERVERNAME: /srv/bin/SRVA, TA_SRVGRP: GRP1, TA_GRPNO: 1, TA_SRVID: 1, TA_STATE: ACTive,
       TA_TOTREQC: 100, TA_RQADDR: QA, TA_TIMESTART: 1733716800}
    - {TA_SERVERNAME: /srv/bin/SRVA, TA_SRVGRP: GRP1, TA_GRPNO: 1, TA_SRVID: 2, TA_STATE: SUSpended,
       TA_TOTREQC: 200, TA_RQADDR: QA}
    - {TA_SERVERNAME: /srv/bin/SRVB, TA_SRVGRP: GRP1, TA_GRPNO: 1, TA_SRVID: 3, TA_STATE: ACTive,
       TA_TOTREQC: 300, TA_RQADDR: QB}
"""

TUXEDO_VARIABLES = ("VIEWDIR32", "VIEWFILES32", "FLDTBLDIR32", "FIELDTBLS32", "TUXSIM_DOMAIN", "TUXSIM_FAULTS",
                    "TUXSIM_RECORD", "AGW_TRACE", "AGW_TRACE_FILE")


class QueryTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zta_query_")
        self.domain = os.path.join(self.dir, "domain.yaml")
        with open(self.domain, "w") as f:
            f.write(DOMAIN)
        self.env = {k: v for k, v in os.environ.items() if k not in TUXEDO_VARIABLES}
        self.env.update(TUXSIM_DOMAIN=self.domain, TZ="UTC", COLUMNS="200")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def query(self, *args, **env):
        return subprocess.run([QUERY, *args], capture_output=True, text=True, timeout=30,
                              env=dict(self.env, **env))


class Truth(QueryTest):
    def test_failures_exit_nonzero_in_one_line(self):
        cases = [
            (["TXSERVER"], {"VIEWDIR32": "/nonexistent"}, 1, "ztaquery: TXSERVER: view txview12 cannot be used: ", ""),
            # One object per call: call 2 fails mid-walk, after one row.
            (["TXSERVER"], {"TUXSIM_FAULTS": "tpcall:2:TPESYSTEM"}, 1,
             "ztaquery: TXSERVER: the MIB call failed: TPESYSTEM - internal system error", "TXSERVER: 1 row\n"),
            # The stand-in ends the process in the first join.
            (["TXSERVER"], {"TUXSIM_DOMAIN": "/nonexistent/dom.yaml"}, 2,
             "ztaquery: TXSERVER: the process ended (status 2) inside the sample: /nonexistent/dom.yaml: ", ""),
            (["--bogus", "TXSERVER"], {}, 2, "ztaquery: The following argument was not expected: --bogus", ""),
            (["--watch", "0", "TXSERVER"], {}, 2, "ztaquery: --watch: ", ""),
            (["--where", "STATE", "IS", "x", "TXSERVER"], {}, 2, "ztaquery: --where STATE IS x: expected an operator",
             ""),
            (["--agent", "http://127.0.0.1:1", "--user", "u:p", "TXSERVER"], {}, 2,
             "ztaquery: --user takes the user name only", ""),
        ]
        for args, env, status, says, shows in cases:
            p = self.query(*args, **{"TUXSIM_DOMAIN": os.path.join(SOURCE, "tuxsim/domains/demo.yaml"), **env})
            self.assertEqual(p.returncode, status, (args, p.stderr))
            self.assertEqual(len(p.stderr.splitlines()), 1, p.stderr)
            self.assertTrue(p.stderr.startswith(says), p.stderr)
            self.assertTrue(p.stdout.startswith(shows) and bool(p.stdout) == bool(shows), p.stdout)

    def test_standard_output_holds_rows_only_and_a_partial_sample_what_it_read(self):
        queues = {"TUXSIM_DOMAIN": os.path.join(SOURCE, "tuxsim/domains/demo.yaml"),
                  "TXAPPQSPACENAME": "QSPACE1;QSPACE2;", "TXLMID": "SITE1;SITE2;",
                  "TXQMCONFIG": "/srv/bank/queues/qdev1;/srv/bank/queues/qdev2;"}
        # TXAPPQ prints each MIB reply as it samples: on standard error with
        # --verbose, else nowhere.
        for verbose in ([], ["--verbose"]):
            p = self.query(*verbose, "--json", "TXAPPQ", **queues)
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual({json.loads(l)["table"] for l in p.stdout.splitlines()}, {"TXAPPQ"})
            self.assertEqual("TA_CURBLOCKS" in p.stderr, bool(verbose), p.stderr)
        # A queue space the MIB refuses, before two it answers.
        p = self.query("--json", "TXQSPCS", **dict(queues, TXAPPQSPACENAME="NOSUCH;QSPACE1;QSPACE2;",
                                                   TXLMID="SITE1;SITE1;SITE2;",
                                                   TXQMCONFIG="/srv/bank/queues/qdev1;" + queues["TXQMCONFIG"]))
        self.assertEqual(p.returncode, 1)
        lines = [json.loads(l) for l in p.stdout.splitlines()]
        self.assertEqual([l["row"]["appspcnm"] for l in lines[:-1]], ["QSPACE1", "QSPACE2"])
        self.assertEqual({k: lines[-1][k] for k in ("sample", "table", "rows", "complete")},
                         {"sample": 1, "table": "TXQSPCS", "rows": 2, "complete": False})
        self.assertIn("queue space NOSUCH", lines[-1]["reason"])
        self.assertEqual(len(p.stderr.splitlines()), 1, p.stderr)
        self.assertIn("queue space NOSUCH", p.stderr)

    def test_no_file_is_left_in_tmpdir_even_when_the_process_ends_mid_sample(self):
        tmp = os.path.join(self.dir, "tmp")
        os.mkdir(tmp)
        broken = os.path.join(self.dir, "broken.yaml")
        with open(broken, "w") as f:
            f.write("classes: {T_NOSUCH: []}\n")
        self.assertEqual(self.query("TXSERVER", TMPDIR=tmp).returncode, 0)
        self.assertEqual(self.query("TXSERVER", TMPDIR=tmp, VIEWDIR32="/nonexistent").returncode, 1)
        # The stand-in ends the process inside the join on a domain file it
        # cannot use.
        self.assertEqual(self.query("TXSERVER", TMPDIR=tmp, TUXSIM_DOMAIN=broken).returncode, 2)
        self.assertEqual(os.listdir(tmp), [])

    def test_the_installed_binary_finds_views_fields_and_domain_without_environment(self):
        # The build records the source tree's folders, then the installed
        # ones. In a mount namespace of its own the test hides the source
        # tree's copies and shows the DESTDIR install where the prefix says.
        if shutil.which("unshare") is None or subprocess.run(["unshare", "-rm", "true"]).returncode != 0:
            self.skipTest("no mount namespace for this user")
        with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
            prefix = re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$", f.read(), re.M).group(1)
        share = os.path.join(prefix, "share")
        if not os.path.isdir(share):
            self.skipTest(share + " is missing")
        root = os.path.join(self.dir, "root")
        p = subprocess.run(["cmake", "--install", BUILD], env=dict(os.environ, DESTDIR=root),
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        script = r"""
            for d in "$1/views" "$1/tuxsim/fields" "$1/tuxsim/domains"; do mount -t tmpfs none "$d" || exit 9; done
            "$2/bin/ztaquery" TXSERVER >/dev/null 2>&1 && { echo "the source tree is still seen"; exit 9; }
            mount -t tmpfs none "$2/share" && mkdir "$2/share/ztaagent" &&
                mount --bind "$3$2/share/ztaagent" "$2/share/ztaagent" || exit 9
            exec "$3$2/bin/ztaquery" TXSERVER
        """
        env = {k: v for k, v in os.environ.items() if k not in TUXEDO_VARIABLES}
        p = subprocess.run(["unshare", "-rm", "sh", "-c", script, "sh", SOURCE, prefix, root],
                           capture_output=True, text=True, timeout=60, env=env)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertRegex(p.stdout, r"^TXSERVER: [1-9]\d* rows\n")


class Readable(QueryTest):
    def setUp(self):
        super().setUp()
        with open(self.domain, "w") as f:  # still: the values are the file's
            f.write(DOMAIN.replace("activity: {seed: 7, tick: 1}\n", ""))

    def test_default_columns_dates_and_percentages_and_json_keeps_stored_values(self):
        p = self.query("TXSERVER")
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        lines = p.stdout.splitlines()
        self.assertEqual(lines[1].split(), ["servernm", "srvgrp", "srvid", "rqaddr", "totreqc", "totworkl",
                                            "currsvc", "state"])
        self.assertEqual(lines[3].split(), ["/srv/bin/SRVA", "GRP1", "1", "QA", "100", "0", "ACTive"])
        for table, heading in [("TXSVCGRP", "servicenm svcgrp lmid state ncompleted nqueued"),
                               ("TXSVRQ", "rqaddr servername servercnt nqueued wkqueued lmid"),
                               ("TXCLIENTS", "lmid username clientname state netaddr"),
                               ("TXULOGS", "ulog_tm lmid ulogprocnm severity ulogmsg"),
                               ("TXSRVSTAT", "srvgrp srvid totreqc totworkl curreq currsvc")]:
            p = self.query(table)
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(p.stdout.splitlines()[1].split(), heading.split(), table)

        # 1733716800 is 2024-12-09 04:00:00 UTC.
        p = self.query("--columns", "srvid,timestart", "TXSERVER")
        self.assertIn("1      2024-12-09 04:00:00\n", p.stdout)
        p = self.query("--raw", "--columns", "srvid,timestart", "TXSERVER")
        self.assertIn("1      1241209040000000\n", p.stdout)
        p = self.query("--columns", "lmid,pctaccess", "TXMSTATS")
        self.assertIn("SITE1  14.0%\n", p.stdout)
        p = self.query("--json", "TXMSTATS")
        self.assertIn('"pctaccess":1400,', p.stdout)

    def test_where_matches_text_ignoring_case_and_list_shows_one_table(self):
        p = self.query("--where", "STATE", "~=", "active", "--columns", "srvid,state", "TXSERVER")
        self.assertEqual(p.stdout.splitlines()[3:], ["1      ACTive", "3      ACTive"])
        p = self.query("--where", "STATE", "EQ", "active", "TXSERVER")
        self.assertTrue(p.stdout.startswith("TXSERVER: 0 rows\n"), p.stdout)
        p = self.query("--list", "txserver")
        self.assertEqual(p.returncode, 0)
        self.assertEqual([l.split()[0] for l in p.stdout.splitlines() if not l.startswith(" ")], ["TXSERVER"])


class OneDomain(QueryTest):
    def test_two_processes_sampling_in_the_same_second_see_the_same_counters(self):
        demo = os.path.join(SOURCE, "tuxsim/domains/demo.yaml")
        still = os.path.join(self.dir, "still.yaml")
        with open(demo) as f, open(still, "w") as out:
            out.write(re.sub(r"^activity:\n(?:[ #].*\n)*", "", f.read(), flags=re.M))

        def totreqc(*runs):
            rows = [[json.loads(l)["row"] for l in p.communicate(timeout=30)[0].splitlines()] for p in runs]
            return ({r["timestamp"][:13] for rs in rows for r in rs},
                    [{(r["srvgrp"], r["srvid"]): r["totreqc"] for r in rs} for rs in rows])

        def sample(domain):
            return subprocess.Popen([QUERY, "--json", "TXSRVSTAT"], stdout=subprocess.PIPE, text=True,
                                    env=dict(self.env, TUXSIM_DOMAIN=domain))
        for _ in range(5):
            time.sleep(1.02 - time.time() % 1)  # early in a second, so that both sample in it
            seconds, counts = totreqc(sample(demo), sample(demo))
            if len(seconds) == 1:
                break
        self.assertEqual(len(seconds), 1, "never sampled in one second")
        self.assertEqual(len(counts[0]), 45)
        self.assertEqual(counts[0], counts[1])
        # Moved on from the file's values, not merely both at the start.
        self.assertNotEqual(counts[0], totreqc(sample(still))[1][0])


@unittest.skipIf(shutil.which("tmux") is None, "tmux is missing")
class LiveView(QueryTest):
    def setUp(self):
        super().setUp()
        self.socket = "zta_query_%d_%s" % (os.getpid(), os.path.basename(self.dir))

    def tearDown(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)
        super().tearDown()

    def screen(self):
        return subprocess.run(["tmux", "-L", self.socket, "capture-pane", "-p"], capture_output=True,
                              text=True).stdout

    def wait_for(self, ready, seconds):
        deadline, text = time.monotonic() + seconds, ""
        while time.monotonic() < deadline:
            text = self.screen()
            if ready(text):
                return text
            time.sleep(0.1)
        self.fail("never shown:\n" + text)

    def test_screens_rates_resize_and_q_with_one_join(self):
        err, status = os.path.join(self.dir, "stderr"), os.path.join(self.dir, "status")
        command = "env TUXSIM_DOMAIN='%s' '%s' --watch 1 TXSERVER 2>'%s'; echo $? >'%s'" % (
            self.domain, QUERY, err, status)
        subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null", "new-session", "-d", "-x", "120", "-y", "40",
                        command], check=True, env=self.env, timeout=10)
        first = self.wait_for(lambda s: "TXSERVER: 3 rows" in s, 2)
        self.assertRegex(first, r"sampled \d{4}-\d\d-\d\d \d\d:\d\d:\d\d")
        self.assertIn("totreqc/s", first)
        # Requests per second once a second sample is there; the busiest first.
        rates = []

        def moved(text):
            rates[:] = [float(m) for m in re.findall(r"^/srv/bin/SRV\w +GRP1 +\d +Q\w +(\d+\.\d) ", text, re.M)]
            return len(rates) == 3 and any(rates)
        self.wait_for(moved, 6)
        self.assertEqual(rates, sorted(rates, reverse=True))

        subprocess.run(["tmux", "-L", self.socket, "resize-window", "-x", "60", "-y", "12"], check=True)
        small = self.wait_for(lambda s: "TXSERVER: 3 rows" in s and len(s.splitlines()[0]) <= 60, 3)
        self.assertTrue(all(len(l) <= 60 for l in small.splitlines()), small)

        subprocess.run(["tmux", "-L", self.socket, "send-keys", "q"], check=True)
        deadline = time.monotonic() + 5
        while not os.path.exists(status) and time.monotonic() < deadline:
            time.sleep(0.1)
        with open(status) as f:
            self.assertEqual(f.read().strip(), "0")
        with open(err) as f:
            said = f.read()
        self.assertEqual(said.count("TXWATCHER has joined the Application successfully!"), 1, said)
        self.assertEqual(said.count("Logging out of Application"), 1, said)


class FromAgent(ProcessTest):
    prefix = "zta_query_agent_"

    def start(self, rows_endpoint):
        """An agent on the demo domain sampling TXSERVER every second, its
        rows to a file; returns the endpoint's base URL."""
        config = os.path.join(self.dir, "requests.yaml")
        with open(config, "w") as f:
            f.write("metrics: {rows_endpoint: %s}\n" % ("true" if rows_endpoint else "false") +
                    "requests:\n  - {name: SERVERS, table: TXSERVER, interval: 1}\n")
        self.rows = os.path.join(self.dir, "rows.jsonl")
        self.env = {k: v for k, v in os.environ.items() if k not in TUXEDO_VARIABLES + ("AGW_CONFIG", "AGW_HTTP")}
        env = dict(self.env, AGW_CONFIG=config, AGW_HTTP="127.0.0.1:0", AGW_OUTPUT=self.rows)
        return self.start_agent(AGENT, env)[1][:-len("/metrics")]

    def status(self, url):
        try:
            with urllib.request.urlopen(url, timeout=10) as r:
                return r.status, r.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode()

    def delivered(self):
        """The rows of each sample in the output file, by sample number."""
        samples = {}
        with open(self.rows) as f:
            for line in f:
                row = json.loads(line) if line.endswith("\n") else {}
                if "row" in row:
                    samples.setdefault(row["row"]["sampleno"], []).append(line)
        return samples

    def test_json_is_the_last_delivered_sample_without_joining_the_domain(self):
        url = self.start(True)
        deadline = time.monotonic() + 10
        while self.status(url + "/api/v1/rows?request=SERVERS")[0] == 503 and time.monotonic() < deadline:
            time.sleep(0.1)
        listed = [json.loads(l) for l in self.status(url + "/api/v1/requests")[1].splitlines()]
        self.assertEqual([(r["request"], r["table"], r["interval"]) for r in listed], [("SERVERS", "TXSERVER", 1)])
        record = os.path.join(self.dir, "record")
        for _ in range(5):
            p = subprocess.run([QUERY, "--agent", url, "--json", "txserver"], capture_output=True, text=True,
                               timeout=30, env=dict(self.env, TUXSIM_RECORD=record))
            self.assertEqual((p.returncode, p.stderr), (0, ""))
            lines = p.stdout.splitlines(keepends=True)
            self.assertTrue(lines)
            sample = json.loads(lines[0])["row"]["sampleno"]
            # The agent may sample again between the two reads.
            if sample in self.delivered():
                break
            time.sleep(0.3)
        got, want = [json.loads(l) for l in lines], [json.loads(l) for l in self.delivered()[sample]]
        self.assertEqual([r["row"] for r in got], [r["row"] for r in want])
        self.assertEqual({(r["table"], r["request"]) for r in got}, {("TXSERVER", "SERVERS")})
        self.assertFalse(os.path.exists(record) and os.path.getsize(record) > 0, "the tool called the domain")

        # The readable table: the default columns, the companion's blank
        # when the agent does not sample it.
        p = subprocess.run([QUERY, "--agent", url, "TXSERVER"], capture_output=True, text=True, timeout=30,
                           env=dict(self.env, COLUMNS="200"))
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        out = p.stdout.splitlines()
        self.assertEqual(out[0], "TXSERVER: %d rows" % len(got))
        self.assertEqual(out[1].split(), ["servernm", "srvgrp", "srvid", "rqaddr", "totreqc", "totworkl", "currsvc",
                                          "state"])
        first = got[0]["row"]
        self.assertEqual(out[3].split(), [first["servernm"], first["srvgrp"], str(first["srvid"]), first["rqaddr"],
                                          first["state"]])

        self.assertEqual(self.status(url + "/api/v1/rows?request=NOPE")[0], 404)
        p = subprocess.run([QUERY, "--agent", url, "TXQLOAD"], capture_output=True, text=True, timeout=30,
                           env=self.env)
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stderr, "ztaquery: agent %s: the agent has no report request of TXQLOAD\n" % url)

    def test_rows_are_off_unless_asked_for(self):
        url = self.start(False)
        for path in ("/api/v1/rows?request=SERVERS", "/api/v1/requests"):
            self.assertEqual(self.status(url + path), (404, "rows endpoint is off\n"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
