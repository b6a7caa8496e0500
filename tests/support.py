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

# Up to 3.10 our functions' frames run in the thread's frame stack, visible
# with their current line to everything that walks it, and trace and profile
# functions get their events.  From 3.11 the frames are made for the
# traceback only (name, line and locals at a failure): nothing sees them
# while they run, and no events are sent.
LIVE_FRAMES = sys.version_info < (3, 11)
needs_live_frames = unittest.skipUnless(
    LIVE_FRAMES, "from 3.11 the frames of smsline's functions are made for tracebacks only, not seen while running")

needs_events = unittest.skipUnless(
    LIVE_FRAMES, "from 3.11 no trace or profile events are sent for smsline's functions")


class UnseenLine(object):
    """The current line of a running smsline function where its frame is not
    seen (from 3.11): equal to every line, so that what the tests check
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
