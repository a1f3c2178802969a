"""The build against a Tuxedo installation, built and run: scripts/standin-tuxdir
lays the stand-in out as one, the command it prints builds ztaagent and
ztaquery against it (its headers, libtux.so and its view compiler), and the
installed ztaquery samples every table through the installed compiled views.

The layout and the agent's build stay in BUILD/standin-tuxdir*, so that a
second run rebuilds only what changed (and the compiler cache serves it).

Run by ctest: python3 test_standin_tuxdir.py SOURCE_DIR BUILD_DIR
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 2 else ".")
BUILD = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build")
TUXDIR = os.path.join(BUILD, "standin-tuxdir")
WORK = os.path.join(BUILD, "standin-tuxdir-work")


class StandinTuxdirTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zta_tuxdir_")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_ok(self, args, **kw):
        done = subprocess.run(args, capture_output=True, text=True, **kw)
        self.assertEqual(done.returncode, 0, "%s\n%s\n%s" % (args, done.stdout[-3000:], done.stderr[-3000:]))
        return done

    def test_the_agent_built_against_the_layout_samples_every_table_through_compiled_views(self):
        line = self.run_ok([os.path.join(SOURCE, "scripts", "standin-tuxdir"), TUXDIR, BUILD]).stdout.strip()
        self.assertEqual(len(line.splitlines()), 1, line)
        self.assertIn("-DZTA_TUXDIR=%s " % TUXDIR, line)
        for path in ("include/atmi.h", "include/fml32.h", "include/tpadm.h", "lib/libtux.so", "bin/viewc32",
                     "udataobj/tpadm"):
            self.assertTrue(os.path.isfile(os.path.join(TUXDIR, path)), path)
        self.assertFalse(os.path.exists(os.path.join(TUXDIR, "include", "tuxsim.h")))

        # The printed command as it is, unoptimised: the test proves the
        # path, not the speed.
        os.makedirs(WORK, exist_ok=True)
        self.run_ok(["sh", "-c", line.replace("-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_BUILD_TYPE=None")], cwd=WORK,
                    env=dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2"), timeout=1200)
        build = os.path.join(WORK, "build-tuxdir")
        dest = os.path.join(self.dir, "root")
        self.run_ok(["cmake", "--install", build], env=dict(os.environ, DESTDIR=dest))
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            prefix = re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$", f.read(), re.M).group(1)
        installed = dest + prefix
        views = os.path.join(installed, "share", "ztaagent", "views")
        compiled = sorted(os.listdir(views))
        self.assertEqual(compiled, ["txview%02d.V" % n for n in range(1, 16)])
        with open(os.path.join(views, "txview01.V")) as f:
            self.assertIn("compiled by the stand-in's viewc32", f.readline())
        query = os.path.join(installed, "bin", "ztaquery")
        needed = self.run_ok(["readelf", "-d", query]).stdout
        self.assertIn("[libtux.so]", needed)

        # The service's settings name the installed compiled views and the
        # installation's field table.
        with open(os.path.join(dest, "etc", "default", "ztaagent")) as f:
            settings = dict(re.findall(r"^(VIEWDIR32|VIEWFILES32|FLDTBLDIR32|FIELDTBLS32)=(.*)$", f.read(), re.M))
        self.assertEqual(settings["VIEWDIR32"], views[len(dest):])
        self.assertEqual(settings["VIEWFILES32"], ",".join(compiled))
        self.assertEqual(settings["FLDTBLDIR32"], os.path.join(TUXDIR, "udataobj"))
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("AGW_", "ZTA_", "TUXSIM_", "VIEW", "FLDTBL", "FIELDTBL", "TX"))}
        env.update(settings, VIEWDIR32=views, TUXSIM_DOMAIN=os.path.join(SOURCE, "tuxsim", "domains", "demo.yaml"),
                   TXAPPQSPACENAME="QSPACE1;QSPACE2;", TXQMCONFIG="/srv/bank/queues/qdev1;/srv/bank/queues/qdev2;",
                   TXLMID="SITE1;SITE2;")
        tables = re.findall(r"^(TX\w+)\s+table", self.run_ok([query, "--list"], env=env).stdout, re.M)
        self.assertEqual(len(tables), 20)
        done = self.run_ok([query, "--json", *tables], env=env, timeout=120)
        # TXAPPQ prints the MIB's replies among the rows.
        seen = {json.loads(l)["table"] for l in done.stdout.splitlines() if l.startswith("{")}
        self.assertEqual(seen, set(tables), done.stderr)

    def test_the_view_compiler_refuses_what_a_view_compiler_refuses(self):
        compiler = os.path.join(BUILD, "tuxsim", "viewc32")
        env = dict(os.environ, FLDTBLDIR32=os.path.join(SOURCE, "tuxsim", "fields"), FIELDTBLS32="tpadm")
        with open(os.path.join(SOURCE, "views", "txview01")) as f:
            view = f.read()
        for name, bad, said in (("field", view.replace("TA_CLIENTID", "TA_NOSUCH"), "TA_NOSUCH is not in the field"),
                                ("type", view.replace("string state ", "strang state "), 'found "strang"'),
                                ("count", re.sub(r"(state\s+TA_STATE\s+)1", r"\g<1>0", view), "a count from 1")):
            path = os.path.join(self.dir, "txview01")
            with open(path, "w") as f:
                f.write(bad)
            done = subprocess.run([compiler, "-d", self.dir, path], env=env, capture_output=True, text=True)
            self.assertEqual(done.returncode, 1, name)
            self.assertIn(said, done.stderr, name)
            self.assertIn("not compiled", done.stderr, name)
            self.assertFalse(os.path.exists(path + ".V"), name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
