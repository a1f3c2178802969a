#!/usr/bin/env python3
"""Keeps the documentation findable and current: README.md within 300 lines
and mapping every file of docs/, each of those opening with what it answers,
every relative link leading to a file and heading that exist, every shipped
alert explained in docs/prometheus.md, docs/tables.md as
scripts/tables-doc writes it from the table descriptions, and
docs/metrics.md as `ztaquery --list --markdown` of the build writes it (the
catalogue that the command_line test holds against a live scrape).

usage: test_readme_docs.py SOURCE_DIR [BUILD_DIR]
"""
import glob
import os
import re
import subprocess
import sys

SOURCE = os.path.abspath(sys.argv[1])
BUILD = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else None
failures = []


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def slug(heading):
    """The anchor a Markdown heading gets: lower case, punctuation dropped,
    blanks to hyphens."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def anchors(path):
    text = re.sub(r"^```.*?^```", "", read(path), flags=re.S | re.M)
    return {slug(h) for h in re.findall(r"^#+ (.*)$", text, re.M)}


readme = os.path.join(SOURCE, "README.md")
docs = sorted(glob.glob(os.path.join(SOURCE, "docs", "*.md")))
if not docs:
    failures.append("docs/ holds no file")

lines = read(readme).count("\n")
if lines > 300:
    failures.append(f"README.md has {lines} lines, more than 300")
for doc in docs:
    name = os.path.relpath(doc, SOURCE)
    if f"]({name})" not in read(readme):
        failures.append(f"README.md's map does not name {name}")
    head = read(doc).split("\n")
    if not head[0].startswith("# ") or len(head) < 3 or not head[2].strip() or head[2].startswith(("#", "|", "    ")):
        failures.append(f"{name} does not open with a heading and a paragraph saying what it answers")

for path in [readme, os.path.join(SOURCE, "CONTRIBUTING.md"), os.path.join(SOURCE, "framework", "README.md")] + docs:
    text = re.sub(r"^```.*?^```", "", read(path), flags=re.S | re.M)
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z]+:", target):
            continue
        file, _, anchor = target.partition("#")
        resolved = os.path.normpath(os.path.join(os.path.dirname(path), file)) if file else path
        where = f"{os.path.relpath(path, SOURCE)}: link {target}"
        if not os.path.exists(resolved):
            failures.append(f"{where}: no such file")
        elif anchor and anchor not in anchors(resolved):
            failures.append(f"{where}: no such heading")

prometheus = read(os.path.join(SOURCE, "docs", "prometheus.md"))
for alert in re.findall(r"^\s*- alert: (\w+)", read(os.path.join(SOURCE, "monitoring", "ztaagent-rules.yml")), re.M):
    if f"- **{alert}**:" not in prometheus:
        failures.append(f"docs/prometheus.md does not say what {alert} means and what to do")

current = subprocess.run([sys.executable, os.path.join(SOURCE, "scripts", "tables-doc"), "--check", SOURCE],
                         capture_output=True, text=True)
if current.returncode != 0:
    failures.append("scripts/tables-doc --check:\n" + current.stderr)

if BUILD is not None:
    made = subprocess.run([os.path.join(BUILD, "ztaquery"), "--list", "--markdown"], capture_output=True, text=True)
    if made.returncode != 0 or made.stdout != read(os.path.join(SOURCE, "docs", "metrics.md")):
        failures.append("docs/metrics.md is not what `ztaquery --list --markdown` writes; "
                        "regenerate it: build/ztaquery --list --markdown > docs/metrics.md" + made.stderr)

for f in failures:
    print("FAILED", f)
print(f"{len(docs)} docs, {len(failures)} failures")
sys.exit(1 if failures else 0)
