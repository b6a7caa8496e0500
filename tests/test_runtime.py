"""How our functions run inside the interpreter: frames, lines, handled exceptions, the loop service step."""
import builtins
import contextlib
import faulthandler
import inspect
import io
import json
import os
import sys
import tempfile
import textwrap
import traceback
import unittest
import warnings

import smsline.send_sms as m
from tests import support
from tests.fakes import (FakeGlob, FakeModemFactory, FakeSerialException, FakeSerialModule, FakeSys, MISSING,
                         bound_globals)

SERIAL_PORTS_CODE = m.serial_ports.__code__


def linux_world(names, serial_module):
    return {"sys": FakeSys("linux"), "glob": FakeGlob(names), "serial": serial_module}


class HookedSerial(FakeSerialModule):
    """A serial module whose Serial first runs `hook(caller_frame, name)`."""

    def __init__(self, hook, **options):
        super(HookedSerial, self).__init__(**options)
        self.hook = hook

    def Serial(self, name):
        self.hook(sys._getframe(1), name)
        return super(HookedSerial, self).Serial(name)


def marker(*args):
    return marker


@support.needs_live_frames
class FrameTest(unittest.TestCase):

    def test_successful_calls_reuse_one_frame(self):
        seen, views = [], []

        def hook(frame, name):
            # Keep the frame's f_locals dictionary where the frame keeps one
            # (up to 3.12: from 3.13 each read gives a new view, which would
            # hold the frame) and leave a debugger's f_trace on it: the next
            # call must inherit neither.
            if support.F_LOCALS_KEPT:
                views.append(frame.f_locals)
            seen.append((name, id(frame), not views or frame.f_locals is views[0], frame.f_trace,
                         frame.f_code is SERIAL_PORTS_CODE, frame.f_globals is m.__dict__, frame.f_back is caller))
            frame.f_trace = marker
            with self.assertRaisesRegex(RuntimeError, "cannot clear an executing frame"):
                frame.clear()

        caller = sys._getframe()
        with bound_globals(m, **linux_world(["/dev/ttyA"], HookedSerial(hook))):
            m.serial_ports()
        with bound_globals(m, **linux_world(["/dev/ttyB"], HookedSerial(hook))):
            m.serial_ports()
        del caller
        # One frame (a new one would be made while the old one still exists).
        frame_id = seen[0][1]
        self.assertEqual(seen, [("/dev/ttyA", frame_id, True, None, True, True, True),
                                ("/dev/ttyB", frame_id, not views, None, True, True, True)])
        # The reader keeps what it saw of the first call (the list it saw
        # as `result` got the port afterwards).
        self.assertEqual([sorted(view.items()) for view in views[:1]],
                         [[("port", "/dev/ttyA"), ("ports", ["/dev/ttyA"]), ("result", ["/dev/ttyA"])]] if views else [])

    def test_a_held_frame_is_not_reused(self):
        held = []
        with bound_globals(m, **linux_world(["/dev/ttyA"], HookedSerial(lambda f, n: held.append(f)))):
            m.serial_ports()
            m.serial_ports()
        self.assertIsNot(held[0], held[1])
        # Off the stack after the call (clearing is allowed), keeping its
        # caller as the interpreter's frames do.
        self.assertIs(held[0].f_back, sys._getframe())
        held[0].clear()

    def test_a_generator_walks_the_frame_after_the_call(self):
        # Started while the call runs, finished after it: the frame it took
        # answers f_back as a frame the interpreter handed over does.
        def walk_out(frame):
            while frame is not None:
                yield frame.f_code.co_name
                frame = frame.f_back

        walks = []

        def hook(frame, name):
            walks.append(walk_out(frame))
            walks.append(next(walks[0]))

        with bound_globals(m, **linux_world(["/dev/ttyA"], HookedSerial(hook))):
            m.serial_ports()
        names = [walks[1]] + list(walks[0])
        expected = ["serial_ports", "test_a_generator_walks_the_frame_after_the_call"]
        self.assertEqual(names[:2], expected)

    def test_failed_call_hands_its_frame_to_the_traceback(self):
        frames = []
        fake = HookedSerial(lambda f, n: frames.append(id(f)), open_outcomes={"/dev/ttyB": ValueError})
        with bound_globals(m, **linux_world(["/dev/ttyA", "/dev/ttyB"], fake)):
            try:
                m.serial_ports()
            except ValueError as error:
                failed = error.__traceback__.tb_next.tb_frame
            self.assertIs(failed.f_code, SERIAL_PORTS_CODE)
            self.assertEqual(frames[:2], [id(failed)] * 2)
            recorded = dict(failed.f_locals)
            line = failed.f_lineno
            self.assertEqual(sorted(recorded), ["port", "ports", "result", "s"])
            self.assertEqual(recorded["result"], ["/dev/ttyA"])

            fake.open_outcomes.clear()
            fake.hook = lambda f, n: frames.append(f is failed)
            self.assertEqual(m.serial_ports(), ["/dev/ttyA", "/dev/ttyB"])
        self.assertEqual(frames[2:], [False, False])
        self.assertEqual(failed.f_locals, recorded)
        self.assertEqual(failed.f_lineno, line)
        self.assertIs(failed.f_back, sys._getframe())

    def test_a_failed_frame_keeps_its_callers_frame_made_or_not(self):
        # The caller's frame object exists already (it asked for it) or is
        # made as the failed frame leaves the stack: either way it is the
        # failed frame's f_back, and the exception arrives whole.
        def caller(ask):
            own = sys._getframe() if ask else None
            try:
                m.serial_ports()
            except ValueError as error:
                return error, own

        fake = HookedSerial(lambda f, n: None, open_outcomes={"/dev/ttyA": ValueError})
        with bound_globals(m, **linux_world(["/dev/ttyA"], fake)):
            for ask in (False, True):
                error, own = caller(ask)
                entry = error.__traceback__
                self.assertEqual((entry.tb_frame.f_code, entry.tb_next.tb_frame.f_code),
                                 (caller.__code__, SERIAL_PORTS_CODE))
                self.assertIs(entry.tb_next.tb_frame.f_back, entry.tb_frame)
                self.assertIs(own or entry.tb_frame, entry.tb_frame)

    def test_one_entry_per_call(self):
        # serial_ports called again from inside its own probe: the inner call
        # gets a frame of its own; the ValueError passes through both calls,
        # each catching, examining and letting it go.
        calls = []

        def reenter(frame, name):
            calls.append(name)
            if len(calls) == 1:
                m.serial_ports()
            raise ValueError("inner")

        with bound_globals(m, **linux_world(["/dev/ttyA"], HookedSerial(reenter))):
            try:
                m.serial_ports()
            except ValueError as error:
                entries = [(tb.tb_frame, tb.tb_lineno) for tb in walk(error.__traceback__)
                           if tb.tb_frame.f_code is SERIAL_PORTS_CODE]
            self.assertEqual([line for frame, line in entries], [36, 36])
            self.assertIsNot(entries[0][0], entries[1][0])
            self.assertEqual(m.serial_ports.__name__, "serial_ports")
        with bound_globals(m, **linux_world(["/dev/ttyC"], FakeSerialModule())):
            self.assertEqual(m.serial_ports(), ["/dev/ttyC"])


def walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


@support.needs_live_frames
class LineVisibilityTest(unittest.TestCase):
    """What the interpreter's own readers see of a running call."""

    def test_readers_see_the_current_line(self):
        seen = {}

        def hook(frame, name):
            seen["f_lineno"] = frame.f_lineno
            info = inspect.stack(context=0)[2]  # [0] hook, [1] Serial
            seen["stack"] = (info.function, info.lineno, info.filename)
            summary = traceback.extract_stack()[-3]
            seen["extract_stack"] = (summary.name, summary.lineno, summary.filename)
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                warnings.warn("from a probe", UserWarning, stacklevel=3)
            seen["warning"] = (caught[0].filename, caught[0].lineno)
            with tempfile.TemporaryFile(mode="w+") as dump:
                faulthandler.dump_traceback(dump, all_threads=False)
                dump.seek(0)
                seen["faulthandler"] = dump.read()

        with bound_globals(m, **linux_world(["/dev/ttyA"], HookedSerial(hook))):
            m.serial_ports()
        self.assertEqual(seen["f_lineno"], 36)
        self.assertEqual(seen["stack"], ("serial_ports", 36, m.__file__))
        self.assertEqual(seen["extract_stack"], ("serial_ports", 36, m.__file__))
        self.assertEqual(seen["warning"], (m.__file__, 36))
        self.assertIn('  File "%s", line 36 in serial_ports\n' % m.__file__, seen["faulthandler"])

    def test_each_statement_marks_its_line(self):
        lines = []

        def caller_line():
            lines.append(sys._getframe(2).f_lineno)

        class Platform(str):
            def startswith(self, prefix):
                caller_line()
                return str.startswith(self, prefix)

        class Glob(FakeGlob):
            def glob(self, pattern):
                caller_line()
                return super(Glob, self).glob(pattern)

        class Serial(FakeSerialModule):
            def Serial(self, name):
                caller_line()
                port = super(Serial, self).Serial(name)
                port.close = lambda: lines.append(sys._getframe(1).f_lineno)
                return port

            @property
            def SerialException(self):
                caller_line()
                return FakeSerialException

        def fake_serial(**options):
            return Serial(exception_class=MISSING, **options)

        for platform, expected in (("linux", [23, 25, 27, 36, 37]), ("cygwin", [23, 25, 25, 27, 36, 37]),
                                   ("darwin", [23, 25, 25, 28, 29, 36, 37])):
            with self.subTest(platform=platform):
                del lines[:]
                fakes = {"sys": FakeSys(Platform(platform)), "glob": Glob(["/dev/ttyA"]), "serial": fake_serial()}
                with bound_globals(m, **fakes):
                    m.serial_ports()
                self.assertEqual(lines, expected)
        del lines[:]
        fakes = {"sys": FakeSys(Platform("linux")), "glob": Glob(["/dev/ttyA"]),
                 "serial": fake_serial(open_outcomes={"/dev/ttyA": OSError})}
        with bound_globals(m, **fakes):
            m.serial_ports()
        self.assertEqual(lines, [23, 25, 27, 36, 39])


