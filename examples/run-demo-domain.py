#!/usr/bin/env python3
"""The whole demo domain in one command, as `make demo-domain` runs it: one
agent for every active machine of the demo domain, each with its metrics
on a port of its own, and a Prometheus (Debian's package) on loopback that
scrapes them all with the shipped rules (monitoring/ztaagent-rules.yml).
It prints the Prometheus address and queries to try, then each alert as it
fires: the suspended server's within two minutes. Ctrl-C (SIGINT) or
SIGTERM stops the agents and Prometheus and removes the temporary folder.

  usage: examples/run-demo-domain.py BUILD_DIR

Ports: the agents from 127.0.0.1:9464 on and Prometheus from 9090 on, each
the next free one when a port is taken.
Environment: DEMO_ALERT_FOR=10s holds every rule's `for:` that long instead
of the shipped minutes (the rules file itself is left alone); DEMO_INTERVAL
is the scrape and rule evaluation interval (default 5s).
"""
import ctypes
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
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DOMAIN = os.path.join(ROOT, "tuxsim", "domains", "demo.yaml")
RULES = os.path.join(ROOT, "monitoring", "ztaagent-rules.yml")
REQUESTS = os.path.join(HERE, "demo-requests.yaml")
DURATION = re.compile(r"^[0-9]+(ms|s|m|h)$")
QUERIES = [
    ("count(up == 1)", "the agents Prometheus reaches"),
    ("sum by (lmid) (rate(tuxedo_server_requests_completed_total[1m]))", "requests completed a second, by machine"),
    ("topk(5, rate(tuxedo_server_requests_completed_total[1m]))", "the five busiest servers"),
    ('tuxedo_server_state{state!="ACTive"} == 1', "servers that do not run as they should"),
    ("ALERTS", "the alerts, pending and firing"),
]


class Stop(Exception):
    """SIGINT or SIGTERM: stop everything."""


class Failed(Exception):
    """Something the demo needs did not start; the message says what."""


def on_signal(signum, frame):
    raise Stop(signum)


def taken(port):
    """True when something listens on 127.0.0.1:port."""
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


def free_port(first):
    for port in range(first, first + 100):
        if not taken(port):
            return port
    raise Failed("no free port from %d to %d" % (first, first + 99))


def end_with_parent():
    # PR_SET_PDEATHSIG: a child gets SIGTERM when this script ends, even when
    # it is killed outright, so nothing it started is left running.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)


def get(url):
    with urllib.request.urlopen(url, timeout=3) as reply:
        return reply.read().decode("utf-8")


def tail(path, lines=15):
    with open(path, errors="replace") as f:
        return "".join(f.readlines()[-lines:])


