"""In-memory stand-ins for the modules that smsline.send_sms drives.

Bind them into the submodule's globals (`bound_globals(module, sys=..., glob=...,
serial=...)`); the functions look their globals up at every use, so the next
call sees them.
"""
import contextlib
import types

_MISSING = object()


class FakeSerialException(Exception):
    """Stands for serial.SerialException; deliberately not an OSError."""


def _raise(outcome):
    if isinstance(outcome, type) and issubclass(outcome, BaseException):
        raise outcome("fake failure")
    if isinstance(outcome, BaseException):
        raise outcome
    if callable(outcome):
        outcome()


class FakePort(object):
    """The object a successful FakeSerialModule.Serial(name) returns."""

    def __init__(self, owner, name):
        self.owner = owner
        self.name = name
        self.closed = False

    def close(self):
        self.owner.closed.append(self.name)
        self.closed = True
        outcome = self.owner.close_outcomes.get(self.name)
        if outcome is not None:
            _raise(outcome)

    def __repr__(self):
        return "<FakePort %s>" % self.name


class FakeSerialModule(types.ModuleType):
    """Stands for the `serial` module.

    `open_outcomes` and `close_outcomes` map a candidate name to what Serial()
    or close() does for it: an exception class or instance to raise, or a
    callable to run first (anything it raises propagates).  Names not listed
    open and close.  `opened` lists every name passed to Serial, `closed`
    every name whose port was closed.
    """

    def __init__(self, open_outcomes=None, close_outcomes=None, exception_class=FakeSerialException,
                 name="serial"):
        super(FakeSerialModule, self).__init__(name)
        self.open_outcomes = dict(open_outcomes or {})
        self.close_outcomes = dict(close_outcomes or {})
        self.opened = []
        self.closed = []
        self.ports = []
        if exception_class is not _MISSING:
            self.SerialException = exception_class

    def Serial(self, name):
        self.opened.append(name)
        outcome = self.open_outcomes.get(name)
        if outcome is not None:
            _raise(outcome)
        port = FakePort(self, name)
        self.ports.append(port)
        return port


def serial_without_exception_class(**kwargs):
    """A FakeSerialModule that has no SerialException attribute at all."""
    return FakeSerialModule(exception_class=_MISSING, **kwargs)


class FakeGlob(types.ModuleType):
    """Stands for the `glob` module: glob() records its patterns and returns `names`."""

    def __init__(self, names=(), error=None):
        super(FakeGlob, self).__init__("glob")
        self.names = names
        self.error = error
        self.patterns = []

    def glob(self, pattern):
        self.patterns.append(pattern)
        if self.error is not None:
            _raise(self.error)
        return self.names


class RecordingPlatform(str):
    """A platform name whose startswith records the prefixes it was asked about."""

    def __new__(cls, text, fail_on=None, error=None):
        self = super(RecordingPlatform, cls).__new__(cls, text)
        self.asked = []
        self.fail_on = fail_on
        self.error = error
        return self

    def startswith(self, prefix, *rest):
        self.asked.append(prefix)
        if prefix == self.fail_on:
            _raise(self.error or RuntimeError("platform test failed"))
        return str.startswith(self, prefix, *rest)


class FakeSys(types.ModuleType):
    """Stands for the `sys` module: only `platform` is there."""

    def __init__(self, platform):
        super(FakeSys, self).__init__("sys")
        self.platform = platform


class FakeSentSms(object):
    def __init__(self, status=0):
        self.status = status


class FakeModemFactory(object):
    """Stands for GsmModem: calling it makes a recording modem.

    `behaviour` maps a port name to a dict of method name -> outcome (as in
    FakeSerialModule).  Every call made on any modem is appended to `calls`
    as a tuple (port, method, args, kwargs).
    """

    def __init__(self, behaviour=None, status=0):
        self.behaviour = dict(behaviour or {})
        self.status = status
        self.calls = []
        self.modems = []

    def __call__(self, port, baudrate):
        self.calls.append((port, "__init__", (port, baudrate), {}))
        outcome = self.behaviour.get(port, {}).get("__init__")
        if outcome is not None:
            _raise(outcome)
        modem = FakeModem(self, port)
        self.modems.append(modem)
        return modem


class FakeModem(object):
    def __init__(self, factory, port):
        self.factory = factory
        self.port = port

    def _record(self, method, args, kwargs):
        self.factory.calls.append((self.port, method, args, kwargs))
        outcome = self.factory.behaviour.get(self.port, {}).get(method)
        if outcome is not None:
            _raise(outcome)

    def connect(self, pin=None):
        self._record("connect", (pin,), {})

    def waitForNetworkCoverage(self, timeout=None):
        self._record("waitForNetworkCoverage", (timeout,), {})

    def sendSms(self, destination, text, waitForDeliveryReport=False, deliveryTimeout=15):
        self._record("sendSms", (destination, text),
                     {"waitForDeliveryReport": waitForDeliveryReport, "deliveryTimeout": deliveryTimeout})
        return FakeSentSms(self.factory.status)

    def close(self):
        self._record("close", (), {})


@contextlib.contextmanager
def bound_globals(module, **values):
    """Binds `values` in the module's dictionary for the duration of the block.

    A value of `MISSING` deletes the name; everything is put back afterwards.
    """
    namespace = module.__dict__
    saved = {name: namespace.get(name, _MISSING) for name in values}
    try:
        for name, value in values.items():
            if value is _MISSING:
                namespace.pop(name, None)
            else:
                namespace[name] = value
        yield
    finally:
        for name, value in saved.items():
            if value is _MISSING:
                namespace.pop(name, None)
            else:
                namespace[name] = value


MISSING = _MISSING