FRAME_ROUTE_CHILD = """
import json, sys, types, warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import smsline.send_sms as m
    import importlib
    importlib.import_module("smsline.send_sms")
    callers = []

    def opener(name):
        callers.append(sys._getframe(1).f_code.co_name)
        if name == "/dev/ttyB":
            raise ValueError(name)
        return types.SimpleNamespace(close=int)

    m.sys = types.SimpleNamespace(platform="linux")
    m.glob = types.SimpleNamespace(glob=lambda pattern: ["/dev/ttyA", "/dev/ttyB"])
    m.serial = types.SimpleNamespace(Serial=opener, SerialException=OSError)
    heard = []
    sys.setprofile(lambda frame, event, arg: heard.append(event) if frame.f_code.co_filename == m.__file__ else None)
    try:
        m.serial_ports()
    except ValueError as error:
        sys.setprofile(None)
        tb, entries = error.__traceback__, []
        while tb is not None:
            ours = tb.tb_frame.f_code.co_filename == m.__file__
            entries.append([tb.tb_frame.f_code.co_name, tb.tb_lineno,
                            repr(sorted(tb.tb_frame.f_locals.items())) if ours else None])
            tb = tb.tb_next
print(json.dumps({"warnings": [[w.category.__name__, str(w.message)] for w in caught],
                  "callers": callers, "entries": entries, "heard": heard}))
"""


