"""Runs the scenarios of tests/memcheck/scenarios.py under valgrind's memcheck and judges the reports.

    .venv/bin/python tests/memcheck/run.py [SCENARIO...]

The interpreter is the one that runs this script (3.6 is the project's own;
`.venv-3.12/bin/python tests/memcheck/run.py` checks 3.12), the extension the
one that SMSLINE_EXTENSION names (default: that version's build in
build/cmake, build/cmake-X.Y).  The interpreter allocates its objects with malloc
(PYTHONMALLOC=malloc), so memcheck sees every object.  A run fails when a
scenario fails, when memcheck reports any error other than a leak (invalid
read or write, invalid free, use of uninitialised memory...) anywhere, or a
block definitely lost.  A leak whose allocation has a frame of the extension
on its stack is ours for sure; one without may still be ours (an argument
whose reference we kept), so it counts too.  suppressions.supp lists what the
interpreter and the C library are known to lose, suppressions-X.Y.supp what
one version loses besides.
"""
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import scenarios  # noqa: E402

VERSION = "%d.%d" % sys.version_info[:2]
EXTENSION = os.environ.get("SMSLINE_EXTENSION") or os.path.join(
    ROOT, "build", "cmake" if VERSION == "3.6" else "cmake-" + VERSION,
    "smsline" + sysconfig.get_config_var("EXT_SUFFIX"))
SUPPRESSIONS = [path for path in (os.path.join(HERE, "suppressions.supp"),
                                  os.path.join(HERE, "suppressions-%s.supp" % VERSION)) if os.path.exists(path)]


def frames(error):
    return [(frame.findtext("obj") or "", frame.findtext("fn") or "?", frame.findtext("file") or "",
             frame.findtext("line") or "") for frame in error.iter("frame")]


def describe(error):
    lines = [error.findtext("kind") + ": " + (error.findtext("what") or error.findtext("xwhat/text") or "")]
    for obj, function, source, line in frames(error)[:25]:
        where = "%s:%s" % (source, line) if source else os.path.basename(obj)
        lines.append("    %s (%s)" % (function, where))
    return "\n".join(lines)


def run(scenario, log_dir):
    xml_file = os.path.join(log_dir, scenario + ".xml")
    env = dict(os.environ, PYTHONMALLOC="malloc", PYTHONDONTWRITEBYTECODE="1",
               SMSLINE_EXTENSION=EXTENSION,
               PYTHONPATH=os.pathsep.join([os.path.dirname(EXTENSION), os.path.join(ROOT, "python"), ROOT]))
    env.pop("TARVIK_PACKAGE_smsline", None)
    # Fair scheduling: with valgrind's default lock a thread that keeps
    # dropping and retaking the interpreter lock can starve the others.
    command = (["valgrind", "--tool=memcheck", "--fair-sched=yes", "--leak-check=full", "--show-leak-kinds=definite",
                "--errors-for-leak-kinds=definite", "--num-callers=60", "--xml=yes", "--xml-file=" + xml_file]
               + ["--suppressions=" + path for path in SUPPRESSIONS]
               + [sys.executable, os.path.join(HERE, "scenarios.py"), scenario])
    started = time.monotonic()
    done = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    elapsed = time.monotonic() - started
    problems, ours = [], 0
    if done.returncode != 0:
        problems.append("the scenario failed (exit status %d):\n%s" % (done.returncode, done.stdout[-4000:]))
    report = ElementTree.parse(xml_file).getroot()
    for error in report.iter("error"):
        if any(os.path.basename(obj) == os.path.basename(EXTENSION) for obj, _, _, _ in frames(error)):
            ours += 1
        problems.append(describe(error))
    print("memcheck: %-18s %5.1f s  %d problem(s), %d with a frame of the extension"
          % (scenario, elapsed, len(problems), ours))
    for problem in problems:
        print(problem)
    return not problems


def main(argv):
    if shutil.which("valgrind") is None:
        print("memcheck: valgrind is not installed")
        return 1
    if not os.path.exists(EXTENSION):
        print("memcheck: no extension at %s (build it first)" % EXTENSION)
        return 1
    chosen = argv or sorted(scenarios.SCENARIOS)
    log_dir = tempfile.mkdtemp(prefix="smsline-memcheck-")
    try:
        results = [run(scenario, log_dir) for scenario in chosen]
    finally:
        shutil.rmtree(log_dir, ignore_errors=True)
    print("memcheck: CPython %s: %d scenario(s) clean, %d with problems"
          % (VERSION, results.count(True), results.count(False)))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
