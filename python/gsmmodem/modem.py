"""A compact, synchronous driver for GSM modems that speak 3GPP AT commands.

It does what sending a text message needs: bring the modem up, wait for the
network, send one SMS in text mode and, if asked, wait for its status report.
Replies are read as they arrive, line by line, against a deadline; lines the
modem sends on its own (RING, +CREG: 1, +CDSI: ...) are picked out on the way.
"""
import binascii
import csv
import re
import time

import serial

from .exceptions import (CmeError, CmsError, CommandError, EncodingError,
                         GsmModemException, IncorrectPinError,
                         InvalidStateException, MessageTooLongError,
                         PinRequiredError, PukRequiredError, TimeoutException,
                         cme_error)

__all__ = ['GsmModem', 'SentSms', 'StatusReport', 'encode_text', 'gsm_septets',
           'GSM_LIMIT', 'UCS2_LIMIT', 'GsmModemException', 'TimeoutException',
           'InvalidStateException', 'CommandError', 'CmeError', 'CmsError',
           'PinRequiredError', 'PukRequiredError', 'IncorrectPinError',
           'EncodingError', 'MessageTooLongError']

# The GSM 7-bit default alphabet, indexed by code; 0x1B escapes to the
# extension table below, whose characters therefore take two septets.
GSM_BASIC = (u'@\u00a3$\u00a5\u00e8\u00e9\u00f9\u00ec\u00f2\u00c7\n\u00d8\u00f8\r\u00c5\u00e5'
             u'\u0394_\u03a6\u0393\u039b\u03a9\u03a0\u03a8\u03a3\u0398\u039e\x1b\u00c6\u00e6\u00df\u00c9'
             u' !"#\u00a4%&\'()*+,-./0123456789:;<=>?'
             u'\u00a1ABCDEFGHIJKLMNOPQRSTUVWXYZ\u00c4\u00d6\u00d1\u00dc\u00a7'
             u'\u00bfabcdefghijklmnopqrstuvwxyz\u00e4\u00f6\u00f1\u00fc\u00e0')
GSM_EXTENSION = {u'\x0c': 0x0A, u'^': 0x14, u'{': 0x28, u'}': 0x29, u'\\': 0x2F,
                 u'[': 0x3C, u'~': 0x3D, u']': 0x3E, u'|': 0x40, u'\u20ac': 0x65}
GSM_CODES = dict((ch, code) for code, ch in enumerate(GSM_BASIC) if code != 0x1B)
# While a message is typed in, the modem reads backspace, Ctrl-Z and ESC as
# editing keys, so text needing those codes never goes out as raw GSM bytes.
_GSM_UNSAFE = frozenset([0x08, 0x1A, 0x1B])

GSM_LIMIT = 160   # septets in one message
UCS2_LIMIT = 70   # UTF-16 code units in one message

CTRL_Z = b'\x1a'
ESC = b'\x1b'

_URC_PREFIXES = ('RING', '+CRING:', '+CLIP:', '+CMTI:', '+CBM:', '+CBMI:',
                 '+CUSD:', '+CGREG:', '+CEREG:', 'NO CARRIER')
_NUMBER = re.compile(r'^\+?[0-9*#]{1,20}$')


def gsm_septets(text):
    """Septets ``text`` takes in the GSM 7-bit alphabet; None if it is not GSM text."""
    count = 0
    for ch in text:
        if ch in GSM_CODES:
            count += 1
        elif ch in GSM_EXTENSION:
            count += 2
        else:
            return None
    return count


def _ucs2_hex(text):
    try:
        return binascii.hexlify(text.encode('utf-16-be')).upper()
    except UnicodeEncodeError as e:
        raise EncodingError('text cannot be encoded as UTF-16: %s' % e)


