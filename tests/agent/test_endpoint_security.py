"""The agent's metrics endpoint as an operator meets it, on loopback against
the stand-in's demo domain: TLS, client certificates and basic authentication
from a web configuration file (curl, a real Prometheus), its paths and
methods, readiness, IPv6, and scrapes that stay quick beside idle
connections, clients that never read and many scrapers at once.

Run by ctest: python3 test_endpoint_security.py BUILD_DIR
"""
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest
import urllib.parse
import urllib.request

from agent_processes import ProcessTest, served_table_names

BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build")
AGENT = os.path.join(BUILD, "ztaagent")
QUERY = os.path.join(BUILD, "ztaquery")
LISTENING = re.compile(r"metrics at (https?://\S+)/metrics")
SERIES = re.compile(r"^(\w+)\{([^}]*)\} (\S+)$", re.M)


def have_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def series(text, name):
    """{labels: value} of one series name in an exposition."""
    return {m.group(2): float(m.group(3)) for m in SERIES.finditer(text) if m.group(1) == name}


@unittest.skipUnless(shutil.which("curl") and shutil.which("openssl"),
                     "curl and openssl are needed (scripts/bootstrap installs them)")
class Endpoint(ProcessTest):
    prefix = "zta_endpoint_"

    def setUp(self):
        super().setUp()
        self.env = dict(os.environ, AGW_OUTPUT="/dev/null")
        for name in ("AGW_CONFIG", "TUXSIM_FAULTS", "AGW_HTTP", "TUXSIM_DOMAIN", "AGW_WEB_CONFIG"):
            self.env.pop(name, None)

    def run_quiet(self, *command):
        subprocess.run(command, cwd=self.dir, check=True, capture_output=True, timeout=30)

    def certificate(self, name, ca=None):
        """name.crt and name.key: self-signed for 127.0.0.1, or signed by the CA `ca`."""
        if ca is None:
            self.run_quiet("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                           "-nodes", "-keyout", name + ".key", "-out", name + ".crt", "-days", "1",
                           "-subj", "/CN=" + name, "-addext", "subjectAltName=IP:127.0.0.1")
        else:
            self.run_quiet("openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                           "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name)
            self.run_quiet("openssl", "x509", "-req", "-in", name + ".csr", "-CA", ca + ".crt", "-CAkey", ca + ".key",
                           "-CAcreateserial", "-out", name + ".crt", "-days", "1")

    def bcrypt(self, user, password):
        if not shutil.which("htpasswd"):
            self.skipTest("htpasswd is not installed (apache2-utils; scripts/bootstrap installs it)")
        out = subprocess.run(["htpasswd", "-nbBC", "5", user, password], capture_output=True, text=True,
                             check=True).stdout
        return out.strip().split(":", 1)[1]

    def start(self, **env):
        """Starts the agent; its base URL once it says where it listens."""
        err = self.open("agent%d.err" % len(self.procs), "w+")
        p = subprocess.Popen([AGENT], env=dict(self.env, **env), cwd=self.dir, stdout=subprocess.DEVNULL, stderr=err)
        self.procs.append(p)
        deadline = time.time() + 10
        while time.time() < deadline:
            err.seek(0)
            m = LISTENING.search(err.read())
            if m:
                return m.group(1)
            self.assertIsNone(p.poll(), "the agent ended early")
            time.sleep(0.05)
        self.fail("the agent did not say where its metrics are")

    def curl(self, url, *args):
        """(status code, body, headers) of one curl request; code 0 when it failed."""
        body, head = self.path("curl.body"), self.path("curl.head")
        for f in (body, head):
            if os.path.exists(f):
                os.remove(f)
        p = subprocess.run(["curl", "-s", "-g", "--max-time", "10", "-o", body, "-D", head, "-w", "%{http_code}",
                            *args, url], capture_output=True, text=True, timeout=20)

        def read(f):
            if not os.path.exists(f):
                return ""
            with open(f, errors="replace") as text:
                return text.read()
        code = int(p.stdout or 0) if p.returncode == 0 else 0
        return code, read(body), read(head)

    def tls_config(self, extra=""):
        self.certificate("server")
        hashed = self.bcrypt("scraper", "s3cret")
        return self.write("web.yml", "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n" + extra +
                          "basic_auth_users:\n  scraper: '%s'\n" % hashed)

    # ---- TLS and authentication ---------------------------------------------

    def test_tls_with_basic_auth_guards_every_path_and_refuses_plain_http_and_old_versions(self):
        base = self.start(AGW_HTTP="127.0.0.1:0",
                          AGW_WEB_CONFIG=self.tls_config("  min_version: TLS13\n"))
        self.assertTrue(base.startswith("https://127.0.0.1:"), base)
        code, body, head = self.curl(base + "/metrics", "-k", "-u", "scraper:s3cret")
        self.assertEqual(code, 200)
        self.assertIn("\ntuxedo_agent_joined{", body)
        self.assertIn("content-type: text/plain; version=0.0.4; charset=utf-8", head.lower())
        for path in ("/metrics", "/", "/-/healthy", "/-/ready", "/nowhere"):
            for login in ([], ["-u", "scraper:wrong"], ["-u", "other:s3cret"]):
                code, _, head = self.curl(base + path, "-k", *login)
                self.assertEqual(code, 401, (path, login))
                self.assertIn('www-authenticate: basic realm="ztaagent"', head.lower())
        self.assertEqual(self.curl(base.replace("https:", "http:") + "/metrics", "-u", "scraper:s3cret")[0], 0)
        self.assertEqual(self.curl(base + "/metrics", "-k", "--tls-max", "1.2", "-u", "scraper:s3cret")[0], 0)

    def test_a_required_client_certificate_is_verified_against_the_client_ca(self):
        self.certificate("server")
        self.certificate("ca")
        self.certificate("client", ca="ca")
        self.certificate("stranger")
        web = self.write("web.yml", "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
                                    "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: ca.crt\n")
        base = self.start(AGW_HTTP="127.0.0.1:0", AGW_WEB_CONFIG=web)
        key = lambda name: ["--cert", self.path(name + ".crt"), "--key", self.path(name + ".key")]
        code, body, _ = self.curl(base + "/metrics", "-k", *key("client"))
        self.assertEqual(code, 200)
        self.assertIn("tuxedo_", body)
        self.assertEqual(self.curl(base + "/metrics", "-k")[0], 403)
        self.assertEqual(self.curl(base + "/metrics", "-k", *key("stranger"))[0], 403)
        # ztaquery presents one too.
        base = self.start(AGW_HTTP="127.0.0.1:0", AGW_WEB_CONFIG=web, AGW_CONFIG=self.rows_config())
        p = self.query(base, "--insecure", *key("client"))
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        self.assertEqual(self.query(base, "--insecure").returncode, 1)

    def rows_config(self):
        return self.write("requests.yaml", "metrics: {rows_endpoint: true}\n"
                                           "requests:\n  - {name: SERVERS, table: TXSERVER, interval: 1}\n")

    def query(self, base, *args, **env):
        """ztaquery --agent base --json ... TXSERVER, once the agent has a
        complete sample (503 until then)."""
        deadline = time.time() + 10
        while True:
            p = subprocess.run([QUERY, "--agent", base, "--json", *args, "TXSERVER"], capture_output=True, text=True,
                               timeout=30, env=dict(self.env, **env))
            if "no complete sample" not in p.stderr or time.time() > deadline:
                return p
            time.sleep(0.2)

    def test_ztaquery_trusts_a_ca_file_and_takes_the_password_from_a_file_or_the_environment(self):
        base = self.start(AGW_HTTP="127.0.0.1:0", AGW_WEB_CONFIG=self.tls_config(), AGW_CONFIG=self.rows_config())
        password = self.write("password", "s3cret\n")
        os.chmod(password, 0o600)
        trusted = ("--cacert", self.path("server.crt"), "--user", "scraper")
        for args, env in (((*trusted, "--password-file", password), {}), (trusted, {"ZTAQUERY_PASSWORD": "s3cret"})):
            p = self.query(base, *args, **env)
            self.assertEqual((p.returncode, p.stderr), (0, ""), args)
            self.assertTrue(all(json.loads(l)["table"] == "TXSERVER" for l in p.stdout.splitlines()), p.stdout)
        # Each refusal in one line: an untrusted certificate, a wrong
        # password, a password on the command line, a file others may read.
        os.chmod(password, 0o644)
        for args, env, status in ((trusted[2:], {"ZTAQUERY_PASSWORD": "s3cret"}, 1),
                                  (trusted, {"ZTAQUERY_PASSWORD": "guess"}, 1),
                                  (("--cacert", self.path("server.crt"), "--user", "scraper:s3cret"), {}, 2),
                                  ((*trusted, "--password-file", password), {}, 2)):
            p = self.query(base, *args, **env)
            self.assertEqual((p.returncode, p.stdout, len(p.stderr.splitlines())), (status, "", 1), (args, p.stderr))
            self.assertNotIn("s3cret", p.stderr)

    def test_sighup_serves_a_renewed_certificate_and_the_new_users_and_keeps_a_broken_configuration_out(self):
        web = self.tls_config()
        base = self.start(AGW_HTTP="127.0.0.1:0", AGW_WEB_CONFIG=web)
        agent = self.procs[-1]
        old = ["--cacert", self.path("old.crt")]
        os.rename(self.path("server.crt"), self.path("old.crt"))
        self.certificate("server")  # renewed, at the same names
        self.write("web.yml", "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
                              "basic_auth_users:\n  reader: '%s'\n" % self.bcrypt("reader", "n3w"))
        self.assertEqual(self.curl(base + "/metrics", *old, "-u", "scraper:s3cret")[0], 200)
        agent.send_signal(signal.SIGHUP)
        new = ["--cacert", self.path("server.crt")]
        deadline = time.time() + 10
        while time.time() < deadline and self.curl(base + "/-/healthy", *new, "-u", "reader:n3w")[0] != 200:
            time.sleep(0.1)
        self.assertEqual(self.curl(base + "/metrics", *new, "-u", "reader:n3w")[0], 200)
        self.assertEqual(self.curl(base + "/metrics", *new, "-u", "scraper:s3cret")[0], 401)
        self.assertEqual(self.curl(base + "/metrics", *old, "-u", "reader:n3w")[0], 0)  # the old certificate is gone
        # A web configuration that cannot be served changes nothing.
        self.write("web.yml", "tls_server_config:\n  cert_file: server.crt\n  key_file: gone.key\n")
        agent.send_signal(signal.SIGHUP)
        err = self.files[-1]
        deadline = time.time() + 10
        while time.time() < deadline and err.seek(0) == 0 and "not reloaded" not in err.read():
            time.sleep(0.1)
        self.assertEqual(self.curl(base + "/metrics", *new, "-u", "reader:n3w")[0], 200)
        err.seek(0)
        refused = [l for l in err.read().splitlines() if "not reloaded" in l]
        self.assertEqual(len(refused), 1)
        self.assertIn('key_file "gone.key": cannot read', refused[0])

    @unittest.skipUnless(shutil.which("prometheus"), "prometheus is not installed (scripts/bootstrap installs it)")
    def test_prometheus_scrapes_over_tls_with_the_right_password_only(self):
        base = self.start(AGW_HTTP="127.0.0.1:0", AGW_WEB_CONFIG=self.tls_config())
        target = urllib.parse.urlparse(base).netloc
        job = ("  - job_name: %s\n    scheme: https\n    tls_config: {%s}\n"
               "    basic_auth: {username: scraper, password: %s}\n    static_configs: [{targets: ['%s']}]\n")
        scrape = self.write("prometheus.yml", "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                                              "scrape_configs:\n" +
                            job % ("right", "ca_file: server.crt", "s3cret", target) +
                            job % ("wrong", "insecure_skip_verify: true", "guess", target))
        port = free_port()
        log = self.open("prometheus.log", "w")
        self.procs.append(subprocess.Popen(
            ["prometheus", "--config.file=" + scrape, "--storage.tsdb.path=" + self.path("tsdb"),
             "--web.listen-address=127.0.0.1:%d" % port], stdout=log, stderr=log, cwd=self.dir))

        def up():
            query = "http://127.0.0.1:%d/api/v1/query?query=up" % port
            try:
                with urllib.request.urlopen(query, timeout=5) as reply:
                    result = json.loads(reply.read())["data"]["result"]
            except OSError:
                return {}
            return {r["metric"]["job"]: float(r["value"][1]) for r in result}

        deadline = time.time() + 60
        while time.time() < deadline and len(up()) < 2:
            time.sleep(0.5)
        self.assertEqual(up(), {"right": 1.0, "wrong": 0.0})

    def test_a_bad_web_configuration_stops_the_agent_in_one_line_and_the_environment_wins(self):
        self.certificate("server")
        self.write("missing.yml", "tls_server_config:\n  cert_file: nowhere.crt\n  key_file: server.key\n")
        self.write("typo.yml", "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
                               "  min_version: TLS9\n")
        self.write("good.yml", "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n")
        requests = self.write("requests.yaml", "web_config: missing.yml\n"
                                               "requests:\n  - {name: TXDOMCFG, table: TXDOMCFG, interval: 30}\n")
        for env, expected in (({"AGW_CONFIG": requests}, "missing.yml:2: tls_server_config: cert_file \"nowhere.crt\""),
                              ({"AGW_WEB_CONFIG": self.path("typo.yml")}, "typo.yml:4: tls_server_config: min_version")):
            # web_config names a file beside the request file, wherever the agent runs.
            p = subprocess.run([AGENT], env=dict(self.env, AGW_HTTP="127.0.0.1:0", AGW_OUTPUT="-", **env),
                               cwd="/", capture_output=True, text=True, timeout=30)
            self.assertEqual(p.returncode, 2, p.stderr)
            lines = [l for l in p.stderr.splitlines() if l.startswith("agwmain:")]
            self.assertEqual(len(lines), 1, p.stderr)
            self.assertIn(expected, lines[0])
            self.assertNotIn('"table":', p.stdout)
        base = self.start(AGW_HTTP="127.0.0.1:0", AGW_CONFIG=requests, AGW_WEB_CONFIG="good.yml")
        self.assertEqual(self.curl(base + "/-/healthy", "-k")[0], 200)

    # ---- paths, methods, readiness ---------------------------------------------

    def test_paths_methods_and_readiness(self):
        # A domain the agent cannot join: alive, not ready.
        base = self.start(AGW_HTTP="127.0.0.1:0", TUXSIM_FAULTS="down:60")
        self.assertEqual(self.curl(base + "/-/healthy")[:2], (200, "OK\n"))
        code, reason, _ = self.curl(base + "/-/ready")
        self.assertEqual(code, 503)
        self.assertRegex(reason, r"\w")

        base = self.start(AGW_HTTP="127.0.0.1:0")
        deadline = time.time() + 10
        while time.time() < deadline and self.curl(base + "/-/ready")[0] != 200:
            time.sleep(0.1)
        self.assertEqual(self.curl(base + "/-/ready")[:2], (200, "OK\n"))
        code, page, head = self.curl(base + "/")
        self.assertEqual(code, 200)
        self.assertIn('href="/metrics"', page)
        self.assertIn("content-type: text/html", head.lower())
        self.assertEqual(self.curl(base + "/nowhere")[0], 404)
        code, _, head = self.curl(base + "/metrics", "-X", "POST", "-d", "x=1")
        self.assertEqual(code, 405)
        self.assertIn("allow: get, head", head.lower())
        address = urllib.parse.urlparse(base)
        connection = http.client.HTTPConnection(address.hostname, address.port, timeout=5)
        connection.request("HEAD", "/metrics")
        reply = connection.getresponse()
        self.assertEqual(reply.status, 200)
        self.assertGreater(int(reply.getheader("Content-Length")), 0)
        self.assertEqual(reply.read(), b"")
        connection.close()

    @unittest.skipUnless(have_ipv6_loopback(), "this machine has no ::1")
    def test_ipv6_loopback(self):
        base = self.start(AGW_HTTP="[::1]:0")
        self.assertTrue(base.startswith("http://[::1]:"), base)
        code, body, _ = self.curl(base + "/metrics")
        self.assertEqual(code, 200)
        self.assertIn("tuxedo_", body)

    # ---- load -------------------------------------------------------------------

    def test_scrapes_stay_quick_beside_idle_and_non_reading_clients_and_many_scrapers(self):
        tables = served_table_names(QUERY)
        requests = self.write("requests.yaml", "requests:\n" + "".join(
            "  - {name: %s, table: %s, interval: 1}\n" % (t, t) for t in tables))
        base = self.start(AGW_HTTP="127.0.0.1:0", AGW_CONFIG=requests)
        address = urllib.parse.urlparse(base)
        target = (address.hostname, address.port)

        def scrape():
            connection = http.client.HTTPConnection(*target, timeout=5)
            connection.request("GET", "/metrics")
            reply = connection.getresponse()
            text = reply.read().decode()
            connection.close()
            return reply.status, text

        idle = []
        try:
            for i in range(200):
                s = socket.create_connection(target, timeout=5)
                if i % 10 == 0:  # asks, and never reads the answer
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                    s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n" * 8)
                idle.append(s)
            started = time.time()
            status, _ = scrape()
            self.assertEqual(status, 200)
            self.assertLess(time.time() - started, 1.0)
            # The silent ones are closed by the server after its timeout.
            idle[1].settimeout(10)
            self.assertEqual(idle[1].recv(1), b"")
        finally:
            for s in idle:
                s.close()

        # 40 scrapers at once for a few seconds while every table is sampled
        # every second: every scrape answered, and the samples keep their pace.
        before = series(scrape()[1], "tuxedo_agent_last_complete_sample_timestamp_seconds")
        self.assertTrue(before)
        failures, counts, stop = [], [0] * 40, time.time() + 4

        def scraper(n):
            try:
                while time.time() < stop:
                    status, text = scrape()
                    if status != 200 or "tuxedo_agent_joined" not in text:
                        failures.append(status)
                    counts[n] += 1
            except OSError as e:
                failures.append(repr(e))

        threads = [threading.Thread(target=scraper, args=(n,)) for n in range(40)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        self.assertEqual(failures, [])
        self.assertTrue(all(counts), counts)
        text = scrape()[1]
        after = series(text, "tuxedo_agent_last_complete_sample_timestamp_seconds")
        for labels, when in before.items():
            self.assertGreaterEqual(after.get(labels, 0) - when, 2.5, labels)
        durations = series(text, "tuxedo_agent_sample_duration_seconds")
        self.assertTrue(durations)
        self.assertLess(max(durations.values()), 0.5, durations)


if __name__ == "__main__":
    unittest.main()
