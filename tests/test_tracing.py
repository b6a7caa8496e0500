"""Trace and profile events, live locals and debuggers, against the interpreted twin.

The twin is smsline/send_sms.py: the same statements on the same
lines as plain Python.  Each scenario runs both with the same stand-ins, and
what the standard tools see of our functions must be what they see of the twin's.
"""
import bdb
import builtins
import cProfile
import contextlib
import gc
import importlib.util
import io
import json
import os
import pdb
import profile
import pstats
import re
import shutil
import sys
import trace
import traceback
import types
import unittest
import weakref

import smsline.send_sms as sms

from tests import support

_spec = importlib.util.spec_from_file_location(
    "reference_send_sms", os.path.join(support.ROOT, "smsline", "send_sms.py"))
twin = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(twin)
OURS = ("send_sms", "serial_ports", "<listcomp>")


class Modem(object):
    """The port says what fails: "bad" the probe, "intr" is interrupted, "refuse" the send."""
    FAULTS = {("bad", "connect"): ValueError, ("intr", "connect"): KeyboardInterrupt, ("refuse", "send"): KeyError}

    def __init__(self, port, baudrate):
        self.port = port

    def step(self, name, result=None):
        if (self.port, name) in self.FAULTS:
            raise self.FAULTS[self.port, name](name)
        return result

    def connect(self, pin):
        self.step("connect")

    def sendSms(self, number, text, **options):
        return self.step("send", types.SimpleNamespace(status=0))

    waitForNetworkCoverage = close = lambda self, *args: None


def Port(name):
    """serial.Serial: "bad" does not open (OSError), "kill" fails otherwise (KeyError)."""
    if name in ("bad", "kill"):
        raise (OSError if name == "bad" else KeyError)(name)
    return Modem(name, 0)


SCENARIOS = [("send_sms", ["ok"]), ("send_sms", ["bad", "ok"]), ("send_sms", ["bad"]), ("send_sms", []),
             ("send_sms", ["refuse"]), ("send_sms", ["intr"]), ("serial_ports", ["a", "bad", "b"]),
             ("serial_ports", ["kill"]), ("serial_ports", "win32"), ("serial_ports", "beos")]


@contextlib.contextmanager
def world(module, ports, port_list=True):
    """The stand-ins in the module's globals (`ports` a list, or a platform), stdout caught."""
    values = dict(GsmModem=Modem, glob=types.SimpleNamespace(glob=lambda pattern: list(ports)),
                  sys=types.SimpleNamespace(platform=ports if isinstance(ports, str) else "linux",
                                            exc_info=sys.exc_info),
                  serial=types.SimpleNamespace(Serial=Port, SerialException=OSError))
    if port_list:
        values["serial_ports"] = lambda: list(ports)
    saved = {name: module.__dict__[name] for name in values}
    module.__dict__.update(values)
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            yield
    finally:
        module.__dict__.update(saved)


@contextlib.contextmanager
def failing_print():
    """print replaced by ord, a built-in that refuses the str it is given."""
    saved = builtins.print
    builtins.print = ord
    try:
        yield
    finally:
        builtins.print = saved


def describe(value):
    return value if value is None or isinstance(value, (str, int)) else type(value).__name__


def shown_locals(frame):
    # (The COM name builder does not show the interpreter's hidden ".0".)
    return {name: describe(value) for name, value in frame.f_locals.items() if name != ".0"}


def run(module, name, ports, hook=None, setter=sys.settrace):
    """One scenario: the outcome, its traceback entries in the module's file
    with their locals, and the events of the module's functions."""
    events = []

    def listen(frame, event, arg):
        if frame.f_code.co_filename == module.__file__ and frame.f_code.co_name in OURS:
            # (c_call, c_return and c_exception: the built-ins the function calls.)
            events.append((frame.f_code.co_name, event, frame.f_lineno,
                           describe(arg[1]) if event == "exception" else getattr(arg, "__name__", describe(arg)),
                           shown_locals(frame) if event == "line" else None))
        return hook(frame, event, arg) if hook else listen
    error = result = None
    with world(module, ports, port_list=name == "send_sms"):
        setter(listen)
        try:
            result = module.serial_ports() if name == "serial_ports" else module.send_sms("1", "t")
        except BaseException as caught:
            error = caught
        finally:
            setter(None)
    tb = error and error.__traceback__
    entries = []
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == module.__file__:
            entries.append((tb.tb_frame.f_code.co_name, tb.tb_lineno, shown_locals(tb.tb_frame)))
        tb = tb.tb_next
    return (describe(result), describe(error), describe(error and error.__cause__), entries), events