def encode_text(text):
    """How ``text`` goes to the modem: ``(charset, dcs, body bytes)``.

    GSM text uses the GSM character set and is sent 7-bit (dcs 0).  GSM text
    with extension characters (or codes the modem would read as editing keys)
    is handed over as UCS2 hex but still sent 7-bit: the modem packs it.
    Anything else is sent as UCS2 (dcs 8).  Too long a text raises
    MessageTooLongError; nothing is ever cut.
    """
    if not isinstance(text, str):
        raise EncodingError('message text must be str, not %s' % type(text).__name__)
    septets = gsm_septets(text)
    if septets is not None:
        if septets > GSM_LIMIT:
            raise MessageTooLongError(septets, GSM_LIMIT, 'GSM 7-bit septets')
        codes = [GSM_CODES.get(ch) for ch in text]
        if None not in codes and not _GSM_UNSAFE.intersection(codes):
            return 'GSM', 0, bytes(bytearray(codes))
        return 'UCS2', 0, _ucs2_hex(text)
    body = _ucs2_hex(text)
    units = len(body) // 4
    if units > UCS2_LIMIT:
        raise MessageTooLongError(units, UCS2_LIMIT, 'UCS2 code units')
    return 'UCS2', 8, body


def _fields(text):
    """Split a reply's parameters, honouring quotes ("yy/MM/dd,hh:mm:ss")."""
    try:
        return next(csv.reader([text.strip()], skipinitialspace=True), [])
    except csv.Error as e:      # a NUL byte from a noisy line
        raise GsmModemException('unreadable reply parameters %r: %s' % (text, e))


def _int_field(text, index, command):
    """Parameter ``index`` of a reply as an int; a reply that has no such number is the modem's error."""
    fields = _fields(text)
    try:
        return int(fields[index])
    except (IndexError, ValueError):
        raise GsmModemException('%s: unexpected reply parameters %r' % (command, text))


def _shown(command):
    """The command as it may appear in messages: never with the PIN in it."""
    return re.sub(r'^(AT\+CPIN=)"?[^"]*"?', r'\1"****"', command)


def _error_for(command, line):
    """The exception a final error line stands for, or None."""
    if line == 'ERROR':
        return CommandError(_shown(command), 'ERROR', None)
    for prefix, make in (('+CME ERROR:', cme_error), ('+CMS ERROR:', CmsError)):
        if line.startswith(prefix):
            code = line[len(prefix):].strip()
            return make(_shown(command), int(code) if code.isdigit() else code)
    return None


class StatusReport(object):
    """A delivery status report for a sent message (<st> as in 3GPP 23.040)."""

    def __init__(self, reference, deliveryStatus, number=None, timeSent=None,
                 timeDelivered=None):
        self.reference = reference
        self.deliveryStatus = deliveryStatus
        self.number = number
        self.timeSent = timeSent
        self.timeDelivered = timeDelivered

    @property
    def status(self):
        if self.deliveryStatus < 0x20:      # transaction completed
            return SentSms.DELIVERED
        if self.deliveryStatus < 0x40:      # temporary error, still trying
            return SentSms.ENROUTE
        return SentSms.FAILED

    def __repr__(self):
        return 'StatusReport(reference=%r, deliveryStatus=%r)' % (
            self.reference, self.deliveryStatus)


class SentSms(object):
    """A message the modem accepted; ``reference`` is its +CMGS reference."""
    ENROUTE = 0
    DELIVERED = 1
    FAILED = 2

    def __init__(self, number, text, reference, report=None):
        self.number = number
        self.text = text
        self.reference = reference
        self.report = report

    @property
    def status(self):
        return self.ENROUTE if self.report is None else self.report.status

    def __repr__(self):
        return 'SentSms(number=%r, reference=%r, status=%r)' % (
            self.number, self.reference, self.status)


