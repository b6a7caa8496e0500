"""Reference and memory leaks: every path of every function, repeated many times.

After a warm-up (which fills the caches that live for the process: the
frame slots, the kept `format`, the loader's spec class...), each path runs
REPETITIONS times.  Then the reference counts of its arguments and
stand-ins, the number of objects the collector tracks, the interpreter's
allocated blocks and the memory tracemalloc traces must be where they were,
give or take a small constant.  Failures are caught and dropped at once, so
their tracebacks (and the frames those keep) do not pile up.
"""
import gc
import io
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import tracemalloc
import types
import unittest

import smsline
import smsline.send_sms as sms

from tests import support
from tests.reliability import Abort, Failure, PortError, World, bind_globals, quiesce

SANITIZED = bool(os.environ.get("SMSLINE_SANITIZED"))
# Under ASan every allocation is slower by an order of magnitude; a tenth of
# the repetitions still shows a leak of one object per call a thousand times.
REPETITIONS = 1000 if SANITIZED else 10000
WARM_UP = 30

OBJECT_SLACK = 10           # tracked objects
BLOCK_SLACK = 100           # allocated blocks (free lists and caches settle)
TRACED_SLACK = 48 * 1024    # bytes
serial_ports, send_sms = sms.serial_ports, sms.send_sms


def expect(error_class, function, *args):
    """A call that must raise `error_class`; the exception is dropped here."""
    def run():
        try:
            function(*args)
        except error_class:
            return
        raise AssertionError("%s did not raise %s" % (function, error_class.__name__))
    return run


class LeakCase(unittest.TestCase):

    def assert_no_leak(self, action, watched=(), repetitions=REPETITIONS):
        for _ in range(WARM_UP):
            action()
        quiesce()
        refcounts = [sys.getrefcount(value) for value in watched]
        objects = len(gc.get_objects())
        blocks = sys.getallocatedblocks()
        tracemalloc.start()
        try:
            for _ in range(repetitions):
                action()
            quiesce()
            traced = tracemalloc.get_traced_memory()[0]
        finally:
            tracemalloc.stop()
        quiesce()
        self.assertEqual([sys.getrefcount(value) for value in watched], refcounts, "reference counts")
        self.assertLessEqual(len(gc.get_objects()) - objects, OBJECT_SLACK, "tracked objects")
        self.assertLessEqual(sys.getallocatedblocks() - blocks, BLOCK_SLACK, "allocated blocks")
        self.assertLessEqual(traced, TRACED_SLACK, "traced memory")

    def with_world(self, world, action, **kwargs):
        undo = world.bind(own_serial_ports=kwargs.pop("own_serial_ports", True))
        try:
            self.assert_no_leak(action, **kwargs)
        finally:
            undo()


