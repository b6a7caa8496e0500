"""send_sms against in-memory stand-ins for the modem library and the port list.

The stand-ins are bound to the submodule's globals for one test at a time;
the function looks its globals up at every use, so each call sees them.
"""
import builtins
import collections
import contextlib
import ctypes
import dis
import gc
import io
import os
import sys
import types
import unittest
import weakref

import smsline.send_sms as sms

from tests import support

NOT_FOUND = "Gsm Device Not Found"
FOUND = "Gsm Device Found on Port: "
SENDING = "Sending message now."


def entries_of(tb):
    """(function name, line) of each traceback entry, outermost first."""
    walked = []
    while tb is not None:
        walked.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return walked


def line_of_instruction(code, offset):
    """The line that the interpreter's own reading of the code's line table
    gives the instruction at byte `offset`."""
    line = None
    for start, number in dis.findlinestarts(code):
        if start > offset:
            break
        line = number if number is not None else line
    return line


class Abort(BaseException):
    """Not an Exception: stands for a keyboard interrupt or a system exit."""


class Boom(Exception):
    pass


def send_sms_frame():
    """The frame of the running send_sms call, found from the calling code."""
    frame = sys._getframe(1)
    while frame is not None:
        code = frame.f_code
        if code.co_name == "send_sms" and code.co_filename == sms.__file__:
            return frame
        frame = frame.f_back
    raise AssertionError("not called from send_sms")


def send_sms_line():
    """The current line of the running send_sms call (any line where it is not seen)."""
    return send_sms_frame().f_lineno if support.LIVE_FRAMES else support.UNSEEN_LINE


our_entries = support.submodule_entries


def failed_frame(error):
    """The send_sms frame that a traceback keeps."""
    tb = error.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_name == "send_sms" and tb.tb_frame.f_code.co_filename == sms.__file__:
            return tb.tb_frame
        tb = tb.tb_next
    raise AssertionError("no send_sms entry in the traceback")


# One thing the modem library was asked to do, with the line send_sms had
# marked at that moment and the exception it was handling.
Event = collections.namedtuple("Event", "name port args kwargs line handled")


class ModemWorld(object):
    """Stands for the modem library's GsmModem class.

    `plans` maps a port name to {operation: outcome}; an outcome that is an
    exception instance is raised, a callable is called with the operation's
    arguments, anything else is returned.  Operations: new, connect, wait,
    send, close.  Every operation is logged as an Event.
    """

    def __init__(self, **plans):
        self.plans = plans
        self.log = []

    def note(self, name, port, args, kwargs):
        self.log.append(Event(name, port_name(port), args, kwargs, send_sms_line(), sys.exc_info()[1]))
        outcome = self.plans.get(port_name(port), {}).get(name)
        if isinstance(outcome, BaseException):
            raise outcome
        if callable(outcome):
            return outcome(*args, **kwargs)
        return outcome

    def __call__(self, *args, **kwargs):
        self.note("new", args[0], args, kwargs)
        return FakeModem(self, args[0])

    def names(self):
        return [(event.name, event.port) for event in self.log]


class FakeModem(object):

    def __init__(self, world, port):
        self.world = world
        self.port = port

    def connect(self, *args, **kwargs):
        return self.world.note("connect", self.port, args, kwargs)

    def waitForNetworkCoverage(self, *args, **kwargs):
        return self.world.note("wait", self.port, args, kwargs)

    def sendSms(self, *args, **kwargs):
        sent = self.world.note("send", self.port, args, kwargs)
        return FakeSent(self.world, self.port, [0, 0]) if sent is None else sent

    def close(self, *args, **kwargs):
        return self.world.note("close", self.port, args, kwargs)


class FakeSent(object):
    """A sent message whose status gives the planned values one read after another."""

    def __init__(self, world, port, statuses):
        self.world = world
        self.port = port
        self.statuses = list(statuses)

    @property
    def status(self):
        self.world.note("status", self.port, (), {})
        value = self.statuses.pop(0)
        if isinstance(value, BaseException):
            raise value
        return value


class Port(object):
    """A port item that is not a string; its format() is planned."""

    def __init__(self, name, formatted=None, error=None):
        self.name = name
        self.formatted = formatted if formatted is not None else name
        self.error = error
        self.format_calls = []
        self.lines = []

    def __format__(self, how):
        self.format_calls.append(how)
        self.lines.append(send_sms_line())
        if self.error is not None:
            raise self.error
        return self.formatted


