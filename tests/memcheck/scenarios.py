"""Scenarios that tests/memcheck/run.py runs under valgrind's memcheck, one process each.

    python tests/memcheck/scenarios.py NAME      (NAME: functions, tracing, loader, package_failure,
                                                  submodule_failure, interpreters)

Each walks the paths of one part a few times (valgrind is slow) and exits 0
when every call did what it should; memcheck judges the memory.
"""
import ctypes
import io
import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile
import threading
import types
import _thread

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)
REPETITIONS = 5


def expect(error_class, function, *args):
    try:
        function(*args)
    except error_class:
        return
    raise AssertionError("%r did not raise %r" % (function, error_class))


def functions():
    import smsline.send_sms as sms
    from tests.reliability import Abort, Failure, PortError, World
    serial_ports, send_sms = sms.serial_ports, sms.send_sms

    serial_plans = [{}, {("Serial", "/dev/ttyB"): PortError("busy")}, {("port.close", "/dev/ttyA"): PortError("x")}]
    failing_serial_plans = [({("Serial", "/dev/ttyB"): ValueError("bad")}, ValueError),
                            ({("port.close", "/dev/ttyC"): Abort("stop")}, Abort),
                            ({"glob": Failure("glob")}, Failure), ({"startswith:linux": Failure("t")}, Failure)]
    for _ in range(REPETITIONS):
        for plan in serial_plans:
            world = World()
            world.faults.update(plan)
            undo = world.bind(own_serial_ports=False)
            try:
                serial_ports()
            finally:
                undo()
        for plan, error in failing_serial_plans:
            world = World()
            world.faults.update(plan)
            undo = world.bind(own_serial_ports=False)
            try:
                expect(error, serial_ports)
            finally:
                undo()
        world = World()
        world.serial.SerialException = "no class"
        world.faults[("Serial", "/dev/ttyA")] = PortError("busy")
        undo = world.bind(own_serial_ports=False)
        try:
            expect(TypeError, serial_ports)
        finally:
            undo()
        undo = World(platform="sunos5").bind(own_serial_ports=False)
        try:
            expect(OSError, serial_ports)
        finally:
            undo()

    send_plans = [({}, None), ({("connect", "p1"): Failure("no")}, None),
                  ({("connect", "p1"): Failure("no"), ("close", "p1"): Failure("x")}, None),
                  ({"waitForNetworkCoverage": Failure("no")}, Exception),
                  ({"connect": KeyboardInterrupt()}, KeyboardInterrupt),
                  ({("connect", "p1"): Failure("no"), ("close", "p1"): Abort("x")}, Abort),
                  ({"sendSms": Failure("send")}, Failure), ({"sendSms": Failure("s"), "close": Abort("c")}, Abort),
                  ({"status#2": Failure("status")}, Failure), ({"print:notice": Failure("print")}, Failure),
                  ({"serial_ports": 5}, TypeError), ({"GsmModem": Abort("new")}, Abort)]
    for _ in range(REPETITIONS):
        for plan, error in send_plans:
            world = World()
            world.faults.update(plan)
            undo = world.bind()
            try:
                if error is None:
                    assert send_sms("+1555", "text") == 0
                else:
                    expect(error, send_sms, "+1555", "text")
            finally:
                undo()
        world = World()   # through the real serial_ports
        undo = world.bind(own_serial_ports=False)
        try:
            assert send_sms(object(), object()) == 0
        finally:
            undo()
        for args, kwargs in (((), {}), ((1, 2, 3), {}), ((1,), {"phone_number": 1}), ((1, 2), {"x": 1})):
            expect(TypeError, lambda: send_sms(*args, **kwargs))
        expect(TypeError, lambda: serial_ports(1))

    # The COM names and the loop step: an interrupt taken at the step, and
    # an exception posted to another thread.
    fine = types.SimpleNamespace(close=io.StringIO().close)
    table = dict.fromkeys(["COM%d" % i for i in range(1, 257)], fine)
    table["COM40"] = types.SimpleNamespace(close=_thread.interrupt_main)
    c_level = {"sys": types.SimpleNamespace(platform="win32"),
               "serial": types.SimpleNamespace(Serial=table.__getitem__, SerialException=PortError)}
    saved = {name: sms.__dict__[name] for name in c_level}
    sms.__dict__.update(c_level)
    try:
        signal.signal(signal.SIGINT, signal.default_int_handler)
        expect(KeyboardInterrupt, serial_ports)
        table["COM40"] = fine
        assert len(serial_ports()) == 256

        class Stop(BaseException):
            pass
        stopped = []
        walking = threading.Event()

        def walker():
            try:
                walking.set()
                while True:
                    serial_ports()
            except Stop:
                stopped.append(True)
        thread = threading.Thread(target=walker)
        thread.start()
        walking.wait()
        set_async = ctypes.pythonapi.PyThreadState_SetAsyncExc
        set_async.argtypes = [ctypes.c_ulong, ctypes.py_object]
        set_async(thread.ident, Stop)
        thread.join()
        assert stopped == [True]
    finally:
        sms.__dict__.update(saved)

    # Two threads at once.
    world = World(record=False)
    undo = world.bind()
    try:
        def caller():
            for _ in range(REPETITIONS):
                assert send_sms("+1555", "text") == 0
        threads = [threading.Thread(target=caller) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        undo()


EXTENSION_SOURCE = r"""
#include <Python.h>
#if defined(MULTI_PHASE)
static PyModuleDef_Slot slots[] = {{0, NULL}};
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


def loader():
    import smsline
    import smsline.send_sms as sms
    loader = sms.__loader__
    instance = sys.path_importer_cache[smsline.__path__[0]]
    names = ["smsline", "smsline.send_sms", "smsline.nothing", "os", "_frozen_importlib", "nothing",
             "smsline\x00.send_sms", "x" * (1 << 16), "smsline." + "y" * (1 << 16)]
    for _ in range(REPETITIONS):
        for name in names:
            loader.find_spec(name)
            loader.find_module(name)
            loader.is_package(name)
        for bad in (5, b"smsline", "\udcff"):
            for method in (loader.find_spec, loader.find_module, loader.is_package, loader.load_module):
                expect((TypeError, UnicodeEncodeError), method, bad)
        expect(TypeError, loader.find_spec)
        loader.exec_module(loader.create_module(loader.find_spec("smsline.send_sms")))
        assert loader.load_module("smsline.send_sms") is sms
        assert loader.load_module("nothing") is None
        loader.module_repr(sms)
        instance.iter_modules("")
        instance.iter_modules("smsline.")
        repr(instance)
        with open(__file__, "rb") as f:
            assert loader.get_data(__file__) == f.read()
        expect(FileNotFoundError, loader.get_data, "/nonexistent/file")

    directory = tempfile.mkdtemp(prefix="smsline-memcheck-")
    try:
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        source = os.path.join(directory, "ext.c")
        with open(source, "w") as f:
            f.write(EXTENSION_SOURCE)
        variants = [("mc_single", None, None), ("mc_multi", "MULTI_PHASE", None),
                    ("mc_raises", "INIT_RAISES", RuntimeError), ("mc_silent", "INIT_SILENT", SystemError),
                    ("mc_no_symbol", None, ImportError)]
        for name, flag, _ in variants:
            init = "PyInit_other" if name == "mc_no_symbol" else "PyInit_" + name
            command = ["gcc", "-shared", "-fPIC", "-I" + sysconfig.get_paths()["include"],
                       "-DNAME=\"%s\"" % name, "-DINIT=" + init, "-o", os.path.join(directory, name + suffix), source]
            if flag:
                command.append("-D" + flag)
            subprocess.run(command, check=True)
        with open(os.path.join(directory, "mc_garbage" + suffix), "wb") as f:
            f.write(b"\x7fELF not really" * 8)
        variants.append(("mc_garbage", None, ImportError))
        smsline.__path__.extend([directory, directory + "/missing", directory + "\x00", 5])
        for _ in range(REPETITIONS):
            for name, _, error in variants:
                spec = loader.find_spec("smsline." + name)
                assert spec is not None, name
                if error is None:
                    module = loader.exec_module(loader.create_module(spec))
                    assert module.__name__ == "smsline." + name
                else:
                    expect(error, lambda: loader.exec_module(loader.create_module(spec)))
                sys.modules.pop("smsline." + name, None)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def package_failure():
    class Environ(dict):
        def get(self, *args):
            raise KeyboardInterrupt("environ")
    os.environ = Environ()
    expect(KeyboardInterrupt, __import__, "smsline")
    import smsline  # noqa: F401 - the module stays in sys.modules after the failure


def submodule_failure():
    sys.modules["serial"] = None
    expect(ImportError, __import__, "smsline.send_sms")
    del sys.modules["serial"]
    expect(ImportError, __import__, "smsline.send_sms")


def tracing():
    """Our frames under trace and profile functions: f_lineno jumps (refused
    before the interpreter's setter runs), locals written back, raising hooks,
    and failed calls' frames cleared while their tracebacks live."""
    import traceback
    import smsline.send_sms as sms
    from tests.reliability import Failure, World
    refused = []

    def jumper(frame, event, arg):
        if frame.f_code.co_filename == sms.__file__ and event == "line":
            for target in (frame.f_code.co_firstlineno, frame.f_lineno, frame.f_lineno + 1, 10 ** 6, -1):
                try:
                    frame.f_lineno = target
                except ValueError:
                    refused.append(target)
            frame.f_locals["text"] = "changed"
        return jumper

    def raiser(when):
        def hook(frame, event, arg):
            if frame.f_code.co_filename == sms.__file__ and (event, frame.f_lineno) == when:
                raise Failure(event)
            return hook
        return hook
    hooks = [(sys.settrace, jumper), (sys.setprofile, jumper)] + [
        (setter, raiser(when)) for setter, when in ((sys.settrace, ("call", 45)), (sys.settrace, ("line", 52)),
                                                    (sys.settrace, ("line", 36)), (sys.setprofile, ("return", 70)))]
    for _ in range(REPETITIONS):
        for setter, hook in hooks:
            for plan in ({}, {("connect", "p1"): Failure("no")}, {"sendSms": Failure("send")}):
                world = World()
                world.faults.update(plan)
                undo = world.bind(own_serial_ports=False)
                setter(hook)
                try:
                    sms.send_sms("+1555", "text")
                except Exception as error:
                    traceback.TracebackException.from_exception(error, capture_locals=True)
                    traceback.clear_frames(error.__traceback__)
                finally:
                    setter(None)
                    undo()
    assert refused, "no f_lineno assignment was tried"


def interpreters():
    """Sub-interpreters refused before and after the main interpreter imports
    the package, and re-entry without end at a recursion limit far above
    what the C stack holds, on the main thread and on a thread with a small
    stack."""
    import _testcapi
    refused = "try:\n    import smsline\nexcept ImportError:\n    pass\nelse:\n    raise AssertionError('imported')\n"
    assert _testcapi.run_in_subinterp(refused) == 0
    import smsline.send_sms as sms
    assert _testcapi.run_in_subinterp(refused) == 0

    def again():
        return sms.send_sms("+1555", "again")
    ended = []

    def run():
        try:
            sms.send_sms("+1555", "text")
        except RecursionError:
            ended.append(True)
    saved = sms.serial_ports
    sms.serial_ports = again
    sys.setrecursionlimit(10 ** 6)
    try:
        run()
        threading.stack_size(256 * 1024)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(0)
        sys.setrecursionlimit(1000)
        sms.serial_ports = saved
    assert ended == [True, True], ended


SCENARIOS = {"functions": functions, "tracing": tracing, "loader": loader, "package_failure": package_failure,
             "submodule_failure": submodule_failure, "interpreters": interpreters}

if __name__ == "__main__":
    SCENARIOS[sys.argv[1]]()
