"""Every outside operation that the functions and the module bodies call, made to fail in turn.

Each operation fails with an Exception, with a BaseException and, where it
gives something back, by giving an object of the wrong kind.  The caller
must get exactly the exception that was raised (or the interpreter's own
for a wrong kind), with the failing line in the function's traceback entry
and the locals of that moment in its frame; the handled exception of the
caller is untouched; and no modem that the function made is left open,
except where the function by design lets a non-Exception pass without a
close (the probe, lines 51 to 53) or never learns that the modem came up
(its truth test, lines 57 and 58).
"""
import _testcapi
import json
import sys
import textwrap
import types
import unittest

import smsline.send_sms as sms

from tests import support
from tests.reliability import (Abort, Failure, PortError, SentSms, SerialException, World, call, entries,
                               our_entries, recorded_locals)

A, B, C = "/dev/ttyA", "/dev/ttyB", "/dev/ttyC"
serial_ports, send_sms = sms.serial_ports, sms.send_sms


def yield_then_raise(item, error):
    yield item
    raise error


class Falsy(object):
    def __bool__(self):
        return False


class BadTruth(object):
    def __init__(self, error):
        self.error = error

    def __bool__(self):
        raise self.error


class WorldCase(unittest.TestCase):

    def run_in(self, world, function, *args, handled=None):
        """Calls `function` with the world bound, while `handled` (if any) is being handled."""
        undo = world.bind(own_serial_ports=function is send_sms)
        try:
            if handled is None:
                result, error = call(function, *args)
                self.assertEqual(sys.exc_info(), (None, None, None))
            else:
                try:
                    raise handled
                except type(handled):
                    result, error = call(function, *args)
                    self.assertIs(sys.exc_info()[1], handled)
        finally:
            undo()
        return result, error

    def assert_failed(self, error, expected, function, line):
        """`error` is `expected` (an instance, or a class for the interpreter's own) at `line`."""
        if isinstance(expected, type):
            self.assertIsInstance(error, expected)
        else:
            self.assertIs(error, expected)
        ours = our_entries(error)
        self.assertEqual(ours[-1], (function, line), entries(error))
        self.assertEqual(ours.count((function, line)), 1)