def port_name(port):
    return port.name if isinstance(port, Port) else port


class Rendered(object):
    """A status value that print renders through str()."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


Outcome = collections.namedtuple("Outcome", "result error lines")


class SendSmsCase(unittest.TestCase):
    """Binds stand-ins to the submodule's globals and puts the originals back."""

    GLOBALS = ("serial_ports", "GsmModem", "BAUDRATE", "PIN", "sys", "print")

    def setUp(self):
        self.saved = {name: sms.__dict__[name] for name in self.GLOBALS if name in sms.__dict__}
        self.port_lines = []

    def tearDown(self):
        for name in self.GLOBALS:
            sms.__dict__.pop(name, None)
        sms.__dict__.update(self.saved)

    def use(self, ports, **plans):
        """Ports from serial_ports() and a modem world planned per port; returns the world."""
        world = ModemWorld(**plans)

        def serial_ports():
            self.port_lines.append(send_sms_line())
            return list(ports)
        sms.serial_ports = serial_ports
        sms.GsmModem = world
        return world

    def call(self, *args, **kwargs):
        stdout = kwargs.pop("stdout", None) or io.StringIO()
        result = error = None
        with contextlib.redirect_stdout(stdout):
            try:
                result = sms.send_sms(*args, **kwargs)
            except BaseException as e:
                error = e
        return Outcome(result, error, stdout.getvalue().splitlines())

    def assertFailure(self, outcome, exc_type, line, message=None):
        self.assertIsNotNone(outcome.error, "send_sms returned %r" % (outcome.result,))
        self.assertIs(type(outcome.error), exc_type, repr(outcome.error))
        if message is not None:
            self.assertEqual(str(outcome.error), message)
        self.assertEqual(our_entries(outcome.error), [("send_sms", line)])
        self.assertEntriesAgreeWithTheCode(outcome.error)

    def assertEntriesAgreeWithTheCode(self, error):
        """Each traceback entry of our frames, in the error and the
        exceptions chained to it, names the line that the code's line table
        gives its instruction."""
        seen = set()
        while error is not None and id(error) not in seen:
            seen.add(id(error))
            tb = error.__traceback__
            while tb is not None:
                code = tb.tb_frame.f_code
                if code.co_filename == sms.__file__:
                    self.assertEqual(tb.tb_lineno, line_of_instruction(code, tb.tb_lasti), (code.co_name, tb.tb_lasti))
                tb = tb.tb_next
            error = error.__cause__ or error.__context__

    def recorded_locals(self, outcome):
        return dict(failed_frame(outcome.error).f_locals)


