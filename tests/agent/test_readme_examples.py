#!/usr/bin/env python3
"""Runs the examples of README.md, docs/*.md, framework/README.md and
CONTRIBUTING.md as written: every request file they show with the command that uses it,
every ztaquery and tmib command line, the /Q
watching example, the web configuration with the agent it secures, and the
Prometheus configuration it gives (when promtool is there). Each runs in a
temporary folder of its own, where `build` points at the build tree, so
relative paths behave as they would for a reader.

usage: test_readme_examples.py SOURCE_DIR BUILD_DIR
"""
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

SOURCE, BUILD = sys.argv[1], sys.argv[2]
failures = []


checked = []


def fail(what, detail):
    failures.append((what, detail))


def readme_blocks(path):
    """The README's fenced yaml blocks and its indented command lines (joined
    across trailing backslashes), in order: [("yaml", text) | ("cmd", line)]."""
    items, lines, i = [], open(path, encoding="utf-8").read().split("\n"), 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("```yaml"):
            j = i + 1
            while not lines[j].startswith("```"):
                j += 1
            items.append(("yaml", "\n".join(lines[i + 1:j]) + "\n"))
            i = j + 1
            continue
        if line.startswith("    ") and line.strip():
            cmd = line.strip()
            while cmd.endswith("\\") and i + 1 < len(lines):
                i += 1
                cmd = cmd[:-1] + " " + lines[i].strip()
            items.append(("cmd", cmd))
        i += 1
    return items


def workdir():
    d = tempfile.mkdtemp(prefix="readme_examples_")
    os.symlink(BUILD, os.path.join(d, "build"))
    return d


def run_agent(cmd, cwd, what, wait_for_row=None, tables=()):
    checked.append(what)
    """Starts an agent command line, waits until it joined (and, if asked,
    until a row reached the file), stops it with SIGTERM and checks that it
    exits 0 without a configuration error."""
    env = dict(os.environ, AGW_HTTP="")
    with open(os.path.join(cwd, "stdout"), "wb") as out, open(os.path.join(cwd, "stderr"), "wb") as err:
        p = subprocess.Popen(["bash", "-c", cmd], cwd=cwd, env=env, stdout=out, stderr=err,
                             stdin=subprocess.DEVNULL)
        deadline = time.time() + 60
        while time.time() < deadline and p.poll() is None:
            errtext = open(os.path.join(cwd, "stderr"), errors="replace").read()
            joined = "has joined the Application successfully!" in errtext
            rows = ""
            if wait_for_row is not None and os.path.exists(os.path.join(cwd, wait_for_row)):
                rows = open(os.path.join(cwd, wait_for_row), errors="replace").read()
            rows_ok = wait_for_row is None or (
                '{"table":' in rows and all(f'{{"table":"{t}"' in rows for t in tables))
            if joined and rows_ok:
                break
            time.sleep(0.1)
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
        try:
            rc = p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            p.kill()
            rc = p.wait()
    errtext = open(os.path.join(cwd, "stderr"), errors="replace").read()
    if rc != 0:
        fail(what, f"exit status {rc}; stderr:\n{errtext[-2000:]}")
    if "agwmain:" in errtext and "metrics at" not in errtext:
        fail(what, "agwmain complained:\n" + errtext[-2000:])
    if "has joined the Application successfully!" not in errtext:
        fail(what, "the agent never joined:\n" + errtext[-2000:])
    if wait_for_row is not None:
        path = os.path.join(cwd, wait_for_row)
        if not os.path.exists(path) or '{"table":' not in open(path, errors="replace").read():
            fail(what, f"no row in {wait_for_row}")


