"""Threads, signals and asynchronous exceptions against serial_ports and send_sms.

Several threads call both functions at once through stand-ins that give up
the interpreter lock; a keyboard interrupt (SIGINT) and exceptions posted
with PyThreadState_SetAsyncExc arrive at many points of long port walks.
Whatever arrives must surface with a sound traceback, leave nothing behind,
and the next call must work.
"""
import _thread
import ctypes
import functools
import gc
import io
import itertools
import os
import random
import signal
import subprocess
import sys
import threading
import time
import types
import unittest

import smsline.send_sms as sms

from tests import support
from tests.reliability import SUBMODULE_FILE, Failure, PortError, World, bind_globals, call, our_entries, quiesce

serial_ports, send_sms = sms.serial_ports, sms.send_sms

# Lines at which each function can leave with an exception.
LINES = {"serial_ports": {23, 24, 25, 27, 28, 29, 31, 34, 36, 37, 38, 39},
         "send_sms": {48, 49, 51, 52, 53, 55, 57, 58, 60, 61, 67, 68, 70},
         "<listcomp>": {24}}
DURATION = 2.0      # seconds of concurrent calls


class Stop(BaseException):
    """Posted to a thread as an asynchronous exception."""


def assert_sound(test, error, function):
    """The entries of our code in `error`'s traceback are a call chain from `function` with valid lines."""
    ours = our_entries(error)
    for (name, line), inner in itertools.zip_longest(ours, ours[1:]):
        test.assertIn(line, LINES[name], ours)
        if inner is not None:
            test.assertIn((name, line, inner[0]), {("send_sms", 48, "serial_ports"),
                                                   ("serial_ports", 24, "<listcomp>")}, ours)
    if ours:
        test.assertEqual(ours[0][0], function, ours)
    # Every frame of ours that the traceback keeps has its locals recorded.
    tb = error.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == SUBMODULE_FILE and code.co_name != "<module>":
            test.assertLessEqual(set(tb.tb_frame.f_locals), set(code.co_varnames))
        tb = tb.tb_next
    return ours