class PortWalkTests(SendSmsCase):

    def test_empty_port_list(self):
        world = self.use([])
        outcome = self.call("+15551234567", "hi")
        self.assertFailure(outcome, Exception, 58, NOT_FOUND)
        self.assertEqual(outcome.error.args, (NOT_FOUND,))
        self.assertEqual(failed_frame(outcome.error).f_code.co_filename, sms.__file__)
        self.assertEqual(outcome.lines, [])
        self.assertEqual(world.log, [])
        self.assertEqual(self.recorded_locals(outcome),
                         {"phone_number": "+15551234567", "text": "hi", "modem": None})

    def test_one_port_that_comes_up(self):
        port = Port("COM7", formatted="/dev/ttyS7")
        world = self.use([port], COM7={
            "send": lambda *a, **k: FakeSent(world, "COM7", [Rendered("first read"), "second read"])})
        outcome = self.call("+15551234567", "hi")
        self.assertIsNone(outcome.error)
        self.assertEqual(outcome.result, "second read")
        self.assertEqual(outcome.lines, [FOUND + "/dev/ttyS7", SENDING, "first read"])
        self.assertEqual(port.format_calls, [""])
        self.assertEqual(world.names(), [("new", "COM7"), ("connect", "COM7"), ("wait", "COM7"),
                                         ("send", "COM7"), ("status", "COM7"), ("status", "COM7"),
                                         ("close", "COM7")])
        # Each call happens with its own line marked in the send_sms frame.
        self.assertEqual(self.port_lines, [48])
        self.assertEqual(port.lines, [53])
        self.assertEqual([(e.name, e.line) for e in world.log],
                         [("new", 49), ("connect", 51), ("wait", 52), ("send", 61), ("status", 67),
                          ("status", 67), ("close", 70)])
        self.assertIsNone(world.log[-1].handled)

    def test_walk_ends_at_the_first_port_that_comes_up(self):
        world = self.use(["A", "B"])
        outcome = self.call("1", "x")
        self.assertEqual(outcome.result, 0)
        self.assertEqual(outcome.lines, [FOUND + "A", SENDING, "0"])
        self.assertEqual(world.names(), [("new", "A"), ("connect", "A"), ("wait", "A"), ("send", "A"),
                                         ("status", "A"), ("status", "A"), ("close", "A")])

    def test_failed_probe_is_closed_and_the_next_port_used(self):
        failure = Boom("no modem here")
        world = self.use(["A", "B"], A={"connect": failure})
        outcome = self.call("1", "x")
        self.assertEqual(outcome.result, 0)
        self.assertEqual(outcome.lines, [FOUND + "B", SENDING, "0"])
        self.assertEqual(world.names(), [("new", "A"), ("connect", "A"), ("close", "A"),
                                         ("new", "B"), ("connect", "B"), ("wait", "B"), ("send", "B"),
                                         ("status", "B"), ("status", "B"), ("close", "B")])
        # The failed probe's modem is closed at line 55 while its failure is handled.
        close_a = world.log[2]
        self.assertEqual((close_a.line, close_a.handled), (55, failure))
        self.assertEqual(our_entries(failure), [("send_sms", 51)])

    def test_no_probe_completes(self):
        world = self.use(["A", "B", Port("C", error=Boom("format"))],
                         A={"connect": Boom("connect")}, B={"wait": Boom("wait")})
        try:
            raise KeyError("handled by the caller")
        except KeyError as e:
            outer = e
            outcome = self.call("1", "x")
            self.assertIs(sys.exc_info()[1], outer)
        self.assertFailure(outcome, Exception, 58, NOT_FOUND)
        self.assertIs(outcome.error.__context__, outer)
        self.assertEqual(outcome.lines, [])
        self.assertEqual(world.names(), [("new", "A"), ("connect", "A"), ("close", "A"),
                                         ("new", "B"), ("connect", "B"), ("wait", "B"), ("close", "B"),
                                         ("new", "C"), ("connect", "C"), ("wait", "C"), ("close", "C")])
        self.assertEqual([e.handled.args[0] for e in world.log if e.name == "close"],
                         ["connect", "wait", "format"])
        recorded = self.recorded_locals(outcome)
        self.assertEqual(port_name(recorded.pop("port")), "C")
        self.assertEqual(recorded, {"phone_number": "1", "text": "x", "modem": None})

    def test_close_of_a_failed_probe(self):
        # An Exception from that close is dropped and the walk goes on.
        world = self.use(["A", "B"], A={"connect": Boom(), "close": Boom("close")})
        outcome = self.call("1", "x")
        self.assertEqual(outcome.result, 0)
        self.assertEqual(outcome.lines, [FOUND + "B", SENDING, "0"])
        self.assertEqual(world.names()[:4], [("new", "A"), ("connect", "A"), ("close", "A"), ("new", "B")])

        # Anything else leaves the function from line 55.
        probe_failure, abort = Boom("probe"), Abort("close")
        world = self.use(["A", "B"], A={"wait": probe_failure, "close": abort})
        outcome = self.call("1", "x")
        self.assertIs(outcome.error, abort)
        self.assertFailure(outcome, Abort, 55)
        self.assertIs(abort.__context__, probe_failure)
        self.assertEqual(outcome.lines, [])
        self.assertEqual(world.names(), [("new", "A"), ("connect", "A"), ("wait", "A"), ("close", "A")])

    def test_making_the_modem_object(self):
        # The constructor's failure is not caught, on any port.
        world = self.use(["A", "B", "C"], A={"connect": Boom()}, B={"new": Boom("constructor")})
        outcome = self.call("1", "x")
        self.assertFailure(outcome, Boom, 49, "constructor")
        self.assertEqual(world.names(), [("new", "A"), ("connect", "A"), ("close", "A"), ("new", "B")])
        self.assertEqual(self.recorded_locals(outcome),
                         {"phone_number": "1", "text": "x", "modem": None, "port": "B"})

        for name in ("GsmModem", "BAUDRATE"):
            with self.subTest(missing=name):
                world = self.use(["A", "B"])
                value = sms.__dict__.pop(name)
                outcome = self.call("1", "x")
                sms.__dict__[name] = value
                self.assertFailure(outcome, NameError, 49, "name '%s' is not defined" % name)
                self.assertEqual(world.log, [])

        # A missing PIN is a failed probe like any other.
        world = self.use(["A"])
        del sms.PIN
        outcome = self.call("1", "x")
        self.assertFailure(outcome, Exception, 58, NOT_FOUND)
        self.assertEqual(world.names(), [("new", "A"), ("close", "A")])
        self.assertIs(type(world.log[-1].handled), NameError)
        self.assertEqual(str(world.log[-1].handled), "name 'PIN' is not defined")
        self.assertEqual(our_entries(world.log[-1].handled), [("send_sms", 51)])

    def test_port_list_failures(self):
        self.use([])
        del sms.serial_ports
        self.assertFailure(self.call("1", "x"), NameError, 48, "name 'serial_ports' is not defined")

        # The real serial_ports on a platform it does not know.
        sms.serial_ports = self.saved["serial_ports"]
        sms.sys = types.SimpleNamespace(platform="plan9")
        outcome = self.call("1", "x")
        self.assertIs(type(outcome.error), OSError)
        self.assertEqual(outcome.error.args, ("Unsupported platform",))
        self.assertEqual(our_entries(outcome.error), [("send_sms", 48), ("serial_ports", 31)])
        sms.sys = self.saved["sys"]

        sms.serial_ports = lambda: 5
        self.assertFailure(self.call("1", "x"), TypeError, 48, "'int' object is not iterable")

        world = self.use([], A={"connect": Boom()})

        def ports():
            yield "A"
            raise Boom("port list broke")
        sms.serial_ports = ports
        outcome = self.call("1", "x")
        self.assertFailure(outcome, Boom, 48, "port list broke")
        self.assertEqual(world.names(), [("new", "A"), ("connect", "A"), ("close", "A")])
        self.assertEqual(self.recorded_locals(outcome),
                         {"phone_number": "1", "text": "x", "modem": None, "port": "A"})