class GsmModem(object):
    """One modem on one serial port.  Nothing is opened before connect()."""

    readTimeout = 0.05          # serial read timeout: how often deadlines are checked
    startupAttemptTimeout = 0.5  # wait for each early ATZ while the modem wakes up
    pollInterval = 0.25         # between AT+CREG? polls
    busyRetryTime = 3.0         # how long "busy" answers (CME 14, CMS 515) are retried
    busyRetryDelay = 0.2

    def __init__(self, port, baudrate=115200, commandTimeout=3.0,
                 startupTimeout=5.0, sendTimeout=30.0):
        self.port = port
        self.baudrate = baudrate
        self.commandTimeout = commandTimeout
        self.startupTimeout = startupTimeout
        self.sendTimeout = sendTimeout
        self._serial = None
        self._reset_session()

    def _reset_session(self):
        self._buf = b''
        self._settings = {}         # last value set per setting, e.g. AT+CSCS
        self._reports = {}          # message reference -> StatusReport
        self._report_indexes = []   # stored reports announced by +CDSI
        self._creg_urc = None
        self._skip_next = False

    @property
    def alive(self):
        return self._serial is not None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # ---- connection -----------------------------------------------------

    def connect(self, pin=None):
        """Open the port and bring the modem into text mode with the SIM unlocked.

        On failure the port stays open: call close().
        """
        if self._serial is not None:
            raise InvalidStateException('%s is already connected' % self.port)
        self._reset_session()
        self._serial = serial.Serial(self.port, self.baudrate, timeout=self.readTimeout,
                                     write_timeout=self.commandTimeout)
        self._wake_up()
        self._command('ATE0')
        self._command('AT+CMEE=1')
        self._unlock_sim(pin)
        self._command('AT+CMGF=1')

    def close(self):
        """Close the port; harmless when it is not open."""
        port, self._serial = self._serial, None
        self._buf = b''
        if port is not None:
            try:
                port.close()
            except (OSError, serial.SerialException):
                pass

    def _wake_up(self):
        # A modem that was just powered or plugged in may ignore the first
        # commands: repeat ATZ until it answers or the startup time is over.
        deadline = time.monotonic() + self.startupTimeout
        attempts = 0
        while True:
            attempts += 1
            self._buf = b''
            self._serial.reset_input_buffer()
            left = max(0.05, deadline - time.monotonic())
            try:
                self._command('ATZ', timeout=min(self.startupAttemptTimeout, left))
                break
            except TimeoutException as e:
                if time.monotonic() >= deadline:
                    raise TimeoutException('no reply to ATZ from %s within %.1f s (%d attempts)'
                                           % (self.port, self.startupTimeout, attempts), e.data)
        if attempts > 1:
            # A late answer to an earlier ATZ must not pass for the next reply.
            self._drain(0.1)

    def _drain(self, quiet):
        limit = time.monotonic() + self.commandTimeout
        until = time.monotonic() + quiet
        while time.monotonic() < min(until, limit):
            if self._serial.read(self._waiting() or 1):
                until = time.monotonic() + quiet
        self._buf = b''

    def _unlock_sim(self, pin):
        state = self._sim_state()
        if state == 'SIM PIN':
            if pin is None:
                raise PinRequiredError('AT+CPIN?', message='AT+CPIN? answered "+CPIN: SIM PIN": '
                                       'the SIM needs a PIN (CME 11) and none was given')
            pin = str(pin)
            if not re.match(r'^[0-9]+$', pin):
                raise EncodingError('a PIN consists of digits only')
            self._command('AT+CPIN="%s"' % pin)
            state = self._sim_state()
        if state == 'READY':
            return
        if state == 'SIM PUK':
            raise PukRequiredError('AT+CPIN?', message='AT+CPIN? answered "+CPIN: SIM PUK": '
                                   'the SIM is blocked and needs its PUK (CME 12)')
        raise InvalidStateException('SIM not ready: AT+CPIN? answered "+CPIN: %s"' % state)

    def _sim_state(self):
        return self._value('AT+CPIN?', '+CPIN:').strip('"').upper()

    # ---- network --------------------------------------------------------

    def waitForNetworkCoverage(self, timeout=None):
        """Wait until registered (home or roaming); return the CSQ rssi (0-31, 99 unknown).

        ``timeout`` None waits as long as the modem keeps searching.
        """
        self._require_connection()
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            stat = self._registration()
            if stat in (1, 5):
                return _int_field(self._value('AT+CSQ', '+CSQ:'), 0, 'AT+CSQ')
            if stat == 0:
                raise InvalidStateException('not registered and not searching for a network '
                                            '(AT+CREG? stat 0)')
            if stat == 3:
                raise InvalidStateException('network registration denied (AT+CREG? stat 3)')
            if deadline is not None and time.monotonic() >= deadline:
                raise TimeoutException('no network coverage within %s s (AT+CREG? stat %d)'
                                       % (timeout, stat))
            wait = self.pollInterval
            if deadline is not None:
                wait = min(wait, max(0.0, deadline - time.monotonic()))
            self._idle(wait)

    def _registration(self):
        for line in self._command('AT+CREG?'):
            if line.startswith('+CREG:'):
                fields = _fields(line[6:])
                if len(fields) in (2, 4):
                    return _int_field(line[6:], 1, 'AT+CREG?')
        raise GsmModemException('AT+CREG? gave no registration state')

    def _idle(self, seconds):
        # Wait for the next poll while still reading what the modem sends;
        # a "+CREG: 1" from the modem ends the wait early.
        self._creg_urc = None
        until = time.monotonic() + seconds
        while self._creg_urc not in (1, 5) and self._pump(until):
            pass

    # ---- sending --------------------------------------------------------

    def sendSms(self, destination, text, waitForDeliveryReport=False, deliveryTimeout=15):
        """Send one text message; return a SentSms.

        With waitForDeliveryReport the call returns once the status report
        for this message arrives and raises TimeoutException if none comes
        within deliveryTimeout seconds.
        """
        self._require_connection()
        number = re.sub(r'[\s\-().]', '', str(destination))
        if not _NUMBER.match(number):
            raise EncodingError('%r is not a phone number' % (destination,))
        charset, dcs, body = encode_text(text)
        self._set('AT+CSCS', '"%s"' % charset)
        self._set('AT+CSMP', '%d,167,0,%d' % (49 if waitForDeliveryReport else 17, dcs))
        if waitForDeliveryReport and 'AT+CNMI' not in self._settings:
            try:    # status reports straight to us (+CDS), else stored and announced (+CDSI)
                self._command('AT+CNMI=2,0,0,1,0')
            except CommandError:
                self._command('AT+CNMI=2,0,0,2,0')
            self._settings['AT+CNMI'] = True
        address = number if charset == 'GSM' else _ucs2_hex(number).decode('ascii')
        self._reports.clear()
        reference = self._submit('AT+CMGS="%s"' % address, body)
        sms = SentSms(number, text, reference)
        if waitForDeliveryReport:
            sms.report = self._wait_report(reference, deliveryTimeout)
        return sms

    def _set(self, name, value):
        if self._settings.get(name) != value:
            self._command('%s=%s' % (name, value))
            self._settings[name] = value

    def _submit(self, command, body):
        busy_until = time.monotonic() + self.busyRetryTime
        while True:
            try:
                return self._submit_once(command, body)
            except CmsError as e:
                if e.code != 515 or time.monotonic() >= busy_until:
                    raise
            time.sleep(self.busyRetryDelay)

    def _submit_once(self, command, body):
        self._write(command + '\r')
        self._wait_prompt(command, time.monotonic() + self.commandTimeout)
        self._write(body + CTRL_Z)
        echo = [body.decode('latin-1').strip()]   # a modem in echo mode repeats the text
        lines = self._read_reply(command, self.sendTimeout, echo)
        for line in lines:
            if line.startswith('+CMGS:'):
                return _int_field(line[6:], 0, command)
        raise GsmModemException('%s: reply without +CMGS reference: %r' % (command, lines))

    def _wait_prompt(self, command, deadline):
        echo = [command]
        while True:
            head = self._buf.lstrip(b'\r\n')
            if head.startswith(b'>'):
                self._buf = head[2:] if head.startswith(b'> ') else head[1:]
                return
            line = self._pop_line()
            if line is None:
                if not self._fill(deadline):
                    self._write(ESC)    # leave text entry in case only the prompt got lost
                    raise TimeoutException('no "> " prompt after %s within %.1f s'
                                           % (command, self.commandTimeout), [self._buf])
            elif self._useful(line, echo):
                error = _error_for(command, line)
                if error is not None:
                    raise error

    def _wait_report(self, reference, timeout):
        deadline = time.monotonic() + timeout
        while True:
            report = self._reports.get(reference)
            if report is not None and report.status != SentSms.ENROUTE:
                return report
            if self._report_indexes:
                self._read_stored_report(self._report_indexes.pop(0))
            elif not self._pump(deadline):
                raise TimeoutException('no delivery report for message reference %d '
                                       '(AT+CMGS) within %s s' % (reference, timeout))

    def _read_stored_report(self, index):
        try:
            lines = self._command('AT+CMGR=%d' % index)
        except CommandError:
            return      # gone or not a report: nothing to learn from it
        for line in lines:
            if line.startswith('+CMGR:'):
                self._store_report(_fields(line[6:])[1:])
        try:
            self._command('AT+CMGD=%d' % index)
        except CommandError:
            pass

    def _store_report(self, fields):
        # <fo>,<mr>,[<ra>],[<tora>],<scts>,<dt>,<st>
        try:
            reference, status = int(fields[1]), int(fields[-1])
        except (IndexError, ValueError):
            return
        self._reports[reference] = StatusReport(
            reference, status, number=(fields[2] or None) if len(fields) == 7 else None,
            timeSent=fields[-3], timeDelivered=fields[-2])

    # ---- talking to the modem ------------------------------------------

    def _require_connection(self):
        if self._serial is None:
            raise InvalidStateException('modem on %s is not connected' % self.port)

    def _write(self, data):
        if isinstance(data, str):
            try:
                data = data.encode('ascii')
            except UnicodeEncodeError:
                raise EncodingError('command contains non-ASCII characters')
        try:
            self._serial.write(data)
        except serial.SerialTimeoutException:
            raise TimeoutException('could not write to %s within %.1f s'
                                   % (self.port, self.commandTimeout))

    def _command(self, command, timeout=None):
        """Send one command; return its reply lines (without the final OK)."""
        busy_until = time.monotonic() + self.busyRetryTime
        while True:
            self._write(command + '\r')
            try:
                return self._read_reply(command, timeout or self.commandTimeout)
            except CommandError as e:
                busy = (e.type, e.code) in (('CME', 14), ('CMS', 515))
                if not busy or time.monotonic() >= busy_until:
                    raise
            time.sleep(self.busyRetryDelay)

    def _value(self, command, prefix):
        for line in self._command(command):
            if line.startswith(prefix):
                return line[len(prefix):].strip()
        raise GsmModemException('%s gave no %s line' % (command, prefix))

    def _read_reply(self, command, timeout, echo=None):
        deadline = time.monotonic() + timeout
        echo = list(echo or [command])
        lines = []
        while True:
            line = self._next_line(deadline, echo)
            if line is None:
                raise TimeoutException('no reply to %s within %.1f s'
                                       % (_shown(command), timeout), lines)
            if line == 'OK':
                return lines
            error = _error_for(command, line)
            if error is not None:
                raise error
            lines.append(line)

    def _fill(self, deadline):
        """Read whatever arrives; False once the deadline has passed."""
        if time.monotonic() >= deadline:
            return False
        self._buf += self._serial.read(self._waiting() or 1)
        return True

    def _waiting(self):
        """Bytes waiting to be read; a port whose device went away raises SerialException."""
        try:
            return self._serial.in_waiting
        except serial.SerialException:
            raise
        except OSError as e:    # pyserial passes the ioctl's error on as it is
            raise serial.SerialException('%s: %s' % (self.port, e))

    def _pop_line(self):
        if b'\n' not in self._buf:
            return None
        raw, _, self._buf = self._buf.partition(b'\n')
        return raw.decode('latin-1').strip()

    def _useful(self, line, echo):
        """False for blank lines, lines the modem sent on its own and the
        echo of what we sent (each expected echo is taken away once seen)."""
        if self._skip_next:
            self._skip_next = False
            return False
        if line in echo:
            echo.remove(line)
            return False
        return bool(line) and not self._unsolicited(line)

    def _next_line(self, deadline, echo):
        """The next reply line, or None at the deadline."""
        while True:
            line = self._pop_line()
            if line is None:
                if not self._fill(deadline):
                    return None
            elif self._useful(line, echo):
                return line

    def _pump(self, deadline):
        """Take in one line, or wait for more input; False at the deadline."""
        line = self._pop_line()
        if line is None:
            return self._fill(deadline)
        self._useful(line, [])      # replies nobody waits for are dropped
        return True

    def _unsolicited(self, line):
        if line.startswith('+CREG:'):
            fields = _fields(line[6:])
            if len(fields) in (1, 3):           # a replying +CREG has 2 or 4
                self._creg_urc = int(fields[0]) if fields[0].isdigit() else None
                return True
            return False
        if line.startswith('+CDS:'):
            fields = _fields(line[5:])
            if len(fields) == 1:                # PDU mode: the PDU follows
                self._skip_next = True
            else:
                self._store_report(fields)
            return True
        if line.startswith('+CDSI:'):
            index = (_fields(line[6:]) or [''])[-1]
            if index.isdigit() and int(index) not in self._report_indexes:
                self._report_indexes.append(int(index))
            return True
        if line.startswith('+CMT:'):            # the message text follows
            self._skip_next = True
            return True
        return line.startswith(_URC_PREFIXES)