class SerialPortsFaults(WorldCase):
    """serial_ports(): lines 23 to 39."""

    def check(self, world, expected, line, **locals_expected):
        result, error = self.run_in(world, serial_ports)
        self.assertIsNone(result)
        self.assert_failed(error, expected, "serial_ports", line)
        recorded = recorded_locals(error, "serial_ports")
        self.assertEqual(sorted(recorded), sorted(locals_expected))
        for name, value in locals_expected.items():
            if callable(value):
                self.assertIs(recorded[name], value(), name)
            elif name in ("result", "port"):
                self.assertEqual(recorded[name], value, name)
            else:
                self.assertIs(recorded[name], value, name)
        # Every port that opened was closed (or its close was tried).
        self.assertTrue(all(port.closed for port in world.opened))
        return error

    def test_each_operation_raises(self):
        rows = [  # platform, operation, line
            ("win32", "startswith:win", 23), ("linux", "startswith:linux", 25),
            ("cygwin", "startswith:cygwin", 25), ("linux", "glob", 27),
            ("darwin", "startswith:darwin", 28), ("darwin", "glob", 29)]
        for platform, operation, line in rows:
            for error in (Failure(operation), Abort(operation), KeyboardInterrupt()):
                with self.subTest(operation=operation, error=type(error).__name__):
                    world = World(platform=platform)
                    world.faults[operation] = error
                    self.check(world, error, line)
                    self.assertEqual(world.opened, [])

    def test_opening_or_closing_a_port_raises_what_is_not_caught(self):
        for operation, line in (("Serial", 36), ("port.close", 37)):
            for error in (Failure(operation), ValueError(operation), Abort(operation), KeyboardInterrupt()):
                with self.subTest(operation=operation, error=type(error).__name__):
                    world = World()
                    world.faults[(operation, B)] = error
                    failure = self.check(world, error, line, ports=world.candidates, result=[A], port=B,
                                         s=lambda: world.opened[-1])
                    self.assertEqual(len(world.opened), 1 if operation == "Serial" else 2)
                    # Candidates after the failure are not tried.
                    self.assertNotIn(("Serial", C), world.log)
                    self.assertIsNone(failure.__context__)

    def test_ports_that_fail_as_expected_are_skipped(self):
        for operation in ("Serial", "port.close"):
            for error in (PortError(operation), SerialException(operation), FileNotFoundError(operation)):
                with self.subTest(operation=operation, error=type(error).__name__):
                    world = World()
                    world.faults[(operation, B)] = error
                    result, failure = self.run_in(world, serial_ports)
                    self.assertIsNone(failure)
                    self.assertEqual(result, [A, C])
                    self.assertTrue(all(port.closed for port in world.opened))

    def test_wrong_kinds_of_results(self):
        # A truth value that cannot be told.
        world = World()
        world.faults["startswith:win"] = BadTruth(Failure("truth"))
        self.check(world, world.faults["startswith:win"].error, 23)

        # Candidates that are no iterable, or whose iteration fails midway.
        world = World()
        world.faults["glob"] = 5
        error = self.check(world, TypeError, 34, ports=5, result=[])
        self.assertEqual(str(error), "'int' object is not iterable")
        for failure in (Failure("next"), Abort("next")):
            world = World()
            world.faults["glob"] = candidates = yield_then_raise(A, failure)
            self.check(world, failure, 34, ports=candidates, result=[A], port=A, s=lambda: world.opened[0])

        # A "port" without close.
        world = World()
        odd = object()
        world.faults[("Serial", B)] = odd
        self.check(world, AttributeError, 37, ports=world.candidates, result=[A], port=B, s=odd)

    def test_missing_globals_and_a_bad_exception_class(self):
        for name, line in (("sys", 23), ("glob", 27)):
            result, error = self._run_without(World(), name)
            self.assert_failed(error, NameError, "serial_ports", line)
            self.assertEqual(str(error), "name '%s' is not defined" % name)

        # Without `serial`, the open fails (line 36) and so does building the
        # pair to match against (line 39), in the handler of the first.
        world = World()
        result, error = self._run_without(world, "serial")
        self.assert_failed(error, NameError, "serial_ports", 39)
        self.assertIsInstance(error.__context__, NameError)
        self.assertEqual(our_entries(error.__context__), [("serial_ports", 36)])

        for exception_class, expected in (("not a class", TypeError), (None, AttributeError)):
            world = World()
            world.faults[("Serial", B)] = failure = PortError("no such port")
            if exception_class is None:
                del world.serial.SerialException
            else:
                world.serial.SerialException = exception_class
            error = self.check(world, expected, 39, ports=world.candidates, result=[A], port=B,
                               s=lambda: world.opened[0])
            self.assertIs(error.__context__, failure)

    def _run_without(self, world, name):
        undo = world.bind(own_serial_ports=False)
        saved = sms.__dict__.pop(name)
        try:
            return call(serial_ports)
        finally:
            sms.__dict__[name] = saved
            undo()

    def test_unsupported_platform_opens_nothing(self):
        world = World(platform="sunos5")
        error = self.check(world, OSError, 31)
        self.assertIs(type(error), OSError)
        self.assertEqual(error.args, ("Unsupported platform",))
        self.assertEqual(world.opened, [])
        # Raised while the caller handles another exception, it is chained to it.
        outer = Failure("outer")
        result, error = self.run_in(World(platform="sunos5"), serial_ports, handled=outer)
        self.assertIs(error.__context__, outer)


