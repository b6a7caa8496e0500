"""serial_ports(): candidates per platform, probing, and the traceback of every failing statement."""
import glob
import sys
import types
import unittest

import serial

import smsline.send_sms as m
from tests.fakes import (MISSING, FakeGlob, FakePort, FakeSerialException, FakeSerialModule, FakeSys,
                         RecordingPlatform, bound_globals, serial_without_exception_class)

COM_NAMES = ["COM%d" % n for n in range(1, 257)]
LINUX_PATTERN = "/dev/tty[A-Za-z]*"
DARWIN_PATTERN = "/dev/tty.*"


def world(platform="linux", names=(), **serial_options):
    """Fakes for sys, glob and serial, and the bindings that put them in the module."""
    fakes = {"sys": FakeSys(RecordingPlatform(platform) if isinstance(platform, str) else platform),
             "glob": FakeGlob(names), "serial": FakeSerialModule(**serial_options)}
    return fakes


def failure_of(call):
    try:
        call()
    except BaseException as error:
        return error
    raise AssertionError("no exception")


def our_entries(tb, code):
    """The traceback entries from the first one of `code` on: (tb of ours, [names after it])."""
    while tb is not None and tb.tb_frame.f_code is not code:
        tb = tb.tb_next
    assert tb is not None, "no entry for %s" % code.co_name
    rest, after = [], tb.tb_next
    while after is not None:
        rest.append(after.tb_frame.f_code.co_name)
        after = after.tb_next
    return tb, rest


class CandidateSelectionTest(unittest.TestCase):

    def test_windows_candidates_are_com1_to_com256(self):
        fakes = world("win32")
        with bound_globals(m, **fakes):
            result = m.serial_ports()
        self.assertEqual(result, COM_NAMES)
        self.assertTrue(all(type(name) is str for name in result))
        self.assertEqual(fakes["serial"].opened, COM_NAMES)
        self.assertEqual(fakes["serial"].closed, COM_NAMES)
        self.assertEqual(fakes["sys"].platform.asked, ["win"])
        self.assertEqual(fakes["glob"].patterns, [])

    def test_glob_platforms(self):
        names = ["/dev/ttyS1", "/dev/ttyACM0", "/dev/ttyS0"]
        for platform, asked, pattern in (
                ("linux", ["win", "linux"], LINUX_PATTERN),
                ("linux2", ["win", "linux"], LINUX_PATTERN),
                ("cygwin", ["win", "linux", "cygwin"], LINUX_PATTERN),
                ("darwin", ["win", "linux", "cygwin", "darwin"], DARWIN_PATTERN)):
            with self.subTest(platform=platform):
                fakes = world(platform, list(names))
                with bound_globals(m, **fakes):
                    result = m.serial_ports()
                self.assertEqual(fakes["sys"].platform.asked, asked)
                self.assertEqual(fakes["glob"].patterns, [pattern])
                # Unsorted, and the very strings that glob gave.
                self.assertEqual(result, names)
                self.assertTrue(all(a is b for a, b in zip(result, fakes["glob"].names)))
                self.assertEqual(fakes["serial"].opened, names)

    def test_any_iterable_of_candidates(self):
        fakes = world("linux", (name for name in ("/dev/ttyA", "/dev/ttyB")))
        with bound_globals(m, **fakes):
            self.assertEqual(m.serial_ports(), ["/dev/ttyA", "/dev/ttyB"])

    def test_unsupported_platform(self):
        for platform in ("freebsd12", "sunos5", "", "Win32", "LINUX"):
            with self.subTest(platform=platform):
                fakes = world(platform)
                with bound_globals(m, **fakes):
                    error = failure_of(m.serial_ports)
                self.assertIs(type(error), OSError)
                self.assertEqual(error.args, ("Unsupported platform",))
                self.assertEqual(fakes["sys"].platform.asked, ["win", "linux", "cygwin", "darwin"])
                self.assertEqual(fakes["glob"].patterns, [])
                self.assertEqual(fakes["serial"].opened, [])