@unittest.skipIf(sys.version_info < (3, 11), "up to 3.10 the frames always run in the thread's frame stack")
class FrameRouteTest(unittest.TestCase):
    """TARVIK_NO_LIVE_FRAMES_smsline forces the route taken when the start-up check fails."""

    def run_child(self, forced, **env):
        env["TARVIK_NO_LIVE_FRAMES_smsline"] = "1" if forced else None
        done = support.run_python(FRAME_ROUTE_CHILD, env=env, path=[os.path.dirname(support.EXTENSION)])
        self.assertEqual(done.returncode, 0, done.stderr)
        return json.loads(done.stdout)

    def test_frames_made_for_the_traceback(self):
        live, forced = self.run_child(False), self.run_child(True)
        self.assertEqual(live["warnings"], [])
        self.assertEqual(len(forced["warnings"]), 1, forced["warnings"])
        category, message = forced["warnings"][0]
        self.assertEqual(category, "RuntimeWarning")
        self.assertIn("frames of smsline's functions will not be seen while they run", message)
        self.assertIn("TARVIK_NO_LIVE_FRAMES_smsline is set", message)
        # Unseen while running, the same in the traceback: lines and locals.
        self.assertEqual(live["callers"], ["serial_ports", "serial_ports"])
        self.assertEqual(forced["callers"], ["<module>", "<module>"])
        self.assertEqual(forced["entries"], live["entries"])
        self.assertEqual([entry[:2] for entry in live["entries"]], [["<module>", 22], ["serial_ports", 36],
                                                                   ["opener", 13]])
        self.assertIn("'result', ['/dev/ttyA']", live["entries"][1][2])
        # Events only where the frames are live.
        self.assertEqual(live["heard"][::len(live["heard"]) - 1], ["call", "return"])
        self.assertEqual(forced["heard"], [])

    def test_warning_turned_into_an_error_fails_the_import(self):
        done = support.run_python("import smsline", env={"TARVIK_NO_LIVE_FRAMES_smsline": "1",
                                                         "PYTHONWARNINGS": "error::RuntimeWarning"},
                                  path=[os.path.dirname(support.EXTENSION)])
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("RuntimeWarning: on this interpreter", done.stderr)


class HandledExceptionTest(unittest.TestCase):

    def test_examined_exception_is_the_handled_one(self):
        seen = []

        class Serial(FakeSerialModule):
            @property
            def SerialException(self):
                seen.append(sys.exc_info())
                return FakeSerialException

        with bound_globals(m, **linux_world(["/dev/ttyA", "/dev/ttyB"],
                                            Serial(exception_class=MISSING, open_outcomes={"/dev/ttyA": OSError}))):
            try:
                raise KeyError("handled by the caller")
            except KeyError as outer:
                outer_error = outer
                self.assertEqual(m.serial_ports(), ["/dev/ttyB"])
                self.assertIs(sys.exc_info()[1], outer)
            self.assertEqual(sys.exc_info(), (None, None, None))
            self.assertEqual(m.serial_ports(), ["/dev/ttyB"])
            self.assertEqual(sys.exc_info(), (None, None, None))
        self.assertEqual(len(seen), 2)
        exc_type, value, tb = seen[0]
        self.assertIs(exc_type, OSError)
        self.assertIsInstance(value, OSError)
        # It already carries our entry, at the line that failed.
        self.assertIs(value.__traceback__, tb)
        self.assertIs(tb.tb_frame.f_code, SERIAL_PORTS_CODE)
        self.assertEqual(tb.tb_lineno, 36)
        # Raised while the caller handled its KeyError.
        self.assertIs(value.__context__, outer_error)

    def test_handled_inside_a_generator(self):
        # From 3.7 the handled exception is the top of a stack in which a
        # running generator has its own item: the handler works on that one.
        seen = []

        class Serial(FakeSerialModule):
            @property
            def SerialException(self):
                seen.append(sys.exc_info()[1])
                return FakeSerialException

        def walk():
            try:
                raise ValueError("handled by the generator")
            except ValueError as own:
                yield m.serial_ports(), own, sys.exc_info()[1]

        with bound_globals(m, **linux_world(["/dev/ttyA"], Serial(exception_class=MISSING,
                                                                   open_outcomes={"/dev/ttyA": OSError}))):
            try:
                raise KeyError("handled by the caller")
            except KeyError as outer:
                ports, own, after = next(walk())
                self.assertIs(sys.exc_info()[1], outer)
        self.assertEqual(ports, [])
        self.assertIs(after, own)
        self.assertEqual(len(seen), 1)
        self.assertIsInstance(seen[0], OSError)
        self.assertIs(seen[0].__context__, own)

    def test_builtins_and_globals(self):
        recorded = []
        factory = FakeModemFactory()
        output = io.StringIO()
        with bound_globals(m, serial_ports=lambda: ["/dev/ttyA"], GsmModem=factory,
                           print=lambda *args: recorded.append(args)):
            with contextlib.redirect_stdout(output):
                m.send_sms("+100", "hi")
        self.assertEqual(recorded, [])
        self.assertEqual(output.getvalue().splitlines(),
                         ["Gsm Device Found on Port: /dev/ttyA", "Sending message now.", "0"])

        # A global missing from the module is looked up in builtins.
        fake_glob = FakeGlob(["/dev/ttyZ"])
        with bound_globals(m, sys=FakeSys("linux"), glob=MISSING, serial=FakeSerialModule()), \
                bound_globals(builtins, glob=fake_glob):
            self.assertEqual(m.serial_ports(), ["/dev/ttyZ"])
        self.assertEqual(fake_glob.patterns, ["/dev/tty[A-Za-z]*"])