def pdb_session(module, commands, ports=("bad", "ok")):
    """pdb's output for `commands` over a send_sms call (the module's file named FILE)."""
    bdb.Breakpoint.next, bdb.Breakpoint.bplist, bdb.Breakpoint.bpbynumber = 1, {}, [None]
    out = io.StringIO()
    debugger = pdb.Pdb(stdin=io.StringIO(commands), stdout=out)
    debugger.use_rawinput = False
    with world(module, list(ports)):
        debugger.runcall(module.send_sms, "1", "t")
    return out.getvalue().replace(module.__file__, "FILE")


@support.needs_events
class EventsTest(unittest.TestCase):

    def test_trace_and_profile_events_match_the_twin(self):
        # Every event with its line, argument and (for line events) the
        # locals the frame shows at that moment; outcome with failure locals.
        for setter in (sys.settrace, sys.setprofile):
            for name, ports in SCENARIOS:
                with self.subTest(hook=setter.__name__, function=name, ports=ports):
                    self.assertEqual(run(sms, name, ports, setter=setter), run(twin, name, ports, setter=setter))

    def test_raising_trace_and_profile_functions(self):
        # (hook, event, line): a call event that raises ends the call with no
        # entry of ours; a line event inside the probe is a probe failure;
        # a raising return event makes the call fail.
        class Stop(Exception):
            pass
        # send_sms returns from inside its try/finally: after the finally
        # block, 3.8 and 3.9 stand on the return statement again.
        return_line = 68 if (3, 8) <= sys.version_info[:2] < (3, 10) else 70
        for setter, when in ((sys.settrace, ("call", 45)), (sys.settrace, ("line", 52)),
                             (sys.settrace, ("line", 61)), (sys.setprofile, ("return", return_line))):
            def hook(frame, event, arg, when=when):
                if frame.f_code.co_name == "send_sms" and (event, frame.f_lineno) == when:
                    raise Stop(event)
                return None if setter is sys.setprofile else hook
            with self.subTest(hook=setter.__name__, when=when):
                ours, theirs = run(sms, "send_sms", ["ok"], hook, setter), run(twin, "send_sms", ["ok"], hook, setter)
                self.assertEqual(ours, theirs)
                self.assertIn("Stop", ours[0][1:3])  # raised, or the cause of "Gsm Device Not Found"

    def test_listeners_that_call_the_function_or_remove_themselves(self):
        # Inside a listener the function runs again unseen (the listener's
        # own code sends no events), and a listener that removes itself
        # hears nothing more; the outer call goes on as the twin's does.
        return_line = 68 if (3, 8) <= sys.version_info[:2] < (3, 10) else 70

        def again(frame, setter):
            self.assertEqual(frame.f_globals["send_sms"]("2", "u"), 0)

        def remove(frame, setter):
            setter(None)
        for setter, when, act in ((sys.settrace, ("call", 45), again), (sys.settrace, ("line", 61), again),
                                  (sys.setprofile, ("return", return_line), again),
                                  (sys.settrace, ("line", 52), remove), (sys.setprofile, ("call", 45), remove)):
            def hook(frame, event, arg, setter=setter, when=when, act=act):
                if frame.f_code.co_name == "send_sms" and (event, frame.f_lineno) == when:
                    act(frame, setter)
                return None if setter is sys.setprofile else hook
            with self.subTest(hook=setter.__name__, when=when, act=act.__name__):
                ours = run(sms, "send_sms", ["ok"], hook, setter)
                self.assertEqual(ours, run(twin, "send_sms", ["ok"], hook, setter))
                self.assertEqual(ours[0][:2], (0, None))

    @unittest.skipUnless(hasattr(sys, "monitoring"), "sys.monitoring is new in 3.12")
    def test_monitoring_tools_see_what_they_see_of_the_twin(self):
        # Every event a tool can have of our functions, with the line of its
        # offset (None: the exception-handling code) and its argument's kind.
        # Of calls, those of built-ins (the profilers' c_call events).
        monitoring, events = sys.monitoring, sys.monitoring.events
        names = {getattr(events, name): name for name in ("PY_START", "PY_RETURN", "PY_UNWIND", "LINE", "RAISE",
                 "RERAISE", "EXCEPTION_HANDLED", "CALL", "C_RETURN", "C_RAISE")}

        def record(module, name, ports):
            seen = []

            def listener(event):
                def callback(code, *args):
                    if code.co_filename != module.__file__ or code.co_name not in OURS:
                        return
                    if event == events.LINE:
                        line, detail = args[0], None
                    else:
                        line = {offset: line for start, end, line in code.co_lines()
                                for offset in range(start, end, 2)}[args[0]]
                        detail = args[1] if len(args) > 1 else None
                    if event in (events.CALL, events.C_RETURN, events.C_RAISE):
                        if type(detail).__name__ not in ("builtin_function_or_method", "method_descriptor"):
                            return
                        detail = detail.__name__
                    seen.append((code.co_name, names[event], line, describe(detail)))
                return callback
            tool = monitoring.DEBUGGER_ID
            monitoring.use_tool_id(tool, "test")
            try:
                for event in names:
                    monitoring.register_callback(tool, event, listener(event))
                with world(module, ports, port_list=name == "send_sms"):
                    monitoring.set_events(tool, sum(names))
                    try:
                        module.serial_ports() if name == "serial_ports" else module.send_sms("1", "t")
                    except BaseException:
                        pass
                    finally:
                        monitoring.set_events(tool, 0)
            finally:
                monitoring.free_tool_id(tool)
            return seen
        for name, ports in SCENARIOS:
            with self.subTest(function=name, ports=ports):
                self.assertEqual(record(sms, name, ports), record(twin, name, ports))
        # A built-in call that fails (print is ord, which refuses a long str):
        # C_RAISE, and the probe's failure caught.
        with self.subTest(function="send_sms", ports=["ok"], print="fails"):
            with failing_print():
                ours = record(sms, "send_sms", ["ok"])
                self.assertEqual(ours, record(twin, "send_sms", ["ok"]))
            self.assertIn(("send_sms", "C_RAISE", 53, "ord"), ours)

    def test_a_failing_builtin_call_under_a_profiler(self):
        with failing_print():
            ours = run(sms, "send_sms", ["ok"], setter=sys.setprofile)
            self.assertEqual(ours, run(twin, "send_sms", ["ok"], setter=sys.setprofile))
        self.assertIn(("send_sms", "c_exception", 53, "ord", None), ours[1])

    def test_profilers_and_trace_count_like_the_twin(self):
        def profile_counts(module, profiler, ports):
            # Our functions and the built-ins they call, with their callers.
            def calls():
                try:
                    module.send_sms("1", "t")
                except Exception:
                    pass  # every probe failed: "Gsm Device Not Found"
                module.serial_ports()
            with world(module, ports, port_list=False):
                profiler.runcall(calls)
            stats = pstats.Stats(profiler).stats
            return sorted((f[2], s[0], s[1], sorted(c[2] for c in s[4] if c[2] in OURS)) for f, s in stats.items()
                          if f[2] in OURS or any(c[0] == module.__file__ for c in s[4]))

        def line_counts(module, platform):
            tracer = trace.Trace(count=1, trace=0)
            with world(module, platform, port_list=False):
                tracer.runfunc(module.serial_ports)
            return sorted((line, n) for (file, line), n in tracer.results().counts.items() if file == module.__file__)
        for make in (cProfile.Profile, profile.Profile):
            for ports in (["bad", "ok"], ["bad", "bad"]):
                with self.subTest(profiler=make.__module__, ports=ports):
                    counts = profile_counts(sms, make(), ports)
                    self.assertEqual(counts, profile_counts(twin, make(), ports))
                    self.assertIn(("serial_ports", 2, 2, ["send_sms"]), counts)
                    self.assertTrue(any("startswith" in c[0] for c in counts))
                    if "ok" in ports:
                        for builtin in ("append", "print"):
                            self.assertTrue(any(builtin in c[0] for c in counts), builtin)
        self.assertEqual(line_counts(sms, "win32"), line_counts(twin, "win32"))

    def test_pdb_steps_into_send_sms_and_stops_at_breakpoints(self):
        # Stepping with the source lines shown, a function breakpoint, a
        # line breakpoint, one given by file name and line, and `list`.
        for commands in ("s\nn\nn\nn\nn\np sorted(locals())\nup\np phone_number\ndown\nn\nn\nn\np type(modem).__name__\nc\n",
                         "b send_sms\nc\nb 61\nc\nc\np phone_number, text, type(modem).__name__\nc\n",
                         "b {file}:61\nc\nl 58,62\np phone_number, type(modem).__name__\nc\n"):
            ours = pdb_session(sms, commands.format(file=sms.__file__))
            self.assertEqual(ours, pdb_session(twin, commands.format(file=twin.__file__)))
            self.assertIn("FILE(4", ours)
            self.assertIn("-> ", ours)