def check_readme(path):
    items = readme_blocks(path)
    for n, (kind, text) in enumerate(items):
        # A block's first key, past the comments that explain it.
        first = re.sub(r"\A(?:\s*#[^\n]*\n|\s*\n)*", "", text)
        if kind == "yaml" and first.startswith(("requests:", "output:", "metrics:")):
            # A request file: the next command that names AGW_CONFIG uses it.
            cmd = next((c for k, c in items[n + 1:] if k == "cmd" and "AGW_CONFIG=" in c), None)
            if cmd is None:
                fail(path, "a request file example with no command that uses it")
                continue
            name = re.search(r"AGW_CONFIG=(\S+)", cmd).group(1)
            d = workdir()
            with open(os.path.join(d, name), "w") as f:
                f.write(text)
            m = re.search(r"^output:\s*(\S+)", text, re.M)
            reports = "type: situation" not in text or "interval: 60" in text
            run_agent(cmd, d, f"{path}: {cmd}", wait_for_row=m.group(1) if (m and reports) else None)
            shutil.rmtree(d)
        elif kind == "yaml" and text.lstrip().startswith(("tls_server_config:", "basic_auth_users:")):
            # A web configuration: the next command that names AGW_WEB_CONFIG
            # uses it, with the certificate the document's openssl command makes.
            cmd = next((c for k, c in items[n + 1:] if k == "cmd" and "AGW_WEB_CONFIG=" in c), None)
            if cmd is None:
                fail(path, "a web configuration example with no command that uses it")
                continue
            d = workdir()
            with open(os.path.join(d, re.search(r"AGW_WEB_CONFIG=(\S+)", cmd).group(1)), "w") as f:
                f.write(text)
            for c in (c for k, c in items if k == "cmd" and c.startswith("openssl req ")):
                subprocess.run(["bash", "-c", c], cwd=d, capture_output=True, timeout=60, stdin=subprocess.DEVNULL)
            run_agent(re.sub(r"AGW_HTTP=\S+", "AGW_HTTP=127.0.0.1:0", cmd), d, f"{path}: {cmd}")
            if "metrics at https://" not in open(os.path.join(d, "stderr"), errors="replace").read():
                fail(f"{path}: {cmd}", "the endpoint did not serve TLS")
            shutil.rmtree(d)
        elif kind == "yaml" and text.lstrip().startswith(("scrape_configs:", "groups:")):
            promtool = shutil.which("promtool")
            if promtool is None:
                continue
            d = workdir()
            f = os.path.join(d, "prom.yml")
            open(f, "w").write(text)
            sub = "rules" if text.lstrip().startswith("groups:") else "config"
            checked.append(f"{path}: prometheus {sub} example")
            r = subprocess.run([promtool, "check", sub, f], capture_output=True, text=True)
            if r.returncode != 0:
                fail(f"{path}: prometheus {sub} example", r.stdout + r.stderr)
            shutil.rmtree(d)
        elif kind == "cmd" and re.match(r"^build/(ztaquery|tmib|ztaagent) ", text) and "[" not in text \
                and "--agent" not in text:  # those read the demo's agent: check_demo runs them
            d = workdir()
            checked.append(f"{path}: {text}")
            r = subprocess.run(["bash", "-c", text], cwd=d, capture_output=True, text=True, timeout=60,
                               stdin=subprocess.DEVNULL)
            if r.returncode != 0 or not r.stdout.strip():
                fail(f"{path}: {text}", f"exit status {r.returncode}: {r.stderr[-1000:]}")
            shutil.rmtree(d)
        elif kind == "cmd" and text.startswith("TXAPPQSPACENAME="):
            d = workdir()
            run_agent(text, d, f"{path}: /Q example", wait_for_row="rows.jsonl", tables=("TXAPPQ", "TXQSPCS"))
            rows = open(os.path.join(d, "rows.jsonl")).read() if os.path.exists(os.path.join(d, "rows.jsonl")) else ""
            for table in ("TXAPPQ", "TXQSPCS"):
                if f'{{"table":"{table}"' not in rows:
                    fail(f"{path}: /Q example", f"no {table} row")
            shutil.rmtree(d)