class KeepsTheReasonTests(SendSmsCase):
    """The walk's outcome says why: the cause of "Gsm Device Not Found", an
    interrupted probe's modem closed, and the modem that came up used."""

    def test_the_last_failed_probe_is_the_cause(self):
        first, last = Boom("first"), Boom("last")
        rows = [([], {}, None), (["A"], {"A": {"connect": first}}, first),
                (["A", "B"], {"A": {"connect": first}, "B": {"wait": last}}, last),
                ([Port("A", error=last)], {}, last)]
        outer = Boom("outer")
        for ports, plans, cause in rows:
            with self.subTest(ports=[port_name(p) for p in ports]):
                self.use(ports, **plans)
                try:
                    raise outer
                except Boom:
                    outcome = self.call("1", "x")
                self.assertFailure(outcome, Exception, 58, NOT_FOUND)
                self.assertIs(outcome.error.__cause__, cause)
                # The caller's exception stays the context; a cause hides it from display.
                self.assertIs(outcome.error.__context__, outer)
                self.assertIs(outcome.error.__suppress_context__, cause is not None)
                self.assertEqual(self.recorded_locals(outcome).get("modem", "unbound"), None)

    def test_a_failed_probe_is_handled_with_its_traceback_entry(self):
        # What the modem's close sees as the exception being handled, and what
        # the cause keeps: the probe's exception, its traceback starting with
        # send_sms's entry at the probe's failing line.
        for operation, method, line in (("connect", "connect", 51), ("wait", "waitForNetworkCoverage", 52)):
            with self.subTest(operation=operation):
                failure, seen = Boom(operation), []

                def close(*args):
                    kind, value, tb = sys.exc_info()
                    seen.append((kind, value, tb is value.__traceback__, entries_of(tb)))
                self.use(["A"], A={operation: failure, "close": close})
                outcome = self.call("1", "x")
                self.assertFailure(outcome, Exception, 58, NOT_FOUND)
                self.assertIs(outcome.error.__cause__, failure)
                (kind, value, same, walked), = seen
                self.assertEqual((kind, value, same), (Boom, failure, True))
                self.assertEqual(walked[0], ("send_sms", line))
                self.assertEqual([name for name, _ in walked[1:]], [method, "note"])
                self.assertEqual(entries_of(failure.__traceback__), walked)

    def test_an_interrupted_probe_closes_its_modem(self):
        # (plan, interrupt, line): closed once while the interrupt is handled
        # (line 56), later ports untried; an Exception from that close is
        # dropped, anything else from it replaces the interrupt.
        rows = [({"connect": Abort()}, "A", Abort, 51), ({"wait": KeyboardInterrupt()}, "A", KeyboardInterrupt, 52),
                ({}, Port("A", error=SystemExit(2)), SystemExit, 53),
                ({"connect": Abort(), "close": Boom()}, "A", Abort, 51),
                ({"connect": Abort(), "close": KeyboardInterrupt()}, "A", KeyboardInterrupt, 56)]
        for plan, port, expected, line in rows:
            with self.subTest(plan=plan, line=line):
                world = self.use([port, "B"], A=plan)
                outcome = self.call("1", "x")
                self.assertFailure(outcome, expected, line)
                self.assertEqual((outcome.lines, world.names()[-1], world.log[-1].line), ([], ("close", "A"), 56))
                self.assertIsInstance(world.log[-1].handled, (Abort, KeyboardInterrupt, SystemExit))
                recorded = self.recorded_locals(outcome)
                self.assertEqual((port_name(recorded["port"]), port_name(recorded["modem"].port)), ("A", "A"))

    def test_the_modem_that_came_up_is_used_whatever_its_truth(self):
        class Unsure(FakeModem):
            def __bool__(self):
                raise Boom("truth")

        class Falsy(FakeModem):
            def __bool__(self):
                return False
        for modem_type in (Unsure, Falsy):
            with self.subTest(modem=modem_type.__name__):
                world = self.use(["A"])
                sms.GsmModem = lambda port, baudrate, world=world, modem_type=modem_type: modem_type(world, port)
                outcome = self.call("1", "x")
                self.assertEqual((outcome.error, outcome.result), (None, 0))
                self.assertEqual(outcome.lines, [FOUND + "A", SENDING, "0"])
                self.assertEqual(world.names()[-1], ("close", "A"))