class Demo:
    def __init__(self, build, tmp):
        self.build, self.tmp, self.procs = build, tmp, []
        self.started = time.monotonic()

    def start(self, name, cmd, env):
        log = os.path.join(self.tmp, name + ".log")
        with open(log, "w") as out:
            p = subprocess.Popen(cmd, env=env, cwd=self.tmp, stdin=subprocess.DEVNULL, stdout=out,
                                 stderr=subprocess.STDOUT, preexec_fn=end_with_parent)
        self.procs.append((name, p, log))
        return p

    def check_alive(self):
        for name, p, log in self.procs:
            if p.poll() is not None:
                raise Failed("%s ended with status %d; its last lines:\n%s" % (name, p.returncode, tail(log)))

    def wait(self, what, ready, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.check_alive()
            if ready():
                return
            time.sleep(0.2)
        raise Failed("%s: not within %d s" % (what, seconds))

    def machines(self):
        """The active machines of the demo domain, as ztaquery reads them."""
        env = dict(os.environ, TUXSIM_DOMAIN=DOMAIN)
        p = subprocess.run([os.path.join(self.build, "ztaquery"), "--json", "--where", "STATE", "EQ", "ACTive",
                            "TXMCONF"], env=env, capture_output=True, text=True, timeout=60)
        if p.returncode != 0:
            raise Failed("ztaquery cannot read the demo domain's machines: " + p.stderr.strip())
        return [json.loads(line)["row"]["lmid"] for line in p.stdout.splitlines()]

    def listen(self, what, first, launch, ready):
        """Starts launch(port) on the first free port from `first` on, and
        on the next one when the port was taken in between (the process
        ends before it is ready); returns the port once ready(port)."""
        port = first
        for _ in range(5):
            port = free_port(port)
            p = launch(port)
            try:
                self.wait("%s at 127.0.0.1:%d" % (what, port), lambda: ready(port), 60)
                return port
            except Failed as e:
                if p.poll() is None:
                    raise
                self.procs = [entry for entry in self.procs if entry[1] is not p]
                ended, port = e, port + 1
        raise ended

    def start_agent(self, lmid, first):
        """An agent on a copy of the demo domain that runs on lmid; returns
        its endpoint's URL."""
        with open(DOMAIN) as f:
            text = re.sub(r"^local_lmid:.*\n", "", f.read(), flags=re.M)
        domain = os.path.join(self.tmp, lmid + ".yaml")
        with open(domain, "w") as f:
            f.write(text + "\nlocal_lmid: %s\n" % lmid)
        env = {k: v for k, v in os.environ.items()
               if k not in ("AGW_WEB_CONFIG", "TUXSIM_FAULTS", "TUXSIM_RECORD", "AGW_TRACE_FILE")}
        env.update(TUXSIM_DOMAIN=domain, AGW_CONFIG=REQUESTS, AGW_OUTPUT="/dev/null")
        log = os.path.join(self.tmp, lmid + ".log")

        def listening(port):
            with open(log, errors="replace") as f:
                return "metrics at http://127.0.0.1:%d/metrics" % port in f.read()
        port = self.listen("the agent of " + lmid, first, lambda port: self.start(
            lmid, [os.path.join(self.build, "ztaagent")], dict(env, AGW_HTTP="127.0.0.1:%d" % port)), listening)
        return "http://127.0.0.1:%d" % port

    def start_prometheus(self, agents, interval, alert_for):
        with open(RULES) as f:
            rules = f.read()
        if alert_for:
            rules = re.sub(r"^(\s+for:\s*)\S+", lambda m: m.group(1) + alert_for, rules, flags=re.M)
        rules_file = os.path.join(self.tmp, "ztaagent-rules.yml")
        with open(rules_file, "w") as f:
            f.write(rules)
        config = os.path.join(self.tmp, "prometheus.yml")
        targets = ", ".join(json.dumps(urllib.parse.urlparse(url).netloc) for _, url in agents)
        with open(config, "w") as f:
            f.write("global: {scrape_interval: %s, evaluation_interval: %s}\n" % (interval, interval) +
                    "rule_files: [%s]\n" % json.dumps(rules_file) +
                    "scrape_configs:\n  - job_name: ztaagent\n    static_configs:\n"
                    "      - targets: [%s]\n" % targets)

        def ready(port):
            try:
                get("http://127.0.0.1:%d/-/ready" % port)
                return True
            except OSError:
                return False
        port = self.listen("Prometheus", 9090, lambda port: self.start(
            "prometheus", [shutil.which("prometheus"), "--config.file=" + config,
                           "--storage.tsdb.path=" + os.path.join(self.tmp, "tsdb"),
                           "--web.listen-address=127.0.0.1:%d" % port], dict(os.environ)), ready)
        return "http://127.0.0.1:%d" % port

    def query(self, prometheus, expr):
        try:
            reply = json.loads(get(prometheus + "/api/v1/query?query=" + urllib.parse.quote(expr)))
            return reply["data"]["result"]
        except (OSError, ValueError, KeyError):
            return []

    def run(self, interval, alert_for):
        agents = []
        for lmid in self.machines():
            first = int(urllib.parse.urlparse(agents[-1][1]).port) + 1 if agents else 9464
            agents.append((lmid, self.start_agent(lmid, first)))
        if not agents:
            raise Failed("the demo domain has no active machine")
        prometheus = self.start_prometheus(agents, interval, alert_for)

        print("Prometheus: %s" % prometheus)
        print("  scraping %s with %s%s" % (", ".join("%s at %s/metrics" % a for a in agents),
                                           os.path.relpath(RULES, ROOT),
                                           " (every for: %s)" % alert_for if alert_for else ""))
        print("Queries to try at %s/graph:" % prometheus)
        width = max(len(q) for q, _ in QUERIES)
        for q, what in QUERIES:
            print("  %-*s  %s" % (width, q, what))
        print("What an agent sampled last: %s --agent %s TXSERVER" %
              (os.path.relpath(os.path.join(self.build, "ztaquery")), agents[0][1]))
        print("Ctrl-C stops the agents and Prometheus.", flush=True)

        def all_up():
            result = self.query(prometheus, "count(up == 1)")
            return bool(result) and float(result[0]["value"][1]) == len(agents)
        self.wait("count(up == 1) reaching %d" % len(agents), all_up, 120)
        print("count(up == 1) is %d: every agent is scraped (%.0f s)" % (len(agents), self.elapsed()),
              flush=True)

        fired = set()
        while True:
            self.check_alive()
            try:
                alerts = json.loads(get(prometheus + "/api/v1/alerts"))["data"]["alerts"]
            except (OSError, ValueError, KeyError):
                alerts = []
            for a in alerts:
                key = json.dumps(a["labels"], sort_keys=True)
                if a["state"] == "firing" and key not in fired:
                    fired.add(key)
                    print("alert firing (%.0f s): %s: %s" % (self.elapsed(), a["labels"].get("alertname", ""),
                                                             a.get("annotations", {}).get("summary", "")),
                          flush=True)
            time.sleep(2)

    def elapsed(self):
        return time.monotonic() - self.started

    def stop(self):
        for _, p, _ in self.procs:
            if p.poll() is None:
                p.terminate()
        deadline = time.monotonic() + 10
        for _, p, _ in self.procs:
            try:
                p.wait(max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


def main():
    if len(sys.argv) != 2:
        print("usage: examples/run-demo-domain.py BUILD_DIR", file=sys.stderr)
        return 2
    interval = os.environ.get("DEMO_INTERVAL", "5s")
    alert_for = os.environ.get("DEMO_ALERT_FOR", "")
    for name, value in (("DEMO_INTERVAL", interval), ("DEMO_ALERT_FOR", alert_for)):
        if value and not DURATION.match(value):
            print("demo-domain: %s: expected a duration such as 10s or 2m, got %r" % (name, value), file=sys.stderr)
            return 2
    if shutil.which("prometheus") is None:
        print("demo-domain: prometheus is not installed (scripts/bootstrap installs Debian's package)",
              file=sys.stderr)
        return 1
    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    demo = Demo(os.path.abspath(sys.argv[1]), tempfile.mkdtemp(prefix="ztademo-domain."))
    status = 0
    try:
        demo.run(interval, alert_for)
    except Stop:
        print("stopping the agents and Prometheus", flush=True)
    except Failed as e:
        print("demo-domain: %s" % e, file=sys.stderr)
        status = 1
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        demo.stop()
        shutil.rmtree(demo.tmp, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