def check_second_terminal(url, out_path):
    """The README's second terminal while the demo runs: its command lines
    that read the agent (--agent) do, and a sample of TXSRVSTAT taken here in
    the same second as one of the agent's has the same counters: one domain,
    not one per process."""
    what = "the README's second terminal against make demo"
    checked.append(what)
    cmds = [c for k, c in readme_blocks(os.path.join(SOURCE, "README.md"))
            if k == "cmd" and c.startswith("build/ztaquery --agent ")]
    if not cmds:
        fail(what, "no command reads the running agent")
    d = workdir()
    for c in cmds:
        r = subprocess.run(["bash", "-c", c.replace("http://127.0.0.1:9464", url)], cwd=d, capture_output=True,
                           text=True, timeout=60, stdin=subprocess.DEVNULL)
        if r.returncode != 0 or "TXSERVER: 45 rows" not in r.stdout:
            fail(what, f"{c}: exit status {r.returncode}: {r.stderr[-1000:]}")
    shutil.rmtree(d)

    def totreqc(rows):
        """TOTREQC by server, and the second the rows were sampled in."""
        seconds = {r["timestamp"][:13] for r in rows}
        return (seconds.pop() if len(seconds) == 1 else None), {(r["srvgrp"], r["srvid"]): r["totreqc"] for r in rows}

    # Samples of our own, several a second, over more than one of the
    # agent's TXSRVSTAT intervals (5 s).
    ours, deadline = {}, time.time() + 6
    while time.time() < deadline:
        r = subprocess.run([os.path.join(BUILD, "ztaquery"), "--json", "TXSRVSTAT"], capture_output=True, text=True,
                           timeout=30, stdin=subprocess.DEVNULL)
        second, counts = totreqc([json.loads(l)["row"] for l in r.stdout.splitlines()])
        ours[second] = counts
    samples = {}
    for line in open(out_path, errors="replace"):
        if line.startswith('{"table":"TXSRVSTAT"') and line.endswith("\n"):
            row = json.loads(line)["row"]
            samples.setdefault(row["sampleno"], []).append(row)
    agent = [totreqc(rows) for rows in samples.values() if len(rows) == 45]
    same = [(counts, ours[second]) for second, counts in agent if second in ours and second is not None]
    if not same:
        fail(what, f"no sample of the agent in a second of ours: {[a[0] for a in agent]} against {sorted(ours)}")
    for theirs, mine in same:
        if theirs != mine:
            fail(what, f"the same second, other counters: {theirs} against {mine}")


def check_demo():
    """What `make demo` runs: the banner first on standard output, rows of
    TXCLIENTS, TXSERVER and TXMSTATS, the README's second terminal, and the
    demo's situation raised and cleared (the demo domain's audit queue has
    requests waiting in every minute or so, and none in between)."""
    what = "make demo's agent"
    checked.append(what)
    d = workdir()
    out_path = os.path.join(d, "stdout")
    with open(out_path, "wb") as out, open(os.path.join(d, "stderr"), "wb") as err:
        p = subprocess.Popen([os.path.join(SOURCE, "examples/run-demo.sh"), BUILD, "127.0.0.1:0"], cwd=d,
                             stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        deadline = time.time() + 90
        text, url = "", None
        while time.time() < deadline and p.poll() is None:
            text = open(out_path, errors="replace").read()
            if url is None and '{"table":"TXSRVSTAT"' in text:
                m = re.search(r"^agwmain: metrics at (http://\S+)/metrics", open(os.path.join(d, "stderr")).read(),
                              re.M)
                url = m.group(1) if m else ""
                if url:
                    check_second_terminal(url, out_path)
                else:
                    fail(what, "the agent did not say where its endpoint is")
            if '"state":"cleared"' in text:
                break
            time.sleep(0.5)
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
        rc = p.wait(timeout=10)
    text = open(out_path, errors="replace").read()
    if rc != 0:
        fail(what, f"exit status {rc}")
    if not text.lstrip("\n").startswith("VELTRANE Monitoring Agent for Tuxedo."):
        fail(what, "standard output does not start with the banner: " + text[:200])
    for table in ("TXCLIENTS", "TXSERVER", "TXMSTATS"):
        if f'{{"table":"{table}"' not in text:
            fail(what, f"no {table} row")
    for state in ("raised", "cleared"):
        if f'{{"situation":"audit-queue-busy","table":"TXQLOAD","state":"{state}"' not in text:
            fail(what, f"the demo situation was not {state}")
    shutil.rmtree(d)


check_demo()
docs = sorted(os.path.relpath(p, SOURCE) for p in glob.glob(os.path.join(SOURCE, "docs", "*.md")))
for readme in ["README.md"] + docs + ["framework/README.md", "CONTRIBUTING.md"]:
    check_readme(os.path.join(SOURCE, readme))

for c in checked:
    print("ran", c)
if not checked:
    fail("README", "no example found")
failed = {what for what, _ in failures}
print(f"{len(set(checked) - failed)} passed, {len(failed)} failed")
for what, detail in failures:
    print("FAILED", what + ":", detail)
sys.exit(1 if failures else 0)