class ProbingTest(unittest.TestCase):

    def test_failed_opens_are_left_out(self):
        class SerialExceptionChild(FakeSerialException):
            pass

        outcomes = {"/dev/ttyA": FakeSerialException, "/dev/ttyB": SerialExceptionChild("busy"),
                    "/dev/ttyC": OSError(5, "I/O"), "/dev/ttyD": FileNotFoundError,
                    "/dev/ttyE": PermissionError, "/dev/ttyF": serial.SerialException}
        names = sorted(outcomes)
        fakes = world("linux", names, open_outcomes=outcomes)
        with bound_globals(m, **fakes):
            # serial.SerialException of pyserial is an OSError: caught as one.
            self.assertEqual(m.serial_ports(), [])
        self.assertEqual(fakes["serial"].opened, names)
        self.assertEqual(fakes["serial"].closed, [])

        fakes = world("linux", ["/dev/ttyA", "/dev/ttyB", "/dev/ttyC"],
                      open_outcomes={"/dev/ttyA": OSError}, close_outcomes={"/dev/ttyB": OSError})
        with bound_globals(m, **fakes):
            self.assertEqual(m.serial_ports(), ["/dev/ttyC"])
        self.assertEqual(fakes["serial"].opened, ["/dev/ttyA", "/dev/ttyB", "/dev/ttyC"])
        self.assertEqual(fakes["serial"].closed, ["/dev/ttyB", "/dev/ttyC"])

    def test_no_candidates(self):
        fakes = world("darwin", [])
        with bound_globals(m, **fakes):
            self.assertEqual(m.serial_ports(), [])
        self.assertEqual(fakes["serial"].opened, [])

    def test_other_exceptions_end_the_call(self):
        for raised in (ValueError("bad name"), KeyboardInterrupt(), Exception("plain")):
            with self.subTest(raised=type(raised).__name__):
                fakes = world("win32", open_outcomes={"COM3": raised})
                with bound_globals(m, **fakes):
                    error = failure_of(m.serial_ports)
                self.assertIs(error, raised)
                self.assertEqual(fakes["serial"].opened, ["COM1", "COM2", "COM3"])
                tb, rest = our_entries(error.__traceback__, m.serial_ports.__code__)
                self.assertEqual(tb.tb_lineno, 36)
                self.assertEqual(rest, ["Serial", "_raise"])
                self.assertIsNone(error.__context__)

    def test_rebinding_serial_is_seen_by_the_next_call(self):
        names = ["/dev/ttyA", "/dev/ttyB"]
        first = world("linux", names)
        with bound_globals(m, **first):
            self.assertEqual(m.serial_ports(), names)
            # A library with its own exception class: matched through the new binding.
            class OtherSerialException(Exception):
                pass
            second = FakeSerialModule(open_outcomes={"/dev/ttyA": OtherSerialException},
                                      exception_class=OtherSerialException)
            m.serial = second
            self.assertEqual(m.serial_ports(), ["/dev/ttyB"])
        self.assertEqual(first["serial"].opened, names)
        self.assertEqual(second.opened, names)

    def test_module_attributes_are_read_afresh_at_each_call(self):
        # Plain modules (the exact module type) changed between calls: each
        # call reads what the module holds then.
        opened = []

        owner = types.SimpleNamespace(closed=[], close_outcomes={})

        def opener(tag):
            return lambda name: opened.append(tag) or FakePort(owner, name)

        first, other, sys_module = (types.ModuleType(name) for name in ("serial", "serial", "sys"))
        first.Serial, first.SerialException = opener("first"), FakeSerialException
        other.Serial, other.SerialException = opener("other"), FakeSerialException
        sys_module.platform = "linux"
        steps = [(None, first, "first"), (None, first, "first"), (("Serial", opener("again")), first, "again"),
                 (None, other, "other"), (None, first, "again")]
        if sys.version_info >= (3, 7):  # a module's own __getattr__ (PEP 562) answers a deleted name
            steps.append((("__getattr__", lambda name: opener("late")), first, "late"))
        with bound_globals(m, sys=sys_module, glob=FakeGlob(["/dev/ttyA"])):
            for change, bound, tag in steps:
                if change and change[0] == "__getattr__":
                    del first.Serial
                if change:
                    setattr(first, *change)
                del opened[:]
                with bound_globals(m, serial=bound):
                    self.assertEqual((m.serial_ports(), opened), (["/dev/ttyA"], [tag]))
            sys_module.platform = "win32"
            with bound_globals(m, serial=other):
                self.assertEqual(m.serial_ports(), COM_NAMES)
            del sys_module.platform
            error = failure_of(m.serial_ports)
        self.assertIsInstance(error, AttributeError)
        self.assertEqual(our_entries(error.__traceback__, m.serial_ports.__code__)[0].tb_lineno, 23)

    def test_matches_this_machine(self):
        if not sys.platform.startswith("linux"):
            self.skipTest("Linux only")

        def plain_serial_ports():
            result = []
            for port in glob.glob(LINUX_PATTERN):
                try:
                    s = serial.Serial(port)
                    s.close()
                    result.append(port)
                except (OSError, serial.SerialException):
                    pass
            return result

        self.assertIs(m.serial, serial)
        self.assertEqual(m.serial_ports(), plain_serial_ports())