class SendSmsFaults(WorldCase):
    """send_sms(phone_number, text): lines 48 to 70, with the port walk ending at the first modem that comes up."""

    PHONE, TEXT = "+15550100", "hello"

    def send(self, world, handled=None):
        return self.run_in(world, send_sms, self.PHONE, self.TEXT, handled=handled)

    def check(self, world, expected, line, left_open=(), handled=None, **locals_expected):
        result, error = self.send(world, handled)
        self.assertIsNone(result)
        self.assert_failed(error, expected, "send_sms", line)
        recorded = recorded_locals(error, "send_sms")
        locals_expected.update(phone_number=self.PHONE, text=self.TEXT)
        self.assertEqual(sorted(recorded), sorted(locals_expected))
        for name, value in locals_expected.items():
            if name == "modem" and isinstance(value, str):
                self.assertEqual(recorded[name].port, value)
            else:
                self.assertIs(recorded[name], value, name)
        self.assertEqual(world.left_open(), list(left_open))
        self.assertTrue(all(modem.closed <= 1 for modem in world.modems))
        return error

    def test_probe_failures_close_the_modem_and_go_on(self):
        for operation in ("connect", "waitForNetworkCoverage", "print:found"):
            for error in (Failure(operation), ValueError(operation), OSError(operation)):
                with self.subTest(operation=operation, error=type(error).__name__):
                    world = World()
                    world.faults[(operation, "p1")] = error
                    if operation == "print:found":
                        world.faults["print:found"] = error
                        world.faults[("connect", "p2")] = Failure("second")
                        world.ports.append("p3")

                        def spy(op, port, world=world):
                            if op == "connect" and port == "p3":
                                world.faults.pop("print:found")
                        world.spy = spy
                    result, failure = self.send(world)
                    self.assertIsNone(failure)
                    self.assertEqual(result, 0)
                    used = "p3" if operation == "print:found" else "p2"
                    self.assertEqual([m.closed for m in world.modems], [1] * len(world.modems))
                    self.assertEqual(world.modems[-1].port, used)
                    self.assertEqual(world.stdout.lines(),
                                     ["Gsm Device Found on Port: " + used, "Sending message now.", "0"])
                    self.assertEqual(world.sent, [(self.PHONE, self.TEXT,
                                                   {"waitForDeliveryReport": False, "deliveryTimeout": 30})])

    def test_probe_non_exceptions_close_the_modem_and_propagate(self):
        for operation, line in (("connect", 51), ("waitForNetworkCoverage", 52), ("print:found", 53)):
            for error in (Abort(operation), KeyboardInterrupt(), SystemExit(3)):
                with self.subTest(operation=operation, error=type(error).__name__):
                    world = World()
                    world.faults[operation] = error
                    self.check(world, error, line, modem="p1", port="p1")
                    self.assertEqual([m.closed for m in world.modems], [1])

    def test_close_of_a_failed_probe(self):
        # An Exception from that close is discarded and the walk goes on.
        world = World()
        world.faults[("connect", "p1")] = Failure("connect")
        world.faults[("close", "p1")] = Failure("close")
        result, error = self.send(world)
        self.assertEqual((result, error), (0, None))
        self.assertEqual(world.left_open(), [])
        # Anything else leaves at line 55, with the probe's failure as its context.
        for abort in (Abort("close"), KeyboardInterrupt()):
            world = World()
            world.faults[("connect", "p1")] = probe = Failure("connect")
            world.faults[("close", "p1")] = abort
            error = self.check(world, abort, 55, modem="p1", port="p1")
            self.assertIs(error.__context__, probe)
            self.assertEqual(len(world.modems), 1)

    def test_making_the_walk_and_the_modems(self):
        for error in (Failure("ports"), Abort("ports")):
            world = World()
            world.faults["serial_ports"] = error
            self.check(world, error, 48, modem=None)
        world = World()
        world.faults["serial_ports"] = 5
        error = self.check(world, TypeError, 48, modem=None)
        self.assertEqual(str(error), "'int' object is not iterable")
        # The iteration fails after a modem whose probe failed: it was closed.
        for error in (Failure("next"), Abort("next")):
            world = World()
            world.faults["serial_ports"] = yield_then_raise("p1", error)
            world.faults[("connect", "p1")] = Failure("connect")
            self.check(world, error, 48, modem=None, port="p1")
            self.assertEqual(world.modems[0].closed, 1)
        # The modem class raises: nothing is closed, later ports are not tried.
        for error in (Failure("new"), Abort("new")):
            world = World()
            world.faults[("connect", "p1")] = Failure("connect")
            world.faults[("GsmModem", "p2")] = error
            self.check(world, error, 49, modem=None, port="p2")
            self.assertEqual([m.closed for m in world.modems], [1])
        # The modem class makes something that is no modem: its probe fails
        # (AttributeError), so does its close, and the next port serves.
        world = World()
        world.faults[("GsmModem", "p1")] = None
        result, error = self.send(world)
        self.assertEqual((result, error), (0, None))
        self.assertEqual([m.port for m in world.modems], ["p2"])

    def test_missing_globals(self):
        cases = [("serial_ports", 48, {"modem": None}), ("GsmModem", 49, {"modem": None, "port": "p1"}),
                 ("BAUDRATE", 49, {"modem": None, "port": "p1"})]
        for name, line, expected_locals in cases:
            world = World()
            undo = world.bind()
            saved = sms.__dict__.pop(name)
            try:
                result, error = call(send_sms, self.PHONE, self.TEXT)
            finally:
                sms.__dict__[name] = saved
                undo()
            self.assert_failed(error, NameError, "send_sms", line)
            self.assertEqual(str(error), "name '%s' is not defined" % name)
            locals_expected = dict(expected_locals, phone_number=self.PHONE, text=self.TEXT)
            self.assertEqual(recorded_locals(error, "send_sms"), locals_expected)
        # Without PIN every probe fails with NameError: each modem is closed
        # and nothing is found.
        world = World()
        undo = world.bind()
        saved = sms.__dict__.pop("PIN")
        try:
            result, error = call(send_sms, self.PHONE, self.TEXT)
        finally:
            sms.__dict__["PIN"] = saved
            undo()
        self.assert_failed(error, Exception, "send_sms", 58)
        self.assertEqual(error.args, ("Gsm Device Not Found",))
        self.assertEqual([m.closed for m in world.modems], [1, 1])
        self.assertEqual(world.sent, [])

    def test_truth_of_the_modem_is_not_asked(self):
        # The modem that came up is used, whatever its truth value would say.
        for modem in (BadTruth(Failure("bool")), BadTruth(Abort("bool")), Falsy()):
            world = World(ports=["p1"])
            world.faults[("GsmModem", "p1")] = modem
            modem.connect = modem.waitForNetworkCoverage = lambda *args: None
            modem.sendSms = lambda *args, **kwargs: types.SimpleNamespace(status=0)
            closed = []
            modem.close = lambda: closed.append(True)
            self.assertEqual(self.send(world), (0, None))
            self.assertEqual(closed, [True])

    def test_send_block_failures_close_then_propagate(self):
        rows = [("print:notice", 60, False), ("sendSms", 61, False), ("status#1", 67, True),
                ("print:status", 67, True), ("status#2", 68, True)]
        for operation, line, sent in rows:
            for error in (Failure(operation), Abort(operation), KeyboardInterrupt()):
                with self.subTest(operation=operation, error=type(error).__name__):
                    world = World()
                    world.faults[operation] = error
                    failure = self.check(world, error, line, modem="p1", port="p1",
                                         **({"sentSms": self._sent_of(world)} if sent else {}))
                    self.assertEqual(world.modems[0].closed, 1)
                    self.assertEqual(world.log[-1], ("close", "p1"))
                    self.assertIsNone(failure.__context__)

    def _sent_of(self, world):
        """The SentSms that sendSms will return, made ahead so the check can compare it."""
        world.faults["sendSms"] = sent = SentSms(world, "p1")
        return sent

    def test_wrong_kind_of_sent_message(self):
        for odd, expected, line in ((object(), AttributeError, 67), (5, AttributeError, 67)):
            world = World()
            world.faults["sendSms"] = odd
            self.check(world, expected, line, modem="p1", port="p1", sentSms=odd)
            self.assertEqual(world.modems[0].closed, 1)
        # A sendSms that cannot be called.
        world = World()
        modem_class = world.GsmModem

        def make(port, baudrate):
            modem = modem_class(port, baudrate)
            modem.sendSms = 5
            return modem
        world.GsmModem = make
        error = self.check(world, TypeError, 61, modem="p1", port="p1")
        self.assertEqual(str(error), "'int' object is not callable")

    def test_close_at_the_end(self):
        for error in (Failure("close"), Abort("close"), KeyboardInterrupt()):
            world = World()
            world.faults[("close", "p1")] = error
            sent = self._sent_of(world)
            failure = self.check(world, error, 70, modem="p1", port="p1", sentSms=sent)
            self.assertEqual(world.stdout.lines(), ["Gsm Device Found on Port: p1", "Sending message now.", "0"])
            self.assertIsNone(failure.__context__)
            # After a failed send, the exception of close replaces it and has it as context.
            world = World()
            world.faults["sendSms"] = send_failure = Failure("send")
            world.faults[("close", "p1")] = error = type(error)(*error.args)
            failure = self.check(world, error, 70, modem="p1", port="p1")
            self.assertIs(failure.__context__, send_failure)
            self.assertEqual(our_entries(send_failure), [("send_sms", 61)])

    def test_caller_handled_exception_survives_every_path(self):
        outer = Failure("outer")
        plans = [{}, {("connect", "p1"): Failure("c")}, {"sendSms": Failure("s")},
                 {("connect", "p1"): Failure("c"), ("close", "p1"): Failure("x")}]
        for plan in plans:
            world = World()
            world.faults.update(plan)
            self.send(world, handled=outer)  # run_in checks sys.exc_info() after the call