class SendBlockTests(SendSmsCase):

    def test_send_failure_closes_then_propagates(self):
        failure = Boom("send")
        world = self.use(["A"], A={"send": failure})
        outcome = self.call("1", "x")
        self.assertIs(outcome.error, failure)
        self.assertFailure(outcome, Boom, 61)
        self.assertEqual(outcome.lines, [FOUND + "A", SENDING])
        self.assertEqual(world.names()[-2:], [("send", "A"), ("close", "A")])
        self.assertEqual((world.log[-1].line, world.log[-1].handled), (70, failure))
        self.assertIsNone(failure.__context__)
        recorded = self.recorded_locals(outcome)
        self.assertEqual(sorted(recorded), ["modem", "phone_number", "port", "text"])
        self.assertEqual(recorded["modem"].port, "A")

    def test_close_failure_replaces_the_send_failure(self):
        send_failure, close_failure = Boom("send"), Boom("close")
        world = self.use(["A"], A={"send": send_failure, "close": close_failure})
        outcome = self.call("1", "x")
        self.assertIs(outcome.error, close_failure)
        self.assertFailure(outcome, Boom, 70)
        self.assertIs(close_failure.__context__, send_failure)
        self.assertEqual(our_entries(send_failure), [("send_sms", 61)])
        self.assertEqual(world.names().count(("close", "A")), 1)

    def test_close_failure_after_a_send(self):
        world = self.use(["A"], A={"close": Boom("close")})
        outcome = self.call("1", "x")
        self.assertFailure(outcome, Boom, 70, "close")
        self.assertIsNone(outcome.result)
        self.assertIsNone(outcome.error.__context__)
        self.assertEqual(outcome.lines, [FOUND + "A", SENDING, "0"])
        self.assertIn("sentSms", self.recorded_locals(outcome))
        self.assertEqual(world.names().count(("status", "A")), 2)

    def test_send_not_callable(self):
        world = self.use(["A"])

        class Odd(FakeModem):
            sendSms = 5
        sms.GsmModem = lambda port, baudrate: Odd(world, port)
        outcome = self.call("1", "x")
        self.assertFailure(outcome, TypeError, 61, "'int' object is not callable")
        self.assertEqual(world.names(), [("connect", "A"), ("wait", "A"), ("close", "A")])

    def test_printing_the_notice_fails(self):
        class Stdout(io.StringIO):
            def write(self, text):
                if text == SENDING:
                    raise Boom("stdout")
                return super(Stdout, self).write(text)
        world = self.use(["A"])
        outcome = self.call("1", "x", stdout=Stdout())
        self.assertFailure(outcome, Boom, 60, "stdout")
        self.assertEqual(outcome.lines, [FOUND + "A"])
        self.assertEqual(world.names()[-1], ("close", "A"))
        self.assertNotIn("send", [name for name, _ in world.names()])

    def test_reading_the_status_fails(self):
        for line, statuses, printed in ((67, [Boom("read")], []), (68, [3, Boom("read")], ["3"])):
            with self.subTest(line=line):
                world = self.use(["A"])
                world.plans["A"] = {"send": lambda *a, **k: FakeSent(world, "A", statuses)}
                outcome = self.call("1", "x")
                self.assertFailure(outcome, Boom, line, "read")
                self.assertEqual(outcome.lines, [FOUND + "A", SENDING] + printed)
                self.assertEqual(world.names()[-1], ("close", "A"))
                self.assertEqual(world.log[-1].handled, outcome.error)
                self.assertIsInstance(self.recorded_locals(outcome)["sentSms"], FakeSent)