class FailureLinesTest(unittest.TestCase):
    """Every statement that can fail: the exception, our traceback entry and the recorded locals."""

    def fail_with(self, fakes, line, tail, local_names):
        with bound_globals(m, **fakes):
            error = failure_of(m.serial_ports)
        tb, rest = our_entries(error.__traceback__, m.serial_ports.__code__)
        self.assertEqual((tb.tb_frame.f_code.co_filename, tb.tb_lineno), (m.__file__, line))
        self.assertEqual(rest, tail)
        # Exactly one entry for the call.
        self.assertEqual(sum(entry.tb_frame.f_code is m.serial_ports.__code__
                             for entry in walk(error.__traceback__)), 1)
        self.assertEqual(sorted(tb.tb_frame.f_locals), sorted(local_names))
        return error, tb.tb_frame.f_locals

    def test_platform_tests(self):
        error, _ = self.fail_with({"sys": MISSING}, 23, [], [])
        self.assertIsInstance(error, NameError)
        self.assertEqual(str(error), "name 'sys' is not defined")

        error, _ = self.fail_with({"sys": FakeSys(object())}, 23, [], [])
        self.assertIsInstance(error, AttributeError)

        for platform, fail_on, line in (("linux", "win", 23), ("linux", "linux", 25), ("sunos5", "cygwin", 25),
                                        ("sunos5", "darwin", 28)):
            with self.subTest(fail_on=fail_on):
                problem = RuntimeError("cannot tell")
                fakes = {"sys": FakeSys(RecordingPlatform(platform, fail_on=fail_on, error=problem))}
                error, _ = self.fail_with(fakes, line, ["startswith", "_raise"], [])
                self.assertIs(error, problem)

        # A truth test that fails.
        class Undecided(object):
            def __bool__(self):
                raise ValueError("undecided")

        class Platform(object):
            def startswith(self, prefix):
                return False if prefix == "win" else Undecided()

        error, _ = self.fail_with({"sys": FakeSys(Platform())}, 25, ["__bool__"], [])
        self.assertEqual(str(error), "undecided")

    def test_candidate_lists(self):
        for platform, line in (("linux", 27), ("darwin", 29)):
            with self.subTest(platform=platform):
                fakes = world(platform)
                fakes["glob"].error = LookupError("no patterns today")
                error, _ = self.fail_with(fakes, line, ["glob", "_raise"], [])
                self.assertIsInstance(error, LookupError)

                fakes = world(platform)
                fakes["glob"] = MISSING
                error, _ = self.fail_with(fakes, line, [], [])
                self.assertEqual(str(error), "name 'glob' is not defined")

        error, _ = self.fail_with(world("plan9"), 31, [], [])
        self.assertEqual(error.args, ("Unsupported platform",))

    def test_iteration(self):
        error, local = self.fail_with(world("linux", 5), 34, [], ["ports", "result"])
        self.assertIsInstance(error, TypeError)
        self.assertEqual(local, {"ports": 5, "result": []})

        def names():
            yield "/dev/ttyA"
            raise ValueError("device list changed")

        fakes = world("linux", names())
        error, local = self.fail_with(fakes, 34, ["names"], ["ports", "result", "port", "s"])
        self.assertEqual(str(error), "device list changed")
        self.assertIs(local["ports"], fakes["glob"].names)
        self.assertEqual(local["result"], ["/dev/ttyA"])
        self.assertEqual(local["port"], "/dev/ttyA")
        self.assertIs(local["s"], fakes["serial"].ports[0])

    def test_probe_statements(self):
        problem = ValueError("not a port name")
        fakes = world("linux", ["/dev/ttyA"], open_outcomes={"/dev/ttyA": problem})
        error, local = self.fail_with(fakes, 36, ["Serial", "_raise"], ["ports", "result", "port"])
        self.assertIs(error, problem)
        self.assertEqual(local["port"], "/dev/ttyA")

        # The previous port object is still bound to s.
        fakes = world("linux", ["/dev/ttyA", "/dev/ttyB"], open_outcomes={"/dev/ttyB": ValueError})
        error, local = self.fail_with(fakes, 36, ["Serial", "_raise"], ["ports", "result", "port", "s"])
        self.assertEqual((local["result"], local["port"]), (["/dev/ttyA"], "/dev/ttyB"))
        self.assertIsInstance(local["s"], FakePort)
        self.assertEqual(local["s"].name, "/dev/ttyA")

        fakes = world("linux", ["/dev/ttyA", "/dev/ttyB"], close_outcomes={"/dev/ttyA": ValueError})
        error, local = self.fail_with(fakes, 37, ["close", "_raise"], ["ports", "result", "port", "s"])
        self.assertEqual((local["result"], local["port"], local["s"].name), ([], "/dev/ttyA", "/dev/ttyA"))
        self.assertEqual(fakes["serial"].opened, ["/dev/ttyA"])

        # The global `serial` is looked up for every candidate.
        fakes = world("linux", ["/dev/ttyA"])
        fakes["serial"] = types.ModuleType("serial")  # a module without Serial
        fakes["serial"].SerialException = FakeSerialException
        error, _ = self.fail_with(fakes, 36, [], ["ports", "result", "port"])
        self.assertIsInstance(error, AttributeError)

    def test_exception_pair(self):
        candidate = OSError("cannot open")
        # No SerialException: the AttributeError has the candidate's failure as context.
        fakes = world("linux", ["/dev/ttyA"])
        fakes["serial"] = serial_without_exception_class(open_outcomes={"/dev/ttyA": candidate})
        error, local = self.fail_with(fakes, 39, [], ["ports", "result", "port"])
        self.assertIsInstance(error, AttributeError)
        self.assertEqual(str(error), "module 'serial' has no attribute 'SerialException'")
        self.assertIs(error.__context__, candidate)
        context_tb, rest = our_entries(candidate.__traceback__, m.serial_ports.__code__)
        self.assertEqual((context_tb.tb_lineno, rest), (36, ["Serial", "_raise"]))
        self.assertIs(context_tb.tb_frame, walk_to(error.__traceback__, m.serial_ports.__code__).tb_frame)

        # SerialException that is not an exception class.
        for not_a_class in ("SerialException", int, (OSError,)):
            with self.subTest(not_a_class=not_a_class):
                candidate = OSError("cannot open")
                fakes = world("linux", ["/dev/ttyA"], open_outcomes={"/dev/ttyA": candidate},
                              exception_class=not_a_class)
                error, _ = self.fail_with(fakes, 39, [], ["ports", "result", "port"])
                self.assertIs(type(error), TypeError)
                self.assertEqual(str(error), "catching classes that do not inherit from BaseException is not allowed")
                self.assertIs(error.__context__, candidate)

        # Without the global `serial`, the lookup at line 36 fails, and so does
        # the one that builds the pair: the second NameError leaves, at 39.
        fakes = world("linux", ["/dev/ttyA", "/dev/ttyB"])
        fakes["serial"] = MISSING
        error, _ = self.fail_with(fakes, 39, [], ["ports", "result", "port"])
        self.assertEqual(str(error), "name 'serial' is not defined")
        first = error.__context__
        self.assertIsInstance(first, NameError)
        self.assertEqual(str(first), "name 'serial' is not defined")
        self.assertEqual(our_entries(first.__traceback__, m.serial_ports.__code__)[0].tb_lineno, 36)
        self.assertIsNone(first.__context__)


def walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


def walk_to(tb, code):
    return next(entry for entry in walk(tb) if entry.tb_frame.f_code is code)


if __name__ == "__main__":
    unittest.main()