class BodyFaults(unittest.TestCase):
    """The package and submodule bodies, in fresh interpreters: each outside step fails in turn."""

    REPORT = textwrap.dedent(r"""
        import json, sys
        def report(error):
            tb, entries = error.__traceback__, []
            while tb is not None:
                entries.append([tb.tb_frame.f_code.co_name, tb.tb_frame.f_code.co_filename, tb.tb_lineno])
                tb = tb.tb_next
            return {"type": type(error).__name__, "args": [repr(a) for a in error.args],
                    "entries": entries, "context": repr(error.__context__)}
        """)

    def run_scenario(self, setup, action="import smsline.send_sms", after=""):
        code = self.REPORT + setup + "\ntry:\n    %s\nexcept BaseException as e:\n    out = report(e)\n" \
            "else:\n    out = None\n%s\nprint(json.dumps(out))\n" % (action, after)
        with support.ExtensionDir() as d:
            done = support.run_python(code, path=[d.path])
            self.assertEqual(done.returncode, 0, done.stderr)
            return json.loads(done.stdout.splitlines()[-1]), d.path

    def assert_module_entry(self, report, name, filename, line):
        self.assertIsNotNone(report)
        ours = [entry for entry in report["entries"] if entry[0] == name]
        self.assertEqual(ours, [[name, filename, line]], report)

    def test_package_body(self):
        scenarios = [  # setup, expected type, expected args, whether __path__ was set
            ("import os\nclass E(dict):\n    def get(self, *a):\n        raise ValueError('environ')\n"
             "os.environ = E()", "ValueError", ["'environ'"], False),
            ("import os\nclass E(dict):\n    def get(self, *a):\n        raise KeyboardInterrupt('environ')\n"
             "os.environ = E()", "KeyboardInterrupt", ["'environ'"], False),
            ("import os.path\ndef d(p):\n    raise RuntimeError('dirname')\nos.path.dirname = d",
             "RuntimeError", ["'dirname'"], False),
            # An unhashable directory cannot key the path-importer cache (step 9).
            ("import os.path\nos.path.dirname = lambda p: []", "TypeError", ["\"unhashable type: 'list'\""],
             True),
            ("import inspect, types\nsys.modules['os'] = None", "ModuleNotFoundError", None, False),
        ]
        for setup, expected_type, expected_args, path_set in scenarios:
            with self.subTest(setup=setup.splitlines()[-1]):
                report, directory = self.run_scenario(
                    setup, "import smsline",
                    after="m = sys.modules.get('smsline')\n"
                          "out = [out, m is not None and hasattr(m, '__file__'), hasattr(m, '__path__')]")
                report, has_file, has_path = report
                self.assertEqual(report["type"], expected_type)
                if expected_args is not None:
                    self.assertEqual(report["args"], expected_args)
                self.assert_module_entry(report, "<module smsline>", directory + "/smsline/__init__", 1)
                self.assertEqual((has_file, has_path), (True, path_set))

        # A value of the wrong kind from os.environ.get is kept as it is.
        report, directory = self.run_scenario(
            "import os\nclass E(dict):\n    def get(self, *a):\n        return 5\nos.environ = E()",
            "import smsline", after="out = sys.modules['smsline'].__path__[1]")
        self.assertEqual(report, 5)

        # The module spec refuses its location: the failure is the package's, line 1.
        for attribute, error in (("origin", "ValueError"), ("submodule_search_locations", "KeyboardInterrupt")):
            setup = ("import importlib._bootstrap as b\n"
                     "real = b._spec_from_module\n"
                     "class Spec(object):\n"
                     "    def __setattr__(self, name, value):\n"
                     "        if name == %r:\n"
                     "            raise %s(name)\n"
                     "        object.__setattr__(self, name, value)\n"
                     "def fake(module, *rest):\n"
                     "    return Spec() if module.__name__ == 'smsline' else real(module, *rest)\n"
                     "b._spec_from_module = fake\n" % (attribute, error))
            report, directory = self.run_scenario(setup, "import smsline")
            self.assertEqual(report["type"], error)
            self.assert_module_entry(report, "<module smsline>", directory + "/smsline/__init__", 1)

    def test_submodule_body(self):
        hook = ("import builtins\nreal_import = builtins.__import__\n"
                "def hook(name, *args):\n"
                "    if name == %r:\n"
                "        %s\n"
                "    return real_import(name, *args)\n"
                "import smsline\nbuiltins.__import__ = hook\n")
        scenarios = [  # setup, expected type, line
            ("sys.modules['__future__'] = None", "ModuleNotFoundError", 1),
            ("sys.modules['time'] = None", "ModuleNotFoundError", 2),
            (hook % ("sys", "raise KeyboardInterrupt('sys')"), "KeyboardInterrupt", 3),
            (hook % ("glob", "raise RuntimeError('glob')"), "RuntimeError", 4),
            ("sys.modules['serial'] = None", "ModuleNotFoundError", 6),
            (hook % ("serial", "raise SystemExit(4)"), "SystemExit", 6),
            (hook % ("gsmmodem.modem", "return object()"), "ImportError", 7),
            (hook % ("smsline_gsm.modem", "raise MemoryError"), "MemoryError", 8),
            ("import smsline_gsm.modem as g\ndel g.SentSms", "ImportError", 8),
        ]
        for setup, expected_type, line in scenarios:
            with self.subTest(setup=setup.splitlines()[-1]):
                report, directory = self.run_scenario(
                    setup, after="try:\n    import smsline.send_sms\nexcept ImportError as e:\n"
                                 "    out = [out, str(e), e.__context__ is None]\n")
                report, again, no_context = report
                self.assertEqual(report["type"], expected_type)
                self.assert_module_entry(report, "<module smsline.send_sms>", directory + "/smsline/send_sms.py",
                                         line)
                # A second start after a failed first one does not run the body again.
                self.assertIn("failed to initialise earlier in this process", again)
                self.assertTrue(no_context)

    def test_module_spec_of_the_loader(self):
        scenarios = [("del b.ModuleSpec", "AttributeError"), ("b.ModuleSpec = 5", "TypeError"),
                     ("def spec(*a, **k):\n    raise KeyboardInterrupt\nb.ModuleSpec = spec", "KeyboardInterrupt")]
        for setup, expected in scenarios:
            with self.subTest(setup=setup):
                report, _ = self.run_scenario(
                    "import smsline, importlib._bootstrap as b\n" + setup,
                    "sys.meta_path[2].find_spec('smsline.send_sms')")
                self.assertEqual(report["type"], expected)
        report, _ = self.run_scenario("import smsline, importlib._bootstrap as b\nb.ModuleSpec = 5",
                                      "sys.meta_path[2].find_spec('smsline.send_sms')")
        self.assertEqual(report["args"], ["\"'int' object is not callable\""])


