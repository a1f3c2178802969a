"""What the end-to-end tests of the agent share: a temporary directory of
their own, the processes they start (stopped with SIGTERM, killed if they
linger) and an agent whose metrics endpoint they wait for."""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest


def served_table_names(query):
    """The tables `ztaquery --list` says this build serves, in its order."""
    out = subprocess.run([query, "--list"], capture_output=True, text=True, check=True).stdout
    return [m.group(1) for m in re.finditer(r"^(TX\w+)  table .*$", out, re.M) if "not served" not in m.group(0)]


class ProcessTest(unittest.TestCase):
    prefix = "zta_test_"

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix=self.prefix)
        self.procs = []
        self.files = []

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, text):
        """Writes a file of this test's own; returns its path."""
        with open(self.path(name), "w") as f:
            f.write(text)
        return self.path(name)

    def open(self, name, mode):
        f = open(os.path.join(self.dir, name), mode)
        self.files.append(f)
        return f

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        for f in self.files:
            f.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start_agent(self, agent, env, name="agent"):
        """Starts the agent with its metrics endpoint on; returns the process
        and the endpoint's URL once the agent says where it listens."""
        err = self.open(name + ".err", "w+")
        p = subprocess.Popen([agent], env=env, stdout=subprocess.DEVNULL, stderr=err)
        self.procs.append(p)
        deadline = time.time() + 10
        while time.time() < deadline:
            err.seek(0)
            m = re.search(r"metrics at (http://\S+/metrics)", err.read())
            if m:
                return p, m.group(1)
            self.assertIsNone(p.poll(), "the agent ended early")
            time.sleep(0.05)
        self.fail("the agent did not say where its metrics are")
