"""Stand-ins for everything smsline.send_sms calls, for the reliability tests.

A World binds stand-ins for `sys`, `glob`, `serial`, `GsmModem` and (for
send_sms) `serial_ports` into the submodule's globals, and a recording
stdout.  Every outside operation goes through World.happen(), which logs it,
runs the world's `spy` (threads and signal tests look at frames there) and
then does what `faults` plans for it: raise an exception, or give back a
planned result of the wrong kind.  Ports and modems remember whether they
were opened and closed.
"""
import gc
import sys
import types

import smsline.send_sms as sms
from tests import support

SUBMODULE_FILE = sms.__file__
NOT_PLANNED = object()


class Abort(BaseException):
    """Not an Exception: what a keyboard interrupt or an exit looks like to the functions."""


class Failure(Exception):
    """An ordinary failure of an outside operation."""


class PortError(OSError):
    """A port that cannot be opened, as the serial library reports it."""


class SerialException(Exception):
    """Stands for serial.SerialException."""


class Platform(str):
    """sys.platform whose startswith goes through the world."""

    def __new__(cls, text, world):
        self = str.__new__(cls, text)
        self.world = world
        return self

    def startswith(self, prefix, *rest):
        return self.world.happen("startswith:" + prefix, None, str.startswith(self, prefix, *rest))


class Port(object):
    """What serial.Serial returns."""

    def __init__(self, world, name):
        self.world = world
        self.name = name
        self.closed = False

    def close(self):
        self.closed = True
        return self.world.happen("port.close", self.name, None)


class SentSms(object):
    def __init__(self, world, port):
        self.world = world
        self.port = port
        self.reads = 0

    @property
    def status(self):
        self.reads += 1
        return self.world.happen("status#%d" % self.reads, self.port, self.world.status)


class Modem(object):
    """What GsmModem(port, baudrate) makes."""

    def __init__(self, world, port, baudrate):
        self.world = world
        self.port = port
        self.baudrate = baudrate
        self.closed = 0
        self.probed = False

    def connect(self, pin):
        return self.world.happen("connect", self.port, None)

    def waitForNetworkCoverage(self, timeout):
        result = self.world.happen("waitForNetworkCoverage", self.port, 20)
        self.probed = True
        return result

    def sendSms(self, phone_number, text, **keywords):
        if self.world.record:
            self.world.sent.append((phone_number, text, keywords))
        return self.world.happen("sendSms", self.port, SentSms(self.world, self.port))

    def close(self):
        self.closed += 1
        return self.world.happen("close", self.port, None)


class Stdout(object):
    """sys.stdout that keeps what print writes; writing a planned text fails."""

    def __init__(self, world):
        self.world = world
        self.text = []

    def write(self, text):
        if text.startswith("Gsm Device Found"):
            self.world.happen("print:found", None, None)
        elif text == "Sending message now.":
            self.world.happen("print:notice", None, None)
        elif text not in ("\n", ""):
            self.world.happen("print:status", None, None)
        if self.world.record:
            self.text.append(text)
        return len(text)

    def flush(self):
        pass

    def lines(self):
        return "".join(self.text).splitlines()


class World(object):
    """Stand-ins for one scenario; see the module's docstring."""

    def __init__(self, candidates=("/dev/ttyA", "/dev/ttyB", "/dev/ttyC"), ports=("p1", "p2"),
                 platform="linux", status=0, spy=None, record=True):
        self.record = record    # False: keep no log (for runs of many calls)
        self.candidates = list(candidates)
        self.ports = list(ports)
        self.status = status
        self.spy = spy
        self.faults = {}        # operation or (operation, port) -> exception or result
        self.log = []           # (operation, port) in order
        self.opened = []        # Port objects serial.Serial made
        self.modems = []        # Modem objects GsmModem made
        self.sent = []          # (phone_number, text, keywords) given to sendSms
        self.stdout = Stdout(self)
        self.sys = types.SimpleNamespace(platform=Platform(platform, self))
        self.glob = types.SimpleNamespace(glob=self._glob)
        self.serial = types.SimpleNamespace(Serial=self._serial, SerialException=SerialException)

    def happen(self, operation, port, result):
        if self.record:
            self.log.append((operation, port))
        if self.spy is not None:
            self.spy(operation, port)
        for key in ((operation, port), operation):
            if key in self.faults:
                planned = self.faults[key]
                if isinstance(planned, BaseException):
                    # Raised afresh each time: a raise would otherwise add
                    # to the traceback the object carries from the last one.
                    planned.__traceback__ = planned.__context__ = None
                    raise planned
                return planned
        return result

    def _glob(self, pattern):
        return self.happen("glob", pattern, self.candidates)

    def _serial(self, name):
        planned = self.happen("Serial", name, NOT_PLANNED)
        if planned is not NOT_PLANNED:
            return planned
        port = Port(self, name)
        if self.record:
            self.opened.append(port)
        return port

    def GsmModem(self, port, baudrate):
        planned = self.happen("GsmModem", port, NOT_PLANNED)
        if planned is not NOT_PLANNED:
            return planned
        modem = Modem(self, port, baudrate)
        if self.record:
            self.modems.append(modem)
        return modem

    def serial_ports(self):
        return self.happen("serial_ports", None, self.ports)

    def left_open(self):
        """Ports of the modems that were made and never closed."""
        return [modem.port for modem in self.modems if not modem.closed]

    def bind(self, own_serial_ports=True):
        """Binds the stand-ins into the submodule; returns a function that puts the originals back."""
        names = {"sys": self.sys, "glob": self.glob, "serial": self.serial, "GsmModem": self.GsmModem}
        if own_serial_ports:
            names["serial_ports"] = self.serial_ports
        return bind_globals(names, stdout=self.stdout)


def bind_globals(names, stdout=None):
    """Binds `names` in the submodule (a value of None removes the name); returns the undo function."""
    namespace = sms.__dict__
    saved = {name: namespace[name] for name in names if name in namespace}
    saved_stdout = sys.stdout
    for name, value in names.items():
        if value is None:
            namespace.pop(name, None)
        else:
            namespace[name] = value
    if stdout is not None:
        sys.stdout = stdout

    def undo():
        sys.stdout = saved_stdout
        for name in names:
            namespace.pop(name, None)
        namespace.update(saved)
    return undo


def entries(error):
    """(function name, line) of each traceback entry, outermost first."""
    found = []
    tb = error.__traceback__
    while tb is not None:
        found.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return found


our_entries = support.submodule_entries


def recorded_locals(error, function):
    """The locals that the failed call of `function` recorded in its frame."""
    tb = error.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_name == function and code.co_filename == SUBMODULE_FILE:
            return dict(tb.tb_frame.f_locals)
        tb = tb.tb_next
    raise AssertionError("no %s entry in the traceback" % function)


def call(function, *args):
    """(result, exception) of one call; the exception keeps its traceback."""
    try:
        return function(*args), None
    except BaseException as error:  # noqa: B902 - BaseExceptions are what some tests plan
        return None, error


def quiesce():
    """Drops what earlier failures left behind and collects garbage."""
    sys.last_type = sys.last_value = sys.last_traceback = None
    del sys.last_type, sys.last_value, sys.last_traceback
    gc.collect()
    gc.collect()