class LoaderFaults(unittest.TestCase):
    """get_data through a replaced open, and the directory listing of the extension-file scan."""

    def test_get_data(self):
        import builtins
        loader = sms.__loader__
        real_open = builtins.open
        try:
            for error in (PermissionError("open"), Abort("open")):
                def refusing(*args, **kwargs):
                    raise error
                builtins.open = refusing
                result, failure = call(loader.get_data, __file__)
                self.assertIs(failure, error)

            class File(object):
                def __init__(self, read_error=None, close_error=None):
                    self.read_error, self.close_error = read_error, close_error

                def read(self):
                    if self.read_error is not None:
                        raise self.read_error
                    return "not bytes"      # a result of the wrong kind passes through

                def close(self):
                    if self.close_error is not None:
                        raise self.close_error
            for error in (OSError("read"), KeyboardInterrupt()):
                builtins.open = lambda file, mode, error=error: File(read_error=error)
                self.assertIs(call(loader.get_data, __file__)[1], error)
                builtins.open = lambda file, mode, error=error: File(close_error=error)
                self.assertIs(call(loader.get_data, __file__)[1], error)
            builtins.open = lambda file, mode: File()
            self.assertEqual(loader.get_data(__file__), "not bytes")
        finally:
            builtins.open = real_open
        with open(__file__, "rb") as f:
            self.assertEqual(loader.get_data(__file__), f.read())

    def test_listing_fails_for_every_directory(self):
        code = """
            import os, sys, json
            calls = []
            def listdir(path):
                calls.append(path)
                raise {error}('listdir')
            os.listdir = listdir
            import smsline
            smsline.__path__.append('/tmp')
            loader = sys.meta_path[2]
            print(json.dumps([repr(loader.find_spec('smsline.extra')), repr(loader.find_module('smsline.extra')),
                              len(calls), sys.exc_info()[0] is None]))
        """
        for error in ("PermissionError", "ValueError", "RuntimeError"):
            with support.ExtensionDir() as d:
                done = support.run_python(code.format(error=error), path=[d.path])
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(json.loads(done.stdout), ["None", "None", 6, True])


