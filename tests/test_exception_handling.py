"""Caught exceptions: what anyone can see of one that serial_ports drops is what the twin shows.

serial_ports drops a refused port's exception without making its traceback
entry or its object when nothing can see them.  Every way of seeing them is
tried here against the interpreted twin (smsline/send_sms.py):
the exception's own code (its class's __init__ when its object is made, a
metaclass's checks while it is matched), code that runs while the clause
examines it, and trace, profile and monitoring tools.
"""
import contextlib
import ctypes
import importlib.util
import io
import os
import sys
import types
import unittest

import smsline.send_sms as sms

from tests import support
from tests.fakes import bound_globals

_spec = importlib.util.spec_from_file_location(
    "reference_send_sms", os.path.join(support.ROOT, "smsline", "send_sms.py"))
twin = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(twin)

PORTS = ["COM1", "COM2", "COM3"]
seen = []   # what the exceptions' own code and the hooks saw, in order

_set_error = ctypes.pythonapi.PyErr_SetObject
_set_error.argtypes = [ctypes.py_object, ctypes.py_object]
_set_error.restype = None


def raised_from_c(cls):
    """serial.Serial failing as a C function does: the exception set as a
    class and a message, its object not made yet (up to 3.11)."""
    def Serial(port):
        _set_error(cls, port)
    return Serial


def raised_from_python(cls):
    def Serial(port):
        raise cls(port)
    return Serial


class Counted(OSError):
    """Its __init__ runs when its object is made."""

    def __init__(self, *args):
        seen.append(("__init__", args))
        super().__init__(*args)


class Checking(type):
    """A metaclass that checks: the interpreter asks it while making the object."""

    def __subclasscheck__(cls, subclass):
        seen.append(("__subclasscheck__", cls.__name__, subclass.__name__))
        return super().__subclasscheck__(subclass)

    def __instancecheck__(cls, instance):
        seen.append(("__instancecheck__", cls.__name__))
        return super().__instancecheck__(instance)


class Checked(OSError, metaclass=Checking):
    pass


class Inspecting(object):
    """serial as an object whose SerialException runs code while the clause
    examines the exception: it sees the exception being handled and the line."""
    Serial = staticmethod(raised_from_c(OSError))

    @property
    def SerialException(self):
        caller = sys._getframe(1)
        seen.append(("handled", repr(sys.exc_info()[1]), caller.f_code.co_name, caller.f_lineno))
        return OSError


def raised_stored():
    """serial.Serial raising one kept exception for every port: each raise
    shows the traceback entries the ports before it left on it."""
    error = OSError("busy")

    def Serial(port):
        if port == PORTS[0]:
            error.__traceback__ = None
        entries, tb = [], error.__traceback__
        while tb is not None:
            entries.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
            tb = tb.tb_next
        seen.append(("carried", port, entries))
        raise error
    return Serial


def serial_module(Serial):
    module = types.ModuleType("serial")
    module.Serial, module.SerialException = Serial, OSError
    return module


SERIALS = {
    "built-in OSError from C": lambda: serial_module(raised_from_c(OSError)),
    "class with __init__ from C": lambda: serial_module(raised_from_c(Counted)),
    "class with a checking metaclass": lambda: serial_module(raised_from_python(Checked)),
    "SerialException read runs code": Inspecting,
    "one stored exception for every port": lambda: serial_module(raised_stored()),
}


def ours(code):
    return code.co_name == "serial_ports"


def trace(frame, event, arg):
    if ours(frame.f_code):
        seen.append(("trace", event, frame.f_lineno, repr(arg[1]) if event == "exception" else None))
    return trace


def profile(frame, event, arg):
    if ours(frame.f_code):
        seen.append(("profile", event, frame.f_lineno))


@contextlib.contextmanager
def tool(name):
    """A listener of the given kind while the function runs."""
    if name == "trace":
        sys.settrace(trace)
    elif name == "profile":
        sys.setprofile(profile)
    elif name == "monitoring":
        monitoring = sys.monitoring
        tool_id = monitoring.DEBUGGER_ID
        monitoring.use_tool_id(tool_id, "test")
        for event in ("RAISE", "RERAISE", "EXCEPTION_HANDLED", "PY_UNWIND"):
            def callback(code, offset, exception, event=event):
                if ours(code):
                    line = {at: line for start, end, line in code.co_lines() for at in range(start, end, 2)}[offset]
                    seen.append(("monitoring", event, line, repr(exception)))
            monitoring.register_callback(tool_id, getattr(monitoring.events, event), callback)
        monitoring.set_events(tool_id, monitoring.events.RAISE | monitoring.events.RERAISE |
                              monitoring.events.EXCEPTION_HANDLED | monitoring.events.PY_UNWIND)
    try:
        yield
    finally:
        sys.settrace(None)
        sys.setprofile(None)
        if name == "monitoring":
            sys.monitoring.set_events(sys.monitoring.DEBUGGER_ID, 0)
            sys.monitoring.free_tool_id(sys.monitoring.DEBUGGER_ID)


def observed(module, serial, listener):
    """What a serial_ports call over PORTS, none of which opens, lets be seen."""
    del seen[:]
    with bound_globals(module, sys=types.SimpleNamespace(platform="linux"),
                       glob=types.SimpleNamespace(glob=lambda pattern: list(PORTS)), serial=serial):
        # twice: the first call fills the recent-lookup caches
        for _ in range(2):
            with tool(listener), contextlib.redirect_stdout(io.StringIO()):
                result = module.serial_ports()
    return result, list(seen)


class UnseenExceptionsTest(unittest.TestCase):

    def test_everything_that_can_see_a_dropped_exception_sees_it_as_under_the_interpreter(self):
        listeners = ["none"]
        if support.EVENTS_SENT:
            listeners += ["trace", "profile"] + (["monitoring"] if hasattr(sys, "monitoring") else [])
        for label, make_serial in SERIALS.items():
            for listener in listeners:
                with self.subTest(serial=label, listener=listener):
                    serial = make_serial()
                    expected = observed(twin, serial, listener)
                    self.assertEqual(expected[0], [])
                    self.assertEqual(observed(sms, serial, listener), expected)
        # The guarantees are not vacuous: the interpreter made Counted's
        # objects and asked the metaclass (both up to 3.11; from 3.12 an
        # exception's object is made when it is raised), and the inspecting
        # read saw the exception handled.
        if sys.version_info < (3, 12):
            self.assertIn(("__init__", ("COM1",)), observed(twin, SERIALS["class with __init__ from C"](), "none")[1])
            self.assertIn(("__subclasscheck__", "Checked", "Checked"),
                          observed(twin, SERIALS["class with a checking metaclass"](), "none")[1])
        carried = observed(twin, SERIALS["one stored exception for every port"](), "none")[1]
        self.assertIn(("serial_ports", 36), carried[2][2])
        self.assertIn(("handled", "OSError('COM1',)" if sys.version_info < (3, 7) else "OSError('COM1')",
                       "serial_ports", 39), observed(twin, Inspecting(), "none")[1])


if __name__ == "__main__":
    unittest.main()