class ArgumentTests(SendSmsCase):

    def test_what_the_modem_library_receives(self):
        seen = []

        def send(*args, **kwargs):
            seen.append((args, dict(kwargs), list(kwargs)))
            kwargs["deliveryTimeout"] = 0
            kwargs["extra"] = 1
        world = self.use(["A"], A={"send": send})
        sms.BAUDRATE = 9600
        sms.PIN = "1234"
        self.assertEqual(self.call("+15551234567", "hi").result, 0)
        self.assertEqual(self.call(phone_number="+1", text="again").result, 0)
        self.assertEqual(world.log[0].args, ("A", 9600))
        self.assertEqual(world.log[0].kwargs, {})
        self.assertEqual([(e.args, e.kwargs) for e in world.log if e.name == "connect"],
                         [(("1234",), {})] * 2)
        self.assertEqual([(e.args, e.kwargs) for e in world.log if e.name == "wait"], [((30,), {})] * 2)
        keywords = {"waitForDeliveryReport": False, "deliveryTimeout": 30}
        order = ["waitForDeliveryReport", "deliveryTimeout"]
        self.assertEqual(seen, [(("+15551234567", "hi"), keywords, order), (("+1", "again"), keywords, order)])
        self.assertIs(seen[0][1]["waitForDeliveryReport"], False)

    def test_arguments_pass_through_unchanged(self):
        world = self.use(["A"])
        number, text = object(), b"\xff\x00"
        for args in ((None, None), (number, text), (12, ["list"])):
            self.assertEqual(self.call(*args).result, 0)
            received = [e.args for e in world.log if e.name == "send"][-1]
            self.assertEqual(len(received), 2)
            self.assertIs(received[0], args[0])
            self.assertIs(received[1], args[1])

    def test_keyword_values_are_held_while_the_caller_changes_its_dictionary(self):
        # Through the C API a caller's own dictionary reaches the function;
        # code run during the call may empty it.
        # Values made at run time and not referenced anywhere else.
        keywords = {"phone_number": "+1" + "5" * int("20"), "text": "t" * int("40")}
        expected = ("+1" + "5" * 20, "t" * 40)
        world = self.use(["A"], A={"connect": lambda *a: keywords.clear()})
        call = ctypes.pythonapi.PyObject_Call
        call.restype = ctypes.py_object
        call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
        with contextlib.redirect_stdout(io.StringIO()):
            self.assertEqual(call(sms.send_sms, (), keywords), 0)
        received = [e.args for e in world.log if e.name == "send"][-1]
        self.assertEqual(received, expected)

    def test_print_comes_from_builtins(self):
        calls = []
        sms.print = lambda *a, **k: calls.append(a)
        self.use(["A"])
        outcome = self.call("1", "x")
        self.assertEqual(outcome.lines, [FOUND + "A", SENDING, "0"])
        self.assertEqual(calls, [])

        original = builtins.print

        def recording_print(*args, **kwargs):
            calls.append((args, kwargs, send_sms_line()))
        builtins.print = recording_print
        try:
            outcome = self.call("1", "x")
        finally:
            builtins.print = original
        self.assertEqual(outcome.lines, [])
        self.assertEqual(calls, [((FOUND + "A",), {}, 53), ((SENDING,), {}, 60), ((0,), {}, 67)])