# Fresh interpreters: the loop service countdown starts at 20 there.  The
# fakes below run no Python code (Serial is a defaultdict's item lookup that
# hands out prepared port objects, close is a built-in), so pending calls and
# posted exceptions are seen only by the loop service step, never by the
# bytecode loop in between.
LOOP_PRELUDE = """
import collections, ctypes, functools, json, os, signal, sys, threading, types
import smsline
import smsline.send_sms as m
assert smsline.__file__ == %r

class FakeSerialException(Exception):
    pass

current = []

def c_level_world(platform, count, closes=None):
    closes = closes or {}
    ports = [types.SimpleNamespace(close=closes.get(k, tuple)) for k in range(1, count + 1)]
    opened = collections.defaultdict(iter(ports).__next__)
    current[:] = [opened]
    names = ["/dev/ttyX%%d" %% k for k in range(1, count + 1)]
    m.sys = types.SimpleNamespace(platform=platform)
    m.glob = types.SimpleNamespace(glob={"/dev/tty[A-Za-z]*": names}.__getitem__)
    m.serial = types.SimpleNamespace(Serial=opened.__getitem__, SerialException=FakeSerialException)
    return opened

def send_signal(number):
    # libc's kill: from 3.11 os.kill looks at the signals it sent itself before returning.
    return functools.partial(ctypes.CDLL(None).kill, os.getpid(), number)

def post(exception):
    return functools.partial(ctypes.pythonapi.PyThreadState_SetAsyncExc,
                             ctypes.c_long(threading.get_ident()), ctypes.py_object(exception))

def fails_to_close():
    return functools.partial(os.stat, "/nonexistent/smsline-test")

def entries(tb):
    out = []
    while tb is not None:
        out.append([tb.tb_frame.f_code.co_name, tb.tb_lineno])
        tb = tb.tb_next
    return out

def report(**facts):
    print("REPORT " + json.dumps(facts))
"""


def run_loop_child(testcase, code):
    import smsline
    prelude = LOOP_PRELUDE % smsline.__file__
    result = support.run_python(prelude + textwrap.dedent(code), path=[os.path.dirname(smsline.__file__)])
    lines = [line for line in result.stdout.splitlines() if line.startswith("REPORT ")]
    testcase.assertEqual(len(lines), 1, result.stdout + result.stderr)
    return json.loads(lines[0][len("REPORT "):])


