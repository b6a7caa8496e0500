"""Shared helpers for the tests: where the built extension is, and fresh interpreters."""
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The extension-module suffix of the interpreter running the tests, which the
# extension it was built for carries.
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
BUILD_DIR = os.path.join(ROOT, "build", "cmake" if sys.version_info[:2] == (3, 6) else "cmake-%d.%d" % sys.version_info[:2])
EXTENSION = os.environ.get("SMSLINE_EXTENSION") or os.path.join(BUILD_DIR, "smsline" + EXT_SUFFIX)
EXTENSION_NAME = os.path.basename(EXTENSION)
PYTHON_DIR = os.path.join(ROOT, "python")


def _probe_frames():
    """(live frames, events sent): what a fresh interpreter shows of a running serial_ports call.

    Live: the glob stand-in that serial_ports calls finds serial_ports's frame
    as its caller.  Events: a profile function gets serial_ports's call event.
    """
    done = run_python("""
        import sys
        import smsline.send_sms as m
        code = m.serial_ports.__code__
        found, events = [], []
        class Glob(object):
            def glob(self, pattern):
                found.append(sys._getframe(1).f_code is code)
                return []
        m.glob = Glob()
        sys.setprofile(lambda frame, event, arg: events.append(frame.f_code is code and event == "call"))
        m.serial_ports()
        sys.setprofile(None)
        print(found == [True], any(events))
        """, path=[os.path.dirname(EXTENSION)])
    if done.returncode != 0:
        raise RuntimeError("the frame probe failed:\n" + done.stderr)
    live, events = done.stdout.split()
    return live == "True", events == "True"


class UnseenLine(object):
    """The current line of a running smsline function where its frame is not
    seen (frames made for the traceback only): equal to every line, so that what the tests check
    beside the line still counts."""

    def __eq__(self, other):
        return isinstance(other, (int, UnseenLine))

    def __ne__(self, other):
        return not self == other

    __hash__ = object.__hash__

    def __repr__(self):
        return "<unseen line>"


UNSEEN_LINE = UnseenLine()


def run_python(code, cwd=None, env=None, path=(), timeout=120):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess (text output).

    `path` entries go first on PYTHONPATH, before the project's python/ folder.
    """
    environment = dict(os.environ)
    environment.pop("TARVIK_PACKAGE_smsline", None)
    environment["PYTHONPATH"] = os.pathsep.join(list(path) + [PYTHON_DIR])
    environment["PYTHONDONTWRITEBYTECODE"] = "1"
    if env:
        for key, value in env.items():
            if value is None:
                environment.pop(key, None)
            else:
                environment[key] = value
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, env=environment,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                          timeout=timeout)


class ExtensionDir(object):
    """A temporary directory D holding a copy of the extension (and optionally more files)."""

    def __init__(self, subdir=None):
        self.root = tempfile.mkdtemp(prefix="smsline-test-")
        self.path = os.path.join(self.root, subdir) if subdir else self.root
        os.makedirs(self.path, exist_ok=True)
        shutil.copy(EXTENSION, os.path.join(self.path, EXTENSION_NAME))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.root, ignore_errors=True)


def submodule_entries(error):
    """(function, line) of the traceback entries in smsline.send_sms's code, outermost first."""
    import smsline.send_sms as module
    entries = []
    tb = error.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == module.__file__:
            entries.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return entries


# Our functions' frames run in the thread's frame stack, visible with their
# current line to everything that walks it (always up to 3.10; from 3.11
# unless the extension's start-up check chose frames made for the traceback
# only: name, line and locals at a failure, nothing seen while running);
# and trace and profile functions get their events (up to 3.10).
LIVE_FRAMES, EVENTS_SENT = _probe_frames()
needs_live_frames = unittest.skipUnless(
    LIVE_FRAMES, "the frames of smsline's functions are made for tracebacks only here, not seen while running")
needs_events = unittest.skipUnless(
    EVENTS_SENT, "no trace or profile events are sent for smsline's functions here")
# Reading a function frame's f_locals gives the one dictionary the frame
# keeps up to 3.12, and a new view of the frame at each read from 3.13.
F_LOCALS_KEPT = sys.version_info < (3, 13)