@support.needs_live_frames
class FrameTests(SendSmsCase):

    def test_successful_calls_share_one_frame(self):
        # The first call keeps its frame's f_locals dictionary where the
        # frame keeps one (up to 3.12; from 3.13 each read gives a new view,
        # which would hold the frame), adds a name through f_locals and leaves
        # a debugger's f_trace on the frame; the second call runs in that
        # frame (nothing holds it), without that f_trace, that dictionary or
        # anything of the first call, while the reader keeps what it saw.
        views, ids = [], []

        def tag_frame(pin):
            frame = send_sms_frame()
            ids.append(id(frame))
            if support.F_LOCALS_KEPT:
                views.append(frame.f_locals)
            frame.f_locals["@tag"] = True
            frame.f_trace = tag_frame
        checks = []

        def check_frame(pin):
            frame = send_sms_frame()
            checks.append((id(frame), not views or frame.f_locals is views[0], frame.f_trace, dict(frame.f_locals)))
        world = self.use(["A"], A={"connect": tag_frame})
        self.assertEqual(self.call("1", "x").result, 0)
        world.plans["A"]["connect"] = check_frame
        self.assertEqual(self.call("2", "y").result, 0)
        self.assertEqual(len(checks), 1)
        frame_id, same_view, trace, seen = checks[0]
        self.assertEqual((frame_id, same_view, trace, sorted(seen), seen["phone_number"], seen["text"]),
                         (ids[0], not views, None, ["modem", "phone_number", "port", "text"], "2", "y"))
        self.assertEqual([sorted(view) for view in views[:1]],
                         [["@tag", "modem", "phone_number", "port", "text"]] if views else [])
        self.assertEqual([view["phone_number"] for view in views[:1]], ["1"] if views else [])

    def test_failed_call_keeps_its_frame(self):
        frames, callers = [], []

        def connect(pin):
            frame = send_sms_frame()
            frames.append(frame)
            callers.append(frame.f_back.f_code.co_name)
        world = self.use(["A"], A={"connect": connect, "send": Boom("send")})
        first = self.call("+1", "first")
        frame = failed_frame(first.error)
        self.assertIs(frame, frames[0])
        # A held frame keeps its caller, as the interpreter's frames do.
        self.assertEqual(frame.f_back.f_code.co_name, "call")
        line = frame.f_lineno
        before = dict(frame.f_locals)
        self.assertEqual((before["phone_number"], before["text"], before["port"]), ("+1", "first", "A"))

        world.plans["A"] = {"connect": connect}
        second = self.call("+2", "second")
        self.assertEqual(second.result, 0)
        self.assertIsNot(frames[1], frame)
        # The new frame runs in the module's globals with the builtins, as the first did.
        for made in frames:
            self.assertIs(made.f_globals, sms.__dict__)
            self.assertIs(made.f_builtins, builtins.__dict__)
            self.assertIs(made.f_code, sms.send_sms.__code__)
        self.assertEqual(dict(frame.f_locals), before)
        self.assertEqual(frame.f_lineno, line)
        self.assertEqual(frames[1].f_back.f_code.co_name, "call")
        self.assertEqual(callers, ["call", "call"])


    def test_a_failed_calls_frame_is_an_ordinary_frame(self):
        # The frame a failed call leaves to its traceback (a new one for each
        # such call): the collector walks it to its code and its locals, and
        # clear() releases them.
        class Text(object):
            pass

        def send_sms_frames_holding(value):
            return [holder for holder in gc.get_referrers(value) if getattr(holder, "f_code", None) is code]
        code = sms.send_sms.__code__
        frames = []
        for attempt in range(3):
            text = Text()
            self.use(["A"], A={"connect": Boom("probe")})
            frame = failed_frame(self.call("1", text).error)
            self.assertIn(code, gc.get_referents(frame))
            self.assertEqual(send_sms_frames_holding(text), [frame])
            frame.clear()
            self.assertEqual(send_sms_frames_holding(text), [])
            frames.append(frame)
        self.assertEqual(len(set(map(id, frames))), 3)

    def test_a_cycle_through_a_failed_calls_traceback_is_collected(self):
        # The text holds "not found", whose entry and its cause's hold the
        # failed frame, whose locals hold the text: only the collector frees
        # that, if our entries and frame are tracked as the interpreter's are.
        class Text(object):
            pass

        def refuse(pin):
            raise Boom("probe")
        world = self.use(["A", "B"], A={"connect": refuse}, B={"connect": refuse})
        text = Text()
        text.error = self.call("1", text).error
        del world.log[:]  # what the modems saw being handled
        ours = [text.error.__traceback__.tb_next, text.error.__cause__.__traceback__]
        self.assertEqual([(tb.tb_frame.f_code, tb.tb_lineno) for tb in ours],
                         [(sms.send_sms.__code__, 58), (sms.send_sms.__code__, 51)])
        self.assertTrue(all(map(gc.is_tracked, ours + [ours[0].tb_frame])))
        gone = weakref.ref(text)
        del text, ours
        gc.collect()
        self.assertIsNone(gone())

    def test_call_from_inside_a_call(self):
        inner = ModemWorld()
        seen = []

        def connect(pin):
            frame = send_sms_frame()
            sms.GsmModem = inner
            seen.append(sms.send_sms("+2", "inner"))
            sms.GsmModem = outer
            seen.append((send_sms_frame() is frame, frame.f_lineno))
            seen.append(inner.log[1].line)
        outer = self.use(["A"], A={"connect": connect, "send": Boom("outer")})
        outcome = self.call("+1", "outer")
        self.assertFailure(outcome, Boom, 61, "outer")
        self.assertEqual(seen, [0, (True, 51), 51])
        self.assertEqual(outcome.lines, [FOUND + "A", SENDING, "0", FOUND + "A", SENDING])
        self.assertEqual([e.args for e in inner.log + outer.log if e.name == "send"],
                         [("+2", "inner"), ("+1", "outer")])
        recorded = self.recorded_locals(outcome)
        self.assertEqual((recorded["phone_number"], recorded["text"]), ("+1", "outer"))
        self.assertIs(recorded["modem"].world, outer)