class MemoryExhaustion(WorldCase):
    """Each allocation of a call made to fail in turn (the interpreter's own
    test hook fails the n-th allocation after it is set, and only that one).

    Whatever fails, the call ends in its result or an exception and leaves
    nothing pending; it never crashes, and no SystemError (a result and an
    exception disagreeing) comes from our frames or reaches the caller from
    them.  (From 3.11 the interpreter itself loses an exception whose
    traceback entry it cannot allocate in a Python frame, and raises a
    SystemError there: it does so for the plain Python twin too.)  When the
    call ends as it does without the fault, its traceback entries and those
    of the cause are the same: a failed allocation of one of our entries
    falls back to the interpreter's way of making it."""

    def sweep(self, world, function, *args):
        def ours(error):
            return (our_entries(error), error.__cause__ and our_entries(error.__cause__))

        undo = world.bind(own_serial_ports=function is send_sms)
        try:
            expected_result, expected = call(function, *args)
            # Taken now: the world raises its planned exceptions afresh.
            expected = expected and (type(expected), str(expected), ours(expected))
            usual = []
            for n in range(600):
                _testcapi.set_nomemory(n, n + 1)
                try:
                    result, error = call(function, *args)
                except MemoryError as raised:  # in the helper itself
                    result, error = None, raised
                finally:
                    _testcapi.remove_mem_hooks()
                self.assertEqual(sys.exc_info(), (None, None, None))
                if isinstance(error, SystemError):
                    self.assertNotIn(entries(error)[-1][0], ("call", function.__name__), (n, entries(error)))
                elif error is None:
                    self.assertEqual(result, expected_result, n)
                elif expected and (type(error), str(error)) == expected[:2]:
                    self.assertEqual(ours(error), expected[2], n)
                elif function is send_sms and str(error) == "Gsm Device Not Found":
                    # Every probe failed, some for want of memory.
                    self.assertEqual(our_entries(error), [("send_sms", 58)], n)
                    self.assertIn(our_entries(error.__cause__), [[("send_sms", line)] for line in (51, 52, 53)], n)
                else:
                    self.assertIsInstance(error, MemoryError, (n, error))
                usual.append(result == expected_result and (error and type(error)) == (expected and expected[0]))
        finally:
            undo()
        # The sweep went well past the call's last allocation.
        self.assertTrue(all(usual[-100:]))

    def test_serial_ports(self):
        world = World(candidates=("/dev/ttyA", "/dev/ttyB", "/dev/ttyC"), record=False)
        world.faults[("Serial", "/dev/ttyB")] = PortError("refused")
        self.sweep(world, serial_ports)

    def test_send_sms(self):
        for failing in (("p1",), ("p1", "p2")):
            with self.subTest(failing=failing):
                world = World(ports=("p1", "p2"), record=False)
                for port in failing:
                    world.faults[("connect", port)] = Failure("no answer")
                self.sweep(world, send_sms, "+1", "text")


if __name__ == "__main__":
    unittest.main()