@support.needs_events
class JumpTest(unittest.TestCase):
    """Our frames cannot go on at another line: a jump is refused, saying so, before anything moves."""

    REFUSAL = "can't jump to line %d in 'send_sms': smsline's compiled functions cannot change which line runs next"

    def test_a_trace_functions_jump_is_refused(self):
        # Back, to the line itself, to an except line, forward, past the end:
        # each refused with the reason, the frame still at its line, and the
        # call's events, result and locals those of a call with no jump.
        def tracer(target, refusals):
            def hook(frame, event, arg):
                if target and frame.f_code.co_name == "send_sms" and (event, frame.f_lineno) == ("line", 52):
                    try:
                        frame.f_lineno = target
                    except ValueError as refused:
                        refusals.append((str(refused), frame.f_lineno))
                return hook
            return hook
        plain = run(sms, "send_sms", ["bad", "ok"], tracer(None, []))
        for target in (48, 52, 55, 61, 300):
            with self.subTest(target=target):
                refusals = []
                self.assertEqual(run(sms, "send_sms", ["bad", "ok"], tracer(target, refusals)), plain)
                self.assertEqual(refusals, [(self.REFUSAL % target, 52)])

    def test_pdb_reports_the_refusal(self):
        # At line 48, before the port walk: the refusal, and the frame is still
        # there (the walk has not made a modem).
        out = pdb_session(sms, "n\njump 58\np modem\nc\n", ports=["ok"])
        self.assertRegex(out, r"FILE\(48\)send_sms\(\)\n(-> .*\n)?\(Pdb\) \*\*\* Jump failed: %s\n\(Pdb\) None\n"
                         % re.escape(self.REFUSAL % 58))