class LoopServiceTests(unittest.TestCase):
    """The walk services signals and posted exceptions at every 21st failed pass.

    Runs in a fresh interpreter, where the countdown starts at 20, with
    modem stand-ins made of built-in callables only, so that no interpreter
    code runs between posting and the step that must deliver it.
    """

    def test_signal_and_async_exception_arrive_at_the_step(self):
        code = r"""
            import ctypes, functools, os, signal, sys, threading, types
            import smsline.send_sms as sms

            def entries(error):
                tb, found = error.__traceback__, []
                while tb is not None:
                    if tb.tb_frame.f_code.co_filename == sms.__file__:
                        found.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
                    tb = tb.tb_next
                return found

            def walk(trigger, pin):
                # GsmModem(port, BAUDRATE) is getattr(port, "modem"); each
                # modem but the 5th lacks connect, so its probe fails.
                ports = [types.SimpleNamespace(modem=types.SimpleNamespace()) for _ in range(30)]
                ports[4].modem.connect = trigger
                sms.serial_ports = functools.partial(list, ports)
                sms.GsmModem, sms.BAUDRATE, sms.PIN = getattr, "modem", pin
                try:
                    sms.send_sms("1", "x")
                except BaseException as e:
                    tb = e.__traceback__
                    while tb.tb_next is not None:
                        tb = tb.tb_next
                    port = tb.tb_frame.f_locals["port"]
                    index = [i for i, p in enumerate(ports) if p is port]
                    print(type(e).__name__, entries(e), index, tb.tb_frame.f_locals["modem"])

            # libc's kill: from 3.11 os.kill looks at the signals it sent
            # itself before returning, which would deliver it at the probe.
            walk(functools.partial(ctypes.CDLL(None).kill, os.getpid()), signal.SIGINT)

            class Posted(Exception):
                pass
            post = ctypes.pythonapi.PyThreadState_SetAsyncExc
            post.argtypes = (ctypes.c_ulong, ctypes.py_object)
            walk(functools.partial(post, threading.get_ident()), Posted)
            walk(abs, 0)
        """
        done = support.run_python(code, path=[os.path.dirname(support.EXTENSION)])
        self.assertEqual(done.stderr, "")
        self.assertEqual(done.stdout.splitlines(), [
            "KeyboardInterrupt [('send_sms', 48)] [20] None",
            "Posted [('send_sms', 48)] [20] None",
            "Exception [('send_sms', 58)] [29] None",
        ])


if __name__ == "__main__":
    unittest.main()