class LoopServiceTest(unittest.TestCase):

    def test_countdown(self):
        facts = run_loop_child(self, """
            seen = []
            def handler(signum, frame):
                seen.append([frame.f_code.co_name, len(current[0])])
            signal.signal(signal.SIGUSR1, handler)

            def probe(platform, count, closes):
                c_level_world(platform, count, closes)
                return m.serial_ports()

            # 20 steps: nothing runs inside the call; the handler runs as soon
            # as the caller's bytecode resumes.
            first = probe("linux", 20, {1: send_signal(signal.SIGUSR1)})
            after_first = list(seen)
            # The 21st step is the first of the next call.
            probe("linux", 3, {1: send_signal(signal.SIGUSR1)})
            # Then 18 left: candidates whose close fails count too.
            closes = {k: fails_to_close() for k in range(3, 30)}
            closes[2] = send_signal(signal.SIGUSR1)
            third = probe("linux", 30, closes)
            report(first=len(first), seen=seen, after_first=after_first, third=third)
            """)
        self.assertEqual(facts["first"], 20)
        self.assertEqual(facts["after_first"], [["probe", 20]])
        # The handler runs in serial_ports, seen as its frame where frames are live.
        inside = "serial_ports" if support.LIVE_FRAMES else "probe"
        self.assertEqual(facts["seen"], [["probe", 20], [inside, 1], [inside, 19]])
        self.assertEqual(facts["third"], ["/dev/ttyX1", "/dev/ttyX2", "/dev/ttyX30"])

    def test_com_name_builder_steps(self):
        # The platform test posts the exception; the 21st step, inside the
        # COM name builder, raises it.
        facts = run_loop_child(self, """
            c_level_world("win32", 256)
            m.sys = types.SimpleNamespace(platform=types.SimpleNamespace(startswith=post(ValueError)))
            try:
                m.serial_ports()
            except ValueError as error:
                tb = error.__traceback__
                while tb.tb_frame.f_code.co_name != "serial_ports":
                    tb = tb.tb_next
                outer_locals = dict(tb.tb_frame.f_locals)
                inner = tb.tb_next or tb
                report(entries=entries(error.__traceback__)[1:], outer_locals=outer_locals,
                       inner_locals=dict(inner.tb_frame.f_locals), inner_file=inner.tb_frame.f_code.co_filename,
                       opened=len(current[0]), file=m.__file__)
            """)
        # `i` as the failure left it: in the comprehension's frame up to
        # 3.11, in serial_ports' own from 3.12 (PEP 709), as the
        # interpreter's traceback shows it.
        inlined = sys.version_info >= (3, 12)
        self.assertEqual(facts["entries"], [["serial_ports", 24]] if inlined else [["serial_ports", 24], ["<listcomp>", 24]])
        self.assertEqual(facts["inner_locals"], {"i": 20})
        self.assertEqual(facts["outer_locals"], {"i": 20} if inlined else {})
        self.assertEqual(facts["inner_file"], facts["file"])
        self.assertEqual(facts["opened"], 0)

    def test_interrupt_and_posted_exception_in_the_probe_loop(self):
        # After 256 name-builder steps from a fresh countdown, the probe
        # loop's pending-call steps fall on candidates 17, 38, 59, 80, 101.
        facts = run_loop_child(self, """
            # Started in the background, the interpreter may have found SIGINT ignored.
            signal.signal(signal.SIGINT, signal.default_int_handler)

            def failure(exception_type, closes):
                opened = c_level_world("win32", 256, closes)
                try:
                    m.serial_ports()
                except exception_type as error:
                    tb = error.__traceback__
                    while tb.tb_frame.f_code.co_name != "serial_ports":
                        tb = tb.tb_next
                    local = tb.tb_frame.f_locals
                    return {"entries": entries(tb), "port": local["port"], "result": len(local["result"]),
                            "ports": len(local["ports"]), "s": local["s"] is opened[local["port"]],
                            "opened": len(opened), "context": error.__context__ is not None}

            interrupt = failure(KeyboardInterrupt, {100: send_signal(signal.SIGINT)})
            posted = failure(ValueError, {50: post(ValueError)})
            c_level_world("linux", 2)
            report(interrupt=interrupt, posted=posted, next=m.serial_ports(), exc_info=repr(sys.exc_info()))
            """)
        self.assertEqual(facts["interrupt"], {"entries": [["serial_ports", 34]], "port": "COM101", "result": 101,
                                              "ports": 256, "s": True, "opened": 101, "context": False})
        self.assertEqual(facts["posted"], {"entries": [["serial_ports", 34]], "port": "COM59", "result": 59,
                                           "ports": 256, "s": True, "opened": 59, "context": False})
        self.assertEqual(facts["next"], ["/dev/ttyX1", "/dev/ttyX2"])
        self.assertEqual(facts["exc_info"], "(None, None, None)")

    def test_other_threads_run_at_the_service_step(self):
        # A thread waiting for the interpreter lock gets it at the 21st step
        # (the lock is released and taken again there), not before: every
        # other step runs without giving the lock up.
        facts = run_loop_child(self, """
            sys.setswitchinterval(1e-6)
            gate = threading.Lock()
            gate.acquire()
            seen = []
            def worker():
                with gate:
                    seen.append(len(current[0]))
            thread = threading.Thread(target=worker)
            thread.start()
            busy = functools.partial(sum, range(3000000))
            c_level_world("linux", 30, {1: gate.release, 2: busy})
            result = m.serial_ports()
            thread.join()
            report(seen=seen, result=len(result))
            """)
        self.assertEqual(facts, {"seen": [21], "result": 30})


if __name__ == "__main__":
    unittest.main()