@support.needs_live_frames
class HeldFramesTest(unittest.TestCase):

    def test_holders_find_what_they_find_of_the_twin(self):
        # Three successful calls.  The modem keeps the first call's frame,
        # and of the second call only what reading its locals gave (up to
        # 3.12 a dictionary, alone; from 3.13 a view, which holds the frame),
        # into which it writes a name.  Afterwards the kept frame still has
        # its locals and its caller, the reader its names and values, and no
        # call saw a name of another.
        def observe(module):
            seen, kept = [], {}

            class Holding(Modem):
                def connect(self, pin):
                    frame = sys._getframe(1)
                    seen.append(sorted(frame.f_locals))
                    if len(seen) == 1:
                        kept["frame"] = frame
                    elif len(seen) == 2:
                        kept["locals"] = frame.f_locals
                        kept["locals"]["@tag"] = "written"

            def caller(number):
                return module.send_sms(number, "t")
            with world(module, ["ok"]):
                module.GsmModem = Holding
                results = [caller(number) for number in "123"]
            frame = kept["frame"]
            return (results, seen, shown_locals(frame), frame.f_back and frame.f_back.f_code.co_name,
                    sorted((name, describe(value)) for name, value in dict(kept["locals"]).items()))
        self.assertEqual(observe(sms), observe(twin))



    COLLECTED_CHILD = """
        import gc, sys, types
        import smsline.send_sms as m
        m.sys = types.SimpleNamespace(platform="plan9")   # serial_ports fails at once
        keep = []

        class Calling:
            def __del__(self):
                try:
                    m.serial_ports()
                except OSError:
                    print("called from a finaliser")

        armed = True
        def profile(frame, event, arg):
            # On the failing call's return, garbage with a finaliser and a full
            # first generation: the next allocation, the caller's frame object
            # that the held frame is given as it leaves, runs a collection.
            global armed
            if armed and event == "return" and frame.f_code.co_name == "serial_ports":
                armed = False
                gc.disable()
                garbage = Calling(); garbage.cycle = garbage; del garbage
                keep.extend([] for _ in range(1000))
                gc.enable()

        def caller():
            sys.setprofile(profile)
            try:
                m.serial_ports()
            except OSError as e:
                sys.setprofile(None)
                frame = e.__traceback__.tb_next.tb_frame
                print(frame.f_code.co_name, frame.f_lineno)

        caller()
        gc.collect()
        """

    @unittest.skipUnless(support.EVENTS_SENT, "profile events are sent only from live frames")
    def test_a_collection_while_a_held_frame_leaves_does_not_free_it(self):
        with support.ExtensionDir() as directory:
            done = support.run_python(self.COLLECTED_CHILD, path=[directory.path])
        self.assertEqual((done.returncode, sorted(done.stdout.splitlines())),
                         (0, ["called from a finaliser", "serial_ports 31"]), done.stderr)