class ConcurrentCalls(unittest.TestCase):

    THREADS = 4

    def test_threads_calling_both_functions(self):
        local = threading.local()
        problems = []

        def check_frame(function, line, depth=2):
            """The frame of ours that called the stand-in: its function, line and caller."""
            if not support.LIVE_FRAMES:
                return  # not seen while running
            frame = sys._getframe(depth)
            where = (frame.f_code.co_name, frame.f_lineno)
            if where != (function, line):
                problems.append("stand-in called from %r, expected %r" % (where, (function, line)))
            back = frame.f_back
            if function != local.function:
                # serial_ports inside send_sms: called from send_sms's frame.
                if back.f_code.co_name != "send_sms" or back.f_code.co_filename != SUBMODULE_FILE:
                    problems.append("%s called from %s" % (function, back.f_code.co_name))
                back = back.f_back
            if back is not local.caller:
                problems.append("%s's caller is not this thread's frame" % function)
            time.sleep(0)   # gives up the interpreter lock

        class Port(object):
            def __init__(self, name):
                self.name = name

            def close(self):
                check_frame("serial_ports", 37)

        def glob(pattern):
            check_frame("serial_ports", 27)
            return list(local.candidates)

        def open_port(name):
            check_frame("serial_ports", 36)
            if not name.startswith(local.prefix):
                problems.append("thread %s got candidate %s" % (local.prefix, name))
            if name.endswith("-busy"):
                raise PortError(name)
            if name.endswith("-broken") and local.fail_this_call:
                raise ValueError(name)
            return Port(name)

        class Modem(object):
            def __init__(self, port, baudrate):
                check_frame("send_sms", 49)
                self.port = port
                self.closed = False

            def connect(self, pin):
                check_frame("send_sms", 51)
                if self.port.endswith("-a"):
                    raise Failure("no modem on " + self.port)

            def waitForNetworkCoverage(self, timeout):
                check_frame("send_sms", 52)

            def sendSms(self, number, text, **keywords):
                check_frame("send_sms", 61)
                if number is not local.number or text is not local.text:
                    problems.append("arguments of another call")
                return types.SimpleNamespace(status=local.status)

            def close(self):
                check_frame("send_sms", 70 if not self.port.endswith("-a") else 55)
                self.closed = True
                local.closed.append(self.port)

        results = {}

        def worker(index):
            local.prefix = "T%d" % index
            local.candidates = [local.prefix + suffix for suffix in ("-a", "-busy", "-b", "-broken")]
            local.status = object()
            local.closed = []
            calls = failures = 0
            deadline = time.monotonic() + DURATION
            try:
                while time.monotonic() < deadline:
                    local.fail_this_call = calls % 3 == 2
                    local.caller = sys._getframe()
                    local.function = "serial_ports"
                    try:
                        ports = serial_ports()
                    except ValueError as error:
                        failures += 1
                        self.assertEqual(str(error), local.prefix + "-broken")
                        tb_names = [(tb.tb_frame.f_code.co_name, tb.tb_lineno)
                                    for tb in _walk(error.__traceback__)]
                        self.assertEqual(tb_names[1], ("serial_ports", 36))
                        self.assertEqual(tb_names[2][0], "open_port")
                        self.assertEqual(len(tb_names), 3)
                        del error
                    else:
                        self.assertEqual(ports, [local.prefix + "-a", local.prefix + "-b",
                                                 local.prefix + "-broken"])
                    local.fail_this_call = False
                    local.number, local.text = object(), object()
                    local.caller = sys._getframe()
                    local.function = "send_sms"
                    local.closed = []
                    status = send_sms(local.number, local.text)
                    self.assertIs(status, local.status)
                    self.assertEqual(local.closed, [local.prefix + "-a", local.prefix + "-b"])
                    calls += 1
            except BaseException as error:  # noqa: B902 - reported to the main thread
                problems.append("%s: %r" % (local.prefix, error))
            results[index] = (calls, failures)

        stand_ins = {"glob": types.SimpleNamespace(glob=glob),
                     "serial": types.SimpleNamespace(Serial=open_port, SerialException=PortError),
                     "sys": types.SimpleNamespace(platform="linux"), "GsmModem": Modem}
        undo = bind_globals(stand_ins, stdout=io.StringIO())
        try:
            threads = [threading.Thread(target=worker, args=(i,)) for i in range(self.THREADS)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        finally:
            undo()
        self.assertEqual(problems[:5], [])
        self.assertEqual(sorted(results), list(range(self.THREADS)))
        for calls, failures in results.values():
            self.assertGreater(calls, 0)
        # The cached frames still serve a call on this thread.
        self.assertIsInstance(serial_ports(), list)


def _walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


class InterruptedWalks(unittest.TestCase):
    """SIGINT and asynchronous exceptions at many points of long walks."""

    def setUp(self):
        self.saved_handler = signal.signal(signal.SIGINT, signal.default_int_handler)

    def tearDown(self):
        signal.signal(signal.SIGINT, self.saved_handler)

    def c_level_world(self, names, trip_at=None, platform="linux"):
        """Stand-ins without interpreter code: the only place a pending interrupt is taken is our loop step."""
        fine = types.SimpleNamespace(close=io.StringIO().close)
        table = dict.fromkeys(["COM%d" % i for i in range(1, 257)] + names, fine)
        if trip_at is not None:
            table[trip_at] = types.SimpleNamespace(close=_thread.interrupt_main)
        return {"sys": types.SimpleNamespace(platform=platform),
                "glob": types.SimpleNamespace(glob={"/dev/tty[A-Za-z]*": names}.__getitem__),
                "serial": types.SimpleNamespace(Serial=table.__getitem__, SerialException=PortError)}

    def test_interrupt_taken_at_the_loop_step(self):
        names = ["/dev/tty%04d" % i for i in range(200)]
        for trip_index in (0, 1, 7, 20, 21, 150):
            undo = bind_globals(self.c_level_world(names, names[trip_index]))
            try:
                serial_ports()
            except KeyboardInterrupt as error:
                ours = assert_sound(self, error, "serial_ports")
                self.assertEqual(ours, [("serial_ports", 34)])
                recorded = dict(error.__traceback__.tb_next.tb_frame.f_locals)
                taken_at = names.index(recorded["port"])
                # Taken at one of the next 21 loop steps, with the locals of that moment.
                self.assertTrue(trip_index <= taken_at <= trip_index + 20, (trip_index, taken_at))
                self.assertEqual(recorded["result"], names[:taken_at + 1])
                del error
            else:
                self.fail("the interrupt did not arrive")
            finally:
                undo()
            self.assertEqual(sys.exc_info(), (None, None, None))
        # The next call works.
        undo = bind_globals(self.c_level_world(names))
        try:
            self.assertEqual(serial_ports(), names)
        finally:
            undo()

    def test_interrupt_taken_in_the_com_name_builder(self):
        # The first walk trips the interrupt at its last candidate, COM256;
        # unless its very last loop step takes it, it is still pending when
        # the second call (made from C, so no interpreter code runs in
        # between) builds the COM names.
        # From 3.12 the comprehension runs in serial_ports' frame (PEP 709),
        # which shows `i` as the interruption left it.
        inlined = sys.version_info >= (3, 12)
        expected = (("serial_ports", 24),) if inlined else (("serial_ports", 24), ("<listcomp>", 24))
        seen = set()
        undo = bind_globals(self.c_level_world([], "COM256", platform="win32"))
        for attempt in range(40):
            try:
                list(itertools.starmap(serial_ports, [(), ()]))
            except KeyboardInterrupt as error:
                ours = tuple(assert_sound(self, error, "serial_ports"))
                seen.add(ours)
                if ours == expected:
                    inner = error.__traceback__.tb_next if inlined else error.__traceback__.tb_next.tb_next
                    recorded = inner.tb_frame.f_locals
                    self.assertIn("i", recorded)
                    self.assertTrue(0 <= recorded["i"] <= 20, recorded)
                    break
        undo()
        self.assertIn(expected, seen)

    def test_sigint_storm(self):
        """Real SIGINTs, sent by a child process at random moments of walks through interpreter stand-ins."""
        rng = random.Random(1234)
        world = World(candidates=["/dev/tty%03d" % i for i in range(60)], ports=["p%d" % i for i in range(40)],
                      record=False)
        world.faults[("connect", "p39")] = None
        for i in range(39):
            world.faults[("connect", "p%d" % i)] = Failure("no modem")
        undo = world.bind(own_serial_ports=False)
        landed = {}
        try:
            baseline = None
            for round_number in range(60):
                if round_number == 10:
                    # From here on the planned failures hold a traceback each
                    # (of their last raise) and the caches are full.
                    baseline = self._census()
                function = serial_ports if round_number % 2 else send_sms
                args = () if function is serial_ports else ("+1555", "text")
                if function is send_sms:
                    sms.serial_ports = world.serial_ports
                else:
                    sms.serial_ports = serial_ports
                sender, start = _kill_after(rng.uniform(0, 0.004))
                try:
                    with start:
                        start.write(b"go")
                    while True:
                        function(*args)
                except KeyboardInterrupt as error:
                    ours = assert_sound(self, error, function.__name__)
                    key = ours[-1] if ours else "outside"
                    landed[key] = landed.get(key, 0) + 1
                    del error
                os.waitpid(sender, 0)
                self.assertEqual(sys.exc_info(), (None, None, None))
                # The next call works and gives the right result.
                if function is serial_ports:
                    self.assertEqual(serial_ports(), world.candidates)
                else:
                    self.assertEqual(send_sms("+1555", "text"), 0)
            sms.serial_ports = serial_ports
            self.assertLessEqual(self._census() - baseline, 50)
        finally:
            undo()
        # The interrupts landed in more than one place inside the functions.
        self.assertGreater(len([key for key in landed if key != "outside"]), 1, landed)

    def test_async_exceptions_posted_to_a_walking_thread(self):
        names = ["/dev/tty%04d" % i for i in range(300)]
        world = self.c_level_world(names)
        undo = bind_globals(world)
        outcomes = []
        walking = threading.Event()
        done = threading.Event()

        def walker():
            # Each exception is posted only after `walking` is set inside the
            # try, so every one arrives there.
            while True:
                try:
                    walking.set()
                    while True:
                        serial_ports()
                except Stop as error:
                    outcomes.append(our_entries(error))
                    try:
                        assert_sound(self, error, "serial_ports")
                    except AssertionError as failure:
                        outcomes.append(failure)
                    del error
                    if done.is_set():
                        return
                    # The next call works.
                    if serial_ports() != names:
                        outcomes.append("wrong result after the exception")

        rng = random.Random(99)
        references = sys.getrefcount(Stop)
        set_async = ctypes.pythonapi.PyThreadState_SetAsyncExc
        set_async.argtypes = [ctypes.c_ulong, ctypes.py_object]
        thread = threading.Thread(target=walker)
        thread.start()
        try:
            for round_number in range(41):
                self.assertTrue(walking.wait(30))
                walking.clear()
                if round_number == 40:
                    done.set()
                time.sleep(rng.uniform(0, 0.003))
                self.assertEqual(set_async(thread.ident, Stop), 1)
        finally:
            thread.join(30)
            undo()
        self.assertFalse(thread.is_alive())
        failures = [outcome for outcome in outcomes if not isinstance(outcome, list)]
        self.assertEqual(failures, [])
        self.assertIn([("serial_ports", 34)], outcomes)
        quiesce()
        self.assertEqual(sys.getrefcount(Stop), references)

    def test_posted_exception_leaves_no_signal_behind(self):
        # Posted by a C-level stand-in, so that our loop step takes it; the
        # interpreter's private "exception posted" signal must be clear after.
        # A static variable of 3.6's bytecode loop; from 3.7 the signal lives
        # inside the runtime's state, where no symbol names it.
        posted = interpreter_static_int("pending_async_exc")
        if posted is None:
            self.skipTest("the interpreter's signal cannot be read here")
        names = ["/dev/tty%04d" % i for i in range(60)]
        world = self.c_level_world(names)
        set_async = ctypes.pythonapi.PyThreadState_SetAsyncExc
        set_async.argtypes = [ctypes.c_ulong, ctypes.py_object]
        table = dict.fromkeys(names, types.SimpleNamespace(close=io.StringIO().close))
        table[names[5]] = types.SimpleNamespace(close=functools.partial(set_async, threading.get_ident(), Stop))
        world["serial"].Serial = table.__getitem__
        undo = bind_globals(world)
        try:
            self.assertEqual(our_entries(call(serial_ports)[1]), [("serial_ports", 34)])
        finally:
            undo()
        self.assertEqual(posted.value, 0)

    def _census(self):
        quiesce()
        return len(gc.get_objects())


class InterpreterExitTests(unittest.TestCase):

    # Daemon threads walk ports whose modems fail, giving the interpreter lock
    # up in the modem's code or only at our loop step; a __del__ late in
    # finalization gives it up once more.  A thread that takes it then is
    # ended by the interpreter: the unwind passes through our frames, and the
    # thread runs no more code.
    SCENARIO = """
import builtins, os, threading, time
import smsline.send_sms as sms
state = {'finalizing': False, 'after': 0}
class Modem(object):
    def __init__(self, port, baudrate):
        state['after'] += state['finalizing']
    def connect(self, pin):
        %s
        raise RuntimeError('no modem here')
sms.GsmModem, sms.serial_ports = Modem, lambda: ['p%%d' %% i for i in range(50)]
def walk():
    while True:
        try:
            sms.send_sms('1', 't')
        except Exception:
            pass
for _ in range(4):
    threading.Thread(target=walk, daemon=True).start()
time.sleep(0.1)
class Late(object):
    write, sleep = os.write, time.sleep
    def __del__(self):
        state['finalizing'] = True
        self.sleep(0.05)
        self.write(1, b'code run during finalization: %%d' %% state['after'])
builtins.late = Late()
"""

    def test_exit_with_daemon_threads_inside_send_sms(self):
        # No leak check: ended threads never release what their frames held.
        options = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
        for connect in ["time.sleep(0.0005)", "pass"]:
            for attempt in range(2):
                result = support.run_python(self.SCENARIO % connect, env=options,
                                            path=[os.path.dirname(support.EXTENSION)])
                self.assertEqual((result.returncode, result.stdout), (0, "code run during finalization: 0"),
                                 result.stderr)


def interpreter_static_int(symbol):
    """A ctypes int over a static variable of the interpreter's library, found
    through its symbol table (None when that cannot be read)."""
    try:
        with open("/proc/self/maps") as maps:
            name = "libpython%d.%d" % sys.version_info[:2]
            library = ([line.split()[-1] for line in maps if name in line] or [sys.executable])[0]
        listing = subprocess.run(["nm", library], stdout=subprocess.PIPE, universal_newlines=True).stdout
    except OSError:
        return None
    addresses = {fields[2]: int(fields[0], 16) for fields in map(str.split, listing.splitlines()) if len(fields) == 3}
    if symbol not in addresses or "Py_Initialize" not in addresses:
        return None
    base = ctypes.cast(ctypes.pythonapi.Py_Initialize, ctypes.c_void_p).value - addresses["Py_Initialize"]
    return ctypes.c_int.from_address(base + addresses[symbol])


def _kill_after(delay):
    """A child process that sends SIGINT to this one `delay` seconds after it
    is told to start; its pid and the pipe (a file) to write to for the start.

    A thread of ours could only send it when it gets the interpreter lock,
    which would make the signal arrive at the moments we give the lock up.
    """
    parent = os.getpid()
    start_read, start_write = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            os.close(start_write)
            os.read(start_read, 2)
            time.sleep(delay)
            os.kill(parent, signal.SIGINT)
        finally:
            os._exit(0)
    os.close(start_read)
    # A file object, so that its descriptor is closed even when the signal
    # comes before the caller gets to close it.
    return child, os.fdopen(start_write, "wb", buffering=0)


if __name__ == "__main__":
    unittest.main()