class SerialPortsLeaks(LeakCase):

    def test_paths(self):
        candidates = ["/dev/ttyA", "/dev/ttyB", "/dev/ttyC"]
        scenarios = [
            ("success", {}, serial_ports),
            ("probe failures discarded", {("Serial", "/dev/ttyA"): PortError("busy"),
                                          ("port.close", "/dev/ttyB"): PortError("gone")}, serial_ports),
            ("failure with traceback", {("Serial", "/dev/ttyB"): ValueError("bad")},
             expect(ValueError, serial_ports)),
            ("non-Exception", {("port.close", "/dev/ttyC"): Abort("stop")}, expect(Abort, serial_ports)),
            ("listing fails", {"glob": Failure("glob")}, expect(Failure, serial_ports)),
        ]
        for name, faults, action in scenarios:
            with self.subTest(name):
                world = World(candidates=candidates, record=False)
                world.faults.update(faults)
                self.with_world(world, action, own_serial_ports=False,
                                watched=[world, world.serial, world.glob, world.sys.platform] + candidates)

        world = World(platform="sunos5", record=False)
        self.with_world(world, expect(OSError, serial_ports), own_serial_ports=False)

        # A SerialException that is no class: TypeError at line 39, chained to the candidate's failure.
        world = World(record=False)
        world.serial.SerialException = "no class"
        world.faults[("Serial", "/dev/ttyA")] = PortError("busy")
        self.with_world(world, expect(TypeError, serial_ports), own_serial_ports=False)

    def test_windows_names(self):
        # COM1 to COM256 through C-level stand-ins: io.StringIO opens any
        # name and closes; os.stat fails every one with FileNotFoundError.
        for opener in (io.StringIO, os.stat):
            with self.subTest(opener.__name__):
                stand_ins = {"sys": types.SimpleNamespace(platform="win32"),
                             "serial": types.SimpleNamespace(Serial=opener, SerialException=PortError)}
                undo = bind_globals(stand_ins)
                try:
                    self.assert_no_leak(serial_ports, watched=list(stand_ins.values()),
                                        repetitions=REPETITIONS // 20)
                finally:
                    undo()


class SendSmsLeaks(LeakCase):

    def test_paths(self):
        number, text = "+1555" + "0100", "text " * 3   # objects of their own, not interned
        scenarios = [
            ("success", {}, ["p1", "p2"], None),
            ("probe failure closed, next port", {("connect", "p1"): Failure("no")}, ["p1", "p2"], None),
            ("close of a failed probe fails", {("connect", "p1"): Failure("no"), ("close", "p1"): Failure("x")},
             ["p1", "p2"], None),
            ("not found, no ports", {}, [], Exception),
            ("not found, every probe failed", {"waitForNetworkCoverage": Failure("no")}, ["p1", "p2"], Exception),
            ("send fails, modem closed", {"sendSms": Failure("send")}, ["p1"], Failure),
            ("close replaces the send failure", {"sendSms": Failure("send"), "close": Abort("close")}, ["p1"],
             Abort),
            ("non-Exception from the probe", {"connect": KeyboardInterrupt()}, ["p1"], KeyboardInterrupt),
            ("second status read fails", {"status#2": Failure("status")}, ["p1"], Failure),
        ]
        for name, faults, ports, error in scenarios:
            with self.subTest(name):
                world = World(ports=ports, record=False)
                world.faults.update(faults)
                action = (lambda: send_sms(number, text)) if error is None else expect(error, send_sms, number, text)
                self.with_world(world, action, watched=[number, text, world, world.ports, world.sys.platform])

    def test_through_the_real_port_list(self):
        # send_sms calls serial_ports, which probes the stand-in serial ports.
        world = World(record=False)
        world.faults[("connect", "/dev/ttyA")] = Failure("not a modem")
        number, text = object(), object()
        self.with_world(world, lambda: send_sms(number, text), own_serial_ports=False, watched=[number, text])


@support.needs_events
class EventLeaks(LeakCase):

    def test_paths_under_each_listener(self):
        # The events' arguments (frames, results, exceptions, callables)
        # are given to a listener and let go again, on every kind of path:
        # a caught probe failure, a re-raise through finally, loop passes.
        def trace(frame, event, arg):
            return trace
        listeners = [("settrace", sys.settrace, trace), ("setprofile", sys.setprofile, trace)]
        if hasattr(sys, "monitoring"):
            monitoring, events = sys.monitoring, sys.monitoring.events
            every = 0
            for name in ("PY_START", "PY_RETURN", "PY_UNWIND", "LINE", "JUMP", "RAISE", "RERAISE",
                         "EXCEPTION_HANDLED", "CALL", "C_RETURN", "C_RAISE"):
                every |= getattr(events, name)
            def tool(on):
                monitoring.set_events(monitoring.DEBUGGER_ID, every if on else 0)
            monitoring.use_tool_id(monitoring.DEBUGGER_ID, "leaks")
            self.addCleanup(monitoring.free_tool_id, monitoring.DEBUGGER_ID)
            for event in range(17):
                if every & (1 << event):
                    monitoring.register_callback(monitoring.DEBUGGER_ID, 1 << event, lambda *args: None)
            listeners.append(("monitoring", lambda on: tool(on is not None), True))
        number, text = "+1555" + "0100", "text " * 3
        for name, setter, listener in listeners:
            def listened(action):
                def run():
                    setter(listener)
                    try:
                        action()
                    finally:
                        setter(None)
                return run
            for path, faults in (("probe failure caught", {("connect", "p1"): Failure("no")}),
                                 ("send fails, re-raised through finally", {"sendSms": Failure("send")})):
                with self.subTest(listener=name, path=path):
                    world = World(ports=["p1", "p2"], record=False)
                    world.faults.update(faults)
                    action = expect(Failure, send_sms, number, text) if "sendSms" in faults else \
                        (lambda: send_sms(number, text))
                    # (The planned exceptions are the same objects each time.)
                    watched = [number, text, world] + list(faults.values())
                    self.with_world(world, listened(action), watched=watched, repetitions=REPETITIONS // 10)
            with self.subTest(listener=name, path="COM names"):
                undo = bind_globals({"sys": types.SimpleNamespace(platform="win32"),
                                     "serial": types.SimpleNamespace(Serial=io.StringIO, SerialException=PortError)})
                try:
                    self.assert_no_leak(listened(serial_ports), repetitions=REPETITIONS // 200)
                finally:
                    undo()


class LoaderLeaks(LeakCase):

    def setUp(self):
        self.loader = sms.__loader__
        self.instance = sys.path_importer_cache[smsline.__path__[0]]
        self.saved_modules = dict(sys.modules)

    def tearDown(self):
        for name in [name for name in sys.modules if name not in self.saved_modules]:
            del sys.modules[name]
        for name, module in self.saved_modules.items():
            if sys.modules.get(name) is not module:
                sys.modules[name] = module

    def test_finder_and_loader_methods(self):
        loader, instance = self.loader, self.instance
        submodule = sys.modules["smsline.send_sms"]
        names = ["smsline", "smsline.send_sms", "smsline.nothing_here", "os", "_frozen_importlib", "nothing"]

        def finder_methods():
            for name in names:
                loader.find_spec(name)
                loader.find_module(name)
                loader.is_package(name)
            loader.module_repr(submodule)
            instance.iter_modules("")
            instance.iter_modules("smsline.")
            repr(instance)

        def loading():
            spec = loader.find_spec("smsline.send_sms")
            loader.exec_module(loader.create_module(spec))
            loader.load_module("smsline.send_sms")
            loader.load_module("nothing")

        def refusals():
            for method, args in ((loader.find_spec, ()), (loader.find_spec, (5,)), (loader.is_package, (b"x",)),
                                 (loader.load_module, ("\udcff",)), (loader.create_module, (object(),))):
                try:
                    method(*args)
                except (TypeError, AttributeError, UnicodeEncodeError):
                    pass
            expect(FileNotFoundError, loader.get_data, "/nonexistent/file")()

        for action in (finder_methods, loading, refusals, lambda: loader.get_data(__file__)):
            with self.subTest(action.__name__):
                self.assert_no_leak(action, watched=[loader, instance, submodule] + names)
        self.assertIs(sys.modules["smsline.send_sms"], submodule)

    def test_package_row_loads(self):
        # load_module of the package row makes a new, bare package module each time.
        package = sys.modules["smsline"]

        def load_package():
            self.loader.load_module("smsline")
        self.assert_no_leak(load_package, watched=[package, self.loader], repetitions=REPETITIONS // 10)


EXTENSION_SOURCE = r"""
#include <Python.h>
#if defined(MULTI_PHASE)
static PyModuleDef_Slot slots[] = {{0, NULL}};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, NAME, NULL, 0, NULL, slots};
PyMODINIT_FUNC INIT(void) { return PyModuleDef_Init(&def); }
#elif defined(EXEC_FAILS)
static int fail(PyObject *m) { PyErr_SetString(PyExc_RuntimeError, "exec failed"); return -1; }
static PyModuleDef_Slot slots[] = {{Py_mod_exec, (void *)fail}, {0, NULL}};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, NAME, NULL, 0, NULL, slots};
PyMODINIT_FUNC INIT(void) { return PyModuleDef_Init(&def); }
#elif defined(INIT_RAISES)
PyMODINIT_FUNC INIT(void) { PyErr_SetString(PyExc_RuntimeError, "init failed"); return NULL; }
#elif defined(INIT_SILENT)
PyMODINIT_FUNC INIT(void) { return NULL; }
#else
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, NAME, NULL, -1, NULL};
PyMODINIT_FUNC INIT(void) { return PyModule_Create(&def); }
#endif
"""


def build_extensions(directory):
    """Compiles the test extensions into `directory`; returns {module name: expected error or None}."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    source = os.path.join(directory, "ext.c")
    with open(source, "w") as f:
        f.write(EXTENSION_SOURCE)
    variants = [("rl_single", None, None), ("rl_multi", "MULTI_PHASE", None),
                ("rl_exec_fails", "EXEC_FAILS", RuntimeError), ("rl_raises", "INIT_RAISES", RuntimeError),
                ("rl_silent", "INIT_SILENT", SystemError), ("rl_no_symbol", None, ImportError)]
    built = {}
    for name, flag, error in variants:
        init = "PyInit_other" if name == "rl_no_symbol" else "PyInit_" + name
        command = ["gcc", "-shared", "-fPIC", "-I" + sysconfig.get_paths()["include"], "-DNAME=\"%s\"" % name,
                   "-DINIT=" + init, "-o", os.path.join(directory, name + suffix), source]
        if flag:
            command.append("-D" + flag)
        subprocess.run(command, check=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        built[name] = error
    with open(os.path.join(directory, "rl_garbage" + suffix), "wb") as f:
        f.write(b"\x7fELF but not really" * 10)
    built["rl_garbage"] = ImportError
    return built


@unittest.skipUnless(shutil.which("gcc"), "needs gcc to build extension modules")
class ExtensionFileLeaks(LeakCase):

    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp(prefix="smsline-refleaks-")
        cls.modules = build_extensions(cls.directory)
        smsline.__path__.append(cls.directory)

    @classmethod
    def tearDownClass(cls):
        smsline.__path__.remove(cls.directory)
        shutil.rmtree(cls.directory, ignore_errors=True)

    def test_loads_and_their_failures(self):
        loader = sms.__loader__
        for name, error in sorted(self.modules.items()):
            full_name = "smsline." + name
            with self.subTest(name):
                spec = loader.find_spec(full_name)
                self.assertIsNotNone(spec)

                def load(spec=spec, full_name=full_name, error=error):
                    try:
                        module = loader.exec_module(loader.create_module(spec))
                        sys.modules.pop(full_name, None)
                        if error is not None:
                            raise AssertionError("%s loaded" % full_name)
                        if module.__name__ != full_name:
                            raise AssertionError(module.__name__)
                    except (RuntimeError, SystemError, ImportError) as e:
                        sys.modules.pop(full_name, None)
                        if not isinstance(e, error or ()):
                            raise
                self.assert_no_leak(load, watched=[spec, loader], repetitions=REPETITIONS // 5)


if __name__ == "__main__":
    unittest.main()