class SourceTest(unittest.TestCase):
    """The submodule's Python text, which the shared object carries: what tools show of it."""

    CHILD = """
        import inspect, json, sys, traceback
        import smsline.send_sms as sms
        sms.serial_ports = lambda: []
        try:
            sms.send_sms("1", "t")
        except Exception:
            formatted = traceback.format_exc()
        print(json.dumps([formatted, inspect.getsource(sms.send_sms)]))
        sms.send_sms("1", "t")
        """

    def test_tracebacks_and_inspect_show_the_text(self):
        # In a fresh interpreter, with the extension alone (the text comes
        # from the shared object) and with the text's file beside it (as a
        # build and an install put it): the traceback module, inspect and, for
        # the uncaught failure, the interpreter's own printer show the lines.
        # The interpreter's printer reads files only up to 3.12.
        with open(twin.__file__) as file:
            text = file.read()
        function = text[text.index("def send_sms"):text.index("\n\n\nimport threading")] + "\n"
        failing = '    raise Exception("Gsm Device Not Found") from _probe.failure\n'
        for beside in (False, True):
            with self.subTest(beside=beside), support.ExtensionDir() as directory:
                if beside:
                    os.mkdir(os.path.join(directory.path, "smsline"))
                    shutil.copy(twin.__file__, os.path.join(directory.path, "smsline"))
                done = support.run_python(self.CHILD, path=[directory.path])
                formatted, source = json.loads(done.stdout)
                self.assertIn('send_sms.py", line 58, in send_sms\n' + failing, formatted)
                self.assertEqual(source, function)
                if beside or sys.version_info >= (3, 13):
                    self.assertIn(failing, done.stderr)


class LocalsTest(unittest.TestCase):

    def test_clearing_a_failed_calls_frame_releases_its_locals(self):
        with world(sms, ["refuse"]):
            try:
                sms.send_sms("+1", "text")
            except KeyError as error:
                tb = error.__traceback__
        frame = tb.tb_next.tb_frame
        modem = weakref.ref(frame.f_locals["modem"])
        traceback.clear_frames(tb)
        self.assertEqual(frame.f_locals, {})
        gc.collect()
        self.assertIsNone(modem())


if __name__ == "__main__":
    unittest.main()
