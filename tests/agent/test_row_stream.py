"""The row output on a file system that fills up and frees space again: the
file stays valid JSON Lines, the outage is said exactly once when it starts
and once when it ends (with the rows dropped), and the metrics endpoint
counts them.

A small tmpfs of its own needs a user and mount namespace (unshare -rm);
where they are not allowed the test is skipped, saying so.

Run by ctest: python3 test_row_stream.py BUILD_DIR
"""
import json
import os
import re
import signal
import subprocess
import sys
import time
import unittest
import urllib.request

from agent_processes import ProcessTest

HERE = os.path.abspath(__file__)


def inner(build, outside):
    """In the namespace: rows to a 64 KiB tmpfs, which a filler file then
    fills and frees. What the agent wrote and said is copied to `outside`."""
    mnt = os.path.join(outside, "mnt")
    os.makedirs(mnt, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "none", mnt], check=True)
    rows = os.path.join(mnt, "rows.jsonl")
    requests = os.path.join(outside, "requests.yaml")
    with open(requests, "w") as f:
        f.write("requests:\n  - {name: domain, table: TXDOMCFG, interval: 1}\n")
    env = {k: v for k, v in os.environ.items() if not k.startswith(("AGW_", "ZTA_")) and k != "JOURNAL_STREAM"}
    env.update(AGW_CONFIG=requests, AGW_OUTPUT=rows, AGW_HTTP="127.0.0.1:0")
    err_path = os.path.join(outside, "agent.err")
    with open(err_path, "w+") as err:
        agent = subprocess.Popen([os.path.join(build, "ztaagent")], env=env, stdout=subprocess.DEVNULL, stderr=err)

        def wait(what, test, seconds=20):
            deadline = time.time() + seconds
            while time.time() < deadline and agent.poll() is None:
                if test():
                    return
                time.sleep(0.1)
            raise SystemExit("no " + what)

        def said():
            with open(err_path, errors="replace") as f:
                return f.read()

        def lines():
            with open(rows, errors="replace") as f:
                return f.read().count("\n")

        try:
            wait("rows", lambda: os.path.exists(rows) and lines() >= 4)
            with open(os.path.join(mnt, "filler"), "wb", buffering=0) as filler:
                try:
                    for _ in range(1000):  # 64 KiB in 64-byte steps at most
                        filler.write(b"x" * 64)
                except OSError:
                    pass
            wait("outage", lambda: "cannot write rows" in said())
            time.sleep(2.5)  # a few samples dropped
            os.unlink(os.path.join(mnt, "filler"))
            wait("recovery", lambda: "written again" in said())
            before = lines()
            wait("rows after the outage", lambda: lines() >= before + 2)
            port = re.search(r"metrics at http://[^:]+:(\d+)/metrics", said()).group(1)
            with urllib.request.urlopen("http://127.0.0.1:%s/metrics" % port, timeout=10) as reply:
                metrics = reply.read().decode()
        finally:
            agent.send_signal(signal.SIGTERM)
            agent.wait(15)
    with open(rows, "rb") as f, open(os.path.join(outside, "rows.jsonl"), "wb") as copy:
        copy.write(f.read())
    with open(os.path.join(outside, "metrics.txt"), "w") as f:
        f.write(metrics)


class RowStreamTest(ProcessTest):
    prefix = "zta_row_stream_"

    def test_a_full_file_system_leaves_whole_lines_and_each_outage_is_said_at_both_ends(self):
        probe = subprocess.run(["unshare", "-rm", "sh", "-c", "mount -t tmpfs -o size=64k none \"$0\"", self.dir],
                               capture_output=True, text=True)
        if probe.returncode != 0:
            self.skipTest("no user and mount namespace here (unshare -rm): " + probe.stderr.strip())
        run = subprocess.run(["unshare", "-rm", sys.executable, HERE, "--inner", BUILD, self.dir],
                             capture_output=True, text=True, timeout=90)
        err = open(os.path.join(self.dir, "agent.err"), errors="replace").read() \
            if os.path.exists(os.path.join(self.dir, "agent.err")) else ""
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr + err)

        with open(os.path.join(self.dir, "rows.jsonl")) as f:
            records = [json.loads(line) for line in f]  # every line parses
        self.assertTrue(any("row" in r for r in records))
        self.assertTrue(any("sample" in r for r in records))

        # The outage is said once when it starts and once when it ends,
        # though the slack of the file's last page takes a short line (a
        # sample record) now and then while the disk is full.
        path = re.escape(os.path.join(self.dir, "mnt", "rows.jsonl"))
        said = re.findall(r"^agwmain: (?:cannot write rows to %s: No space left on device; rows are dropped while it "
                          r"cannot be written|rows to %s are written again; (\d+) rows? (?:was|were) dropped "
                          r"meanwhile)$" % (path, path), err, re.M)
        self.assertEqual(len(said), 2, err)
        self.assertEqual(said[0], "", err)
        self.assertEqual(len(re.findall(r"rows to|cannot write rows", err)), 2, err)
        dropped = int(said[1])
        self.assertGreater(dropped, 0, err)

        with open(os.path.join(self.dir, "metrics.txt")) as f:
            counted = re.findall(r"^\w+_rows_dropped_total(?:\{[^}]*\})? (\S+)$", f.read(), re.M)
        self.assertEqual([float(n) for n in counted], [dropped])


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--inner":
        inner(os.path.abspath(sys.argv[2]), sys.argv[3])
        sys.exit(0)
    BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build")
    unittest.main()
