"""Stand-ins for the serial ports and the modem written as ordinary Python classes.

The benchmarks bind these into the contenders' globals where the callees are
to be Python code: the objects keep their state in an instance dictionary
(no __slots__), as pyserial's Serial and the modem library's GsmModem do, so
the cases see what a caller does to them (a method look-up that forced their
dictionary into existence would slow every later attribute read of theirs).
Each method does the little that its real counterpart does first: store or
read an attribute.
"""


class SerialException(IOError):
    """What a port that cannot be opened raises (pyserial's own class)."""


class Serial(object):
    """serial.Serial(port): an opened port."""

    def __init__(self, port):
        self.port = port
        self.is_open = True

    def close(self):
        self.is_open = False


class RefusingSerial(object):
    """serial.Serial(port) for a port that does not open."""

    def __init__(self, port):
        raise SerialException('could not open port')


class ProbeFailed(Exception):
    """What connect raises on a port without a modem."""


class SentSms(object):
    ENROUTE = 0

    def __init__(self, number, text):
        self.number = number
        self.text = text
        self.status = SentSms.ENROUTE


class GsmModem(object):
    """GsmModem(port, baudrate): a modem that comes up unless its port is dead."""

    dead_ports = frozenset()

    def __init__(self, port, baudrate):
        self.port = port
        self.baudrate = baudrate
        self.alive = False
        self.signal = -1

    def connect(self, pin=None):
        if self.port in self.dead_ports:
            raise ProbeFailed('no modem on this port')
        self.alive = True

    def waitForNetworkCoverage(self, timeout=None):
        self.signal = 20
        return self.signal

    def sendSms(self, destination, text, waitForDeliveryReport=False, deliveryTimeout=15):
        return SentSms(destination, text)

    def close(self):
        self.alive = False


def set_dead_ports(ports):
    """Modems made for these ports fail to connect."""
    GsmModem.dead_ports = frozenset(ports)
