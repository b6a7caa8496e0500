"""A compact, synchronous driver for GSM modems that speak 3GPP AT commands.

It does what sending a text message needs: bring the modem up, wait for the
network, send one SMS (in PDU mode when the modem has it, a long text in
linked parts; in text mode otherwise) and, if asked, wait for the status
reports of its parts.
Replies are read as they arrive, line by line, against a deadline; lines the
modem sends on its own (RING, +CREG: 1, +CDSI: ...) are picked out on the way.

Every line sent and received is logged at DEBUG level on the logger
``smsline_gsm`` (with a PIN masked), so ``logging.basicConfig(level=DEBUG)``
shows the whole AT conversation.
"""
import binascii
import csv
import functools
import hashlib
import logging
import random
import re
import threading
import time

import serial

from . import pdu
from .exceptions import (CmeError, CmsError, CommandError, DeliveryTimeoutError,
                         EncodingError, GsmModemException, IncorrectPinError,
                         InvalidPinError, InvalidStateException, MessageTooLongError,
                         PinRequiredError, PukRequiredError, RegistrationError,
                         RegistrationTimeoutError, TimeoutException, TooManyPartsError,
                         cme_error)
from .pdu import gsm_septets

__all__ = ['GsmModem', 'SentSms', 'StatusReport', 'encode_text', 'gsm_septets',
           'check_pin', 'check_message', 'GSM_LIMIT', 'UCS2_LIMIT',
           'GsmModemException', 'TimeoutException', 'DeliveryTimeoutError',
           'TooManyPartsError', 'InvalidStateException',
           'RegistrationError', 'RegistrationTimeoutError', 'CommandError',
           'CmeError', 'CmsError', 'PinRequiredError', 'PukRequiredError',
           'IncorrectPinError', 'InvalidPinError', 'EncodingError',
           'MessageTooLongError']

log = logging.getLogger('smsline_gsm')

# While a message is typed in, the modem reads backspace, Ctrl-Z and ESC as
# editing keys, so text needing those codes never goes out as raw GSM bytes
# in text mode; nor does text with a line break, whose echo would come back
# as lines of their own: a body sent to the modem always is a single line.
# (ESC is also how an extension character starts.)
_GSM_UNSAFE = frozenset([0x08, 0x0A, 0x0D, 0x1A, 0x1B])

# Why encode_text refuses what a modem in PDU mode sends in parts.
_TEXT_MODE_ONLY = ' in text mode; longer messages need a modem with PDU mode'

GSM_LIMIT = pdu.SINGLE_SEPTETS  # septets in one message
UCS2_LIMIT = pdu.SINGLE_UNITS   # UTF-16 code units in one message

CTRL_Z = b'\x1a'
ESC = b'\x1b'

# Lines a modem sends on its own; "^" starts vendor ones (^RSSI:, ^BOOT:, ^MODE:).
_URC_PREFIXES = ('RING', '+CRING:', '+CLIP:', '+CMTI:', '+CBMI:',
                 '+CUSD:', '+CGREG:', '+CEREG:', 'NO CARRIER', '^')
_PIN = re.compile(r'[0-9]{4,8}')
_DIGITS = re.compile(r'[0-9]+')
_HEX = re.compile(r'[0-9A-Fa-f]+')
# A +CREG line answering AT+CREG? is "<n>,<stat>[,<lac>,<ci>[,<AcT>...]]": its
# second parameter is a bare number.  The unsolicited one is
# "<stat>[,<lac>,<ci>[,<AcT>...]]", whose second parameter (if any) is the
# quoted area code, so the two have the same number of parameters when a
# modem adds the access technology (AcT) to the unsolicited one only.
_CREG_REPLY = re.compile(r'\+CREG:\s*[0-9]+\s*,\s*([0-9]+)\s*(?:,|$)')
_CREG_URC = re.compile(r'\+CREG:\s*([0-9]+)\s*(?:,|$)')


def _number_or_none(text):
    """``text`` as an int when it is plain ASCII digits, else None."""
    return int(text) if _DIGITS.fullmatch(text) else None


def check_pin(pin):
    """``pin`` if it is a PIN a SIM can take (4 to 8 ASCII digits, as text); else InvalidPinError.

    None (no PIN) passes as None.
    """
    if pin is None:
        return None
    if not isinstance(pin, str):
        raise InvalidPinError('a PIN must be given as text (str), not %s' % type(pin).__name__)
    if not _PIN.fullmatch(pin):
        raise InvalidPinError('a PIN consists of 4 to 8 digits and nothing else')
    return pin


def check_message(destination, text):
    """The destination number as it goes to the modem, after checking it and the text.

    Spaces, dashes, dots and brackets are dropped from the number; what is
    left must be digits (``*`` and ``#`` allowed) with an optional leading
    ``+``.  The text must be str that fits into a concatenated message of
    at most 255 parts.  Raises EncodingError (a ValueError) otherwise, and
    its subclass TooManyPartsError for too long a text.
    """
    return _checked(destination, text)[0]


def _checked(destination, text):
    """check_message, and the number of parts the text goes in."""
    return pdu.dialled_number(destination), len(pdu.split_text(text)[1])


def _ucs2_hex(text):
    try:
        return binascii.hexlify(text.encode('utf-16-be')).upper()
    except UnicodeEncodeError as e:
        raise EncodingError('text cannot be encoded as UTF-16: %s' % e)


def encode_text(text):
    """How ``text`` goes to a modem in text mode: ``(charset, dcs, body bytes)``.

    GSM text uses the GSM character set and is sent 7-bit (dcs 0).  GSM text
    with extension characters (or codes the modem would read as editing keys)
    is handed over as UCS2 hex but still sent 7-bit: the modem packs it.
    Anything else is sent as UCS2 (dcs 8).  Text mode cannot link the
    parts of a long message, so a text longer than one message raises
    MessageTooLongError; nothing is ever cut.
    """
    if not isinstance(text, str):
        raise EncodingError('message text must be str, not %s' % type(text).__name__)
    septets = gsm_septets(text)
    if septets is not None:
        if septets > GSM_LIMIT:
            raise MessageTooLongError(septets, GSM_LIMIT, 'GSM 7-bit septets', _TEXT_MODE_ONLY)
        codes = pdu.gsm_encode(text)
        if not _GSM_UNSAFE.intersection(codes):
            return 'GSM', 0, bytes(bytearray(codes))
        return 'UCS2', 0, _ucs2_hex(text)
    body = _ucs2_hex(text)
    units = len(body) // 4
    if units > UCS2_LIMIT:
        raise MessageTooLongError(units, UCS2_LIMIT, 'UCS2 code units', _TEXT_MODE_ONLY)
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


_PIN_COMMAND = re.compile(r'(AT\+CPIN=).*', re.IGNORECASE)


def _shown(command):
    """The command (or its echo) as it may appear in messages and logs: never with the PIN in it."""
    return _PIN_COMMAND.sub(r'\1"****"', command)


# The words of +CME ERROR that a modem left at AT+CMEE=2 gives (3GPP TS
# 27.007), for the codes that decide what to do next.
_CME_WORDS = {'SIM NOT INSERTED': 10, 'SIM PIN REQUIRED': 11, 'SIM PUK REQUIRED': 12,
              'SIM FAILURE': 13, 'SIM BUSY': 14, 'INCORRECT PASSWORD': 16}
# Answers of a modem that is there but still busy: asked again after a pause.
_BUSY = frozenset([('CME', 14), ('CME', 515), ('CMS', 314), ('CMS', 515)])
# Answers of a modem whose SIM is locked (PIN, PUK).
_LOCKED = frozenset([11, 12])


def _error_for(command, line):
    """The exception a final error line stands for, or None."""
    if line == 'ERROR':
        return CommandError(_shown(command), 'ERROR', None)
    if line == 'COMMAND NOT SUPPORT':     # some Huawei sticks, for ERROR
        return CommandError(_shown(command), 'ERROR', None,
                            '%s failed: modem answered %s' % (_shown(command), line))
    for prefix, make in (('+CME ERROR:', cme_error), ('+CMS ERROR:', CmsError)):
        if line.startswith(prefix):
            code = line[len(prefix):].strip()
            number = _number_or_none(code)
            if number is None and prefix == '+CME ERROR:':
                number = _CME_WORDS.get(code.upper())
            return make(_shown(command), code if number is None else number)
    return None


def _final(line):
    return line == 'OK' or _error_for('', line) is not None


def _same_recipient(sent, reported):
    """Whether a status report's recipient (TP-RA) is the number a message went to.

    The network may give the number in international form where it was
    dialled nationally (or the other way round): past the prefixes, one
    must end in the other.  A report without a recipient matches.
    """
    if not reported:
        return True
    sent, reported = (n.lstrip('+').lstrip('0') for n in (sent, reported))
    shorter, longer = sorted((sent, reported), key=len)
    return shorter == longer or (len(shorter) >= 6 and longer.endswith(shorter))


class StatusReport(object):
    """A delivery status report for one sent message or part.

    ``deliveryStatus`` is TP-ST as in 3GPP 23.040: below 0x20 delivered,
    0x20-0x3F still trying, from 0x40 up failed for good.
    """

    def __init__(self, reference, deliveryStatus, number=None, timeSent=None,
                 timeDelivered=None):
        self.reference = reference
        self.deliveryStatus = deliveryStatus
        self.number = number
        self.timeSent = timeSent
        self.timeDelivered = timeDelivered

    @classmethod
    def from_decoded(cls, report):
        """A StatusReport from a smsline_gsm.pdu.SmsStatusReport."""
        return cls(report.message_reference, report.status, report.number,
                   report.sent, report.discharged)

    @property
    def status(self):
        return _OUTCOME_STATUS[pdu.classify_status(self.deliveryStatus)]

    @property
    def reason(self):
        """What the status code means, in words."""
        return pdu.status_reason(self.deliveryStatus)

    def __repr__(self):
        return 'StatusReport(reference=%r, deliveryStatus=%r)' % (
            self.reference, self.deliveryStatus)


class SentSms(object):
    """A message the modem accepted.

    ``references`` holds the +CMGS reference of each part (``parts`` of
    them), ``reference`` the first.  ``reports`` holds each part's final
    status report once known, ``report`` the one that decides ``status``:
    the first failed part's, else the first part's.  ``status`` is
    DELIVERED once every part was delivered, FAILED as soon as one part
    failed for good, else ENROUTE; ``deliveryStatus`` is the TP-ST code of
    ``report`` (None without one).
    """
    ENROUTE = 0
    DELIVERED = 1
    FAILED = 2

    def __init__(self, number, text, reference, report=None, references=None):
        self.number = number
        self.text = text
        self.references = list(references) if references is not None else [reference]
        self.reference = self.references[0]
        self.reports = [None] * len(self.references)
        self.reports[0] = report

    @property
    def parts(self):
        return len(self.references)

    @property
    def report(self):
        known = [r for r in self.reports if r is not None]
        failed = [r for r in known if r.status == self.FAILED]
        return (failed or known or [None])[0]

    @property
    def status(self):
        statuses = [r.status for r in self.reports if r is not None]
        if self.FAILED in statuses:
            return self.FAILED
        if statuses.count(self.DELIVERED) == self.parts:
            return self.DELIVERED
        return self.ENROUTE

    @property
    def deliveryStatus(self):
        report = self.report
        return None if report is None else report.deliveryStatus

    def __repr__(self):
        return 'SentSms(number=%r, reference=%r, parts=%d, status=%r)' % (
            self.number, self.reference, self.parts, self.status)


_OUTCOME_STATUS = {pdu.DELIVERED: SentSms.DELIVERED, pdu.PENDING: SentSms.ENROUTE,
                   pdu.FAILED: SentSms.FAILED}


# The concatenation reference of the next message sent in parts, process-wide:
# a random octet when the module is loaded, then advanced by one (modulo 256)
# for each such message, under its lock.  One counter for every GsmModem in
# the process, and a random start for each process, keep two long messages
# to one recipient from sharing a reference, which would make the phone mix
# their parts, even when each message goes through a new GsmModem.
_concat_reference = random.randrange(256)
_concat_reference_lock = threading.Lock()


def _next_concat_reference():
    global _concat_reference
    with _concat_reference_lock:
        reference = _concat_reference
        _concat_reference = (reference + 1) % 256
    return reference


# Refused PINs, process-wide: per port, digests of the PINs that its SIM answered with
# "incorrect password" in this process.  An entry is added when that happens
# and the port's entries are dropped once its SIM is found unlocked; a PIN in
# here is never sent to that port again, so no loop of retries can use up
# the SIM's attempts and block it.
_refused_pins = {}      # port -> set of PIN digests
_refused_pins_lock = threading.Lock()


def _pin_digest(pin):
    return hashlib.sha256(pin.encode('ascii')).hexdigest()


def _attempts(left):
    if left is None:
        return ''
    return ' (%d attempt%s left)' % (left, '' if left == 1 else 's')


def _tell(error, **values):
    """Set attributes on an exception, where it takes them."""
    for name, value in values.items():
        try:
            setattr(error, name, value)
        except (AttributeError, TypeError):
            pass


def _went_out(error, references, sms=None):
    """Tell ``error``, raised by sendSms, what went out before it (see sendSms)."""
    _tell(error, partsSent=list(references), unconfirmed=getattr(error, 'unconfirmed', False))
    if sms is not None:
        _tell(error, sentSms=sms)


class _NoPrompt(TimeoutException):
    """Inside _submit: no prompt came, the conversation is back in step and nothing went out."""


def _exclusive(method):
    """Runs the method holding the modem's lock: one exchange with the modem at a time."""
    @functools.wraps(method)
    def locked(self, *args, **kwargs):
        with self._lock:
            return method(self, *args, **kwargs)
    return locked


class GsmModem(object):
    """One modem on one serial port.  Nothing is opened before connect().

    Threads: one GsmModem may be shared by several threads.  Every exchange
    with the modem (a command and its reply, a whole message submission,
    each registration poll, each step of waiting for a delivery report)
    holds the object's lock, so the messages of different threads never mix
    on the line; a sendSms call keeps the lock from its first setting to the
    modem's answer, and gives it up between steps while it waits for a
    delivery report or for the network.  close() waits for the exchange in
    progress to end.  The port is opened exclusively: a second GsmModem (or
    any other program that locks it) on the same port fails to connect with
    serial.SerialException.
    """

    readTimeout = 0.05          # serial read timeout: how often deadlines are checked
    startupAttemptTimeout = 0.5  # wait for each early ATZ while the modem wakes up
    pollInterval = 0.25         # between AT+CREG? polls
    busyRetryTime = 3.0         # how long "busy" answers (CME 14 and 515, CMS 314 and 515) are
    busyRetries = 10            # retried, and how often at most
    busyRetryDelay = 0.2        # the pause before a command is sent again
    quietTime = 0.2             # an answer with no final result is whole once the line is this quiet
    submitAttempts = 2          # tries of a message part whose prompt did not come
    lockSlice = 0.05            # longest wait with the lock held while idling

    def __init__(self, port, baudrate=115200, commandTimeout=3.0,
                 startupTimeout=5.0, sendTimeout=30.0):
        self.port = port
        self.baudrate = baudrate
        self.commandTimeout = commandTimeout
        self.startupTimeout = startupTimeout
        self.sendTimeout = sendTimeout
        self._serial = None
        self._lock = threading.RLock()
        self._reset_session()

    def _reset_session(self):
        self._buf = b''
        self._settings = {}         # last value set per setting, e.g. AT+CSCS
        self._reports = {}          # message reference % 256 -> its latest StatusReports (a few)
        self._awaited = set()       # (reference % 256, number) of the reports sendSms calls wait for
        self._out_of_step = False   # a reply may still be on its way: resynchronise first
        self._resynchronising = False
        self._report_indexes = []   # stored reports announced by +CDSI
        self._creg_urc = None
        self._skip_next = False
        self._cds_pdu_length = None  # a +CDS: <length> line came; its PDU is the next line
        self.pduMode = None         # True in PDU mode, False in text mode; None until connect()
                                    # completes, and after close()

    @property
    def alive(self):
        return self._serial is not None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # ---- connection -----------------------------------------------------

    @_exclusive
    def connect(self, pin=None):
        """Open the port and bring the modem up with the SIM unlocked.

        Messages go in PDU mode when the modem has it (AT+CMGF=?), in text
        mode otherwise (``pduMode`` tells which).

        ``pin`` (text, 4 to 8 digits) is checked before the port is opened.
        A modem left waiting for message text by a client that died is taken
        out of text entry first (ESC: the pending text is discarded, never
        sent).  A PIN the SIM refused is never entered again in this process
        (IncorrectPinError at once); where the modem tells (AT+CPINR) the
        SIM errors say how many attempts are left.  On failure the port
        stays open: call close(), or connect() again.  The modem is
        connected (``pduMode`` set) only once this returns.
        """
        pin = check_pin(pin)
        if self._serial is not None:
            if self.pduMode is not None:
                raise InvalidStateException('%s is already connected' % self.port)
            self.close()    # left open by a connect() that failed: start again
        self._reset_session()
        self._serial = serial.Serial(self.port, self.baudrate, timeout=self.readTimeout,
                                     write_timeout=self.commandTimeout, exclusive=True)
        log.debug('%s: opened at %s baud', self.port, self.baudrate)
        self._wake_up()
        self._bring_up(pin)

    @_exclusive
    def close(self):
        """Close the port; harmless when it is not open."""
        port, self._serial = self._serial, None
        self._buf = b''
        self.pduMode = None
        if port is not None:
            log.debug('%s: closed', self.port)
            try:
                port.close()
            except (OSError, serial.SerialException):
                pass

    def _wake_up(self):
        """Make sure a modem is there: any answer to ATZ says so, an error too.

        ESC ends a text entry that a client left open (the modem drops the
        pending text); CR ends a half-typed command line.  Either may be
        answered: the set-up's AT+CPIN? marks where the replies are in step.
        A modem that was just powered or plugged in may ignore the first
        commands: ATZ is sent again, each time after startupAttemptTimeout
        without an answer, until startupTimeout is over.
        """
        self._write(ESC + b'\r')
        deadline = time.monotonic() + self.startupTimeout
        attempts = 0
        while True:
            attempts += 1
            self._drop_input()
            self._write('ATZ\r')
            wait = min(self.startupAttemptTimeout, max(0.05, deadline - time.monotonic()))
            try:
                self._read_reply('ATZ', wait)
                break
            except CommandError as e:
                log.debug('%s: ATZ answered %s: a modem is there', self.port, e)
                break
            except TimeoutException as e:
                if time.monotonic() >= deadline:
                    raise TimeoutException('no reply to ATZ from %s within %.1f s (%d attempts)'
                                           % (self.port, self.startupTimeout, attempts), e.data,
                                           'ATZ')
        if attempts > 1:
            # A late answer to an earlier ATZ must not pass for the next reply.
            self._drain(0.1)

    def _bring_up(self, pin):
        """The set-up, with the PIN step where the SIM turns out to be locked.

        Echo off and numeric errors come first; a modem with a locked SIM
        may refuse them, which decides nothing: AT+CPIN? tells the SIM's
        state.  A locked SIM (that answer, or +CME ERROR: 11 or 12 to any
        step) leads to the PIN step, after which the whole set-up is done
        again.  The PIN step is taken once per connect().
        """
        unlocked = False
        while True:
            for command in ('ATE0', 'AT+CMEE=1'):
                try:
                    self._command(command, again=True)
                except CommandError as e:
                    log.debug('%s: %s refused (%s); going on', self.port, command, e)
            try:
                state = self._sim_state()
                if state == 'READY':
                    with _refused_pins_lock:
                        _refused_pins.pop(self.port, None)
                    self._select_format()
                    return
            except CmeError as e:
                if e.code not in _LOCKED or unlocked:
                    raise
                log.debug('%s: %s: the SIM is locked', self.port, e)
                state = self._sim_state()
                if state == 'READY':
                    raise   # locked, yet the SIM says otherwise: nothing a PIN can mend
            if unlocked:
                if state == 'SIM PUK':
                    self._sim_blocked('AT+CPIN?')
                raise InvalidStateException('SIM not ready after the PIN: AT+CPIN? answered '
                                            '"+CPIN: %s"' % state)
            self._unlock_sim(state, pin)
            unlocked = True

    def _drop_input(self):
        # Not reset_input_buffer(): its tcflush raises termios.error, no
        # SerialException, on a port whose device has gone.
        waiting = self._waiting()
        if waiting:
            self._serial.read(waiting)
        self._buf = b''

    def _drain(self, quiet):
        limit = time.monotonic() + self.commandTimeout
        until = time.monotonic() + quiet
        while time.monotonic() < min(until, limit):
            if self._serial.read(self._waiting() or 1):
                until = time.monotonic() + quiet
        self._buf = b''

    def _unlock_sim(self, state, pin):
        """Enter the PIN for a SIM in ``state`` (from AT+CPIN?), or raise why it cannot be."""
        if state == 'SIM PIN':
            left = self._attempts_left('SIM PIN')
            if pin is None:
                raise PinRequiredError(
                    'AT+CPIN?', attemptsLeft=left,
                    message='AT+CPIN? answered "+CPIN: SIM PIN": the SIM needs a PIN (CME 11) '
                            'and none was given%s' % _attempts(left))
            digest = _pin_digest(pin)
            with _refused_pins_lock:
                refused = digest in _refused_pins.get(self.port, ())
            if refused:
                raise IncorrectPinError(
                    'AT+CPIN', attemptsLeft=left,
                    message='the SIM on %s already refused this PIN; it is not entered again%s'
                            % (self.port, _attempts(left)))
            try:
                self._command('AT+CPIN="%s"' % pin)
            except TimeoutException as e:
                # The SIM may have taken the PIN, or counted it as wrong.
                # Unless it now says it took it, the PIN counts as refused:
                # it is not entered again by itself.
                try:
                    taken = self._sim_state() == 'READY'
                except GsmModemException:
                    taken = False
                if taken:
                    return
                with _refused_pins_lock:
                    _refused_pins.setdefault(self.port, set()).add(digest)
                raise e
            except CmeError as e:
                if e.code == 16:
                    with _refused_pins_lock:
                        _refused_pins.setdefault(self.port, set()).add(digest)
                    self._pin_refused(e)
                if e.code == 12:
                    self._sim_blocked('AT+CPIN=')
                raise
            return
        if state == 'SIM PUK':
            self._sim_blocked('AT+CPIN?')
        raise InvalidStateException('SIM not ready: AT+CPIN? answered "+CPIN: %s"' % state)

    def _select_format(self):
        """PDU mode whenever the modem offers it, text mode otherwise.

        A modem that does not answer AT+CMGF=? is asked for PDU mode, then
        for text mode.  A refusal because the SIM is locked is raised.
        """
        try:
            lines = self._command('AT+CMGF=?', again=True)
        except CommandError as e:
            if isinstance(e, CmeError) and e.code in _LOCKED:
                raise
            lines = []
        offered = next((line[6:] for line in lines if line.startswith('+CMGF:')), None)
        modes = [0, 1]
        if offered is not None:
            ranges = [(int(low), int(high or low))
                      for low, high in re.findall(r'([0-9]+)(?:\s*-\s*([0-9]+))?', offered)]
            modes = [mode for mode in modes if any(low <= mode <= high for low, high in ranges)]
            if not modes:
                raise GsmModemException('AT+CMGF=? offers neither PDU nor text mode: %r'
                                        % offered)
        for mode in modes:
            try:
                self._command('AT+CMGF=%d' % mode, again=True)
            except CommandError as e:
                if mode == modes[-1] or isinstance(e, CmeError) and e.code in _LOCKED:
                    raise
                continue
            self.pduMode = mode == 0
            log.debug('%s: messages go in %s mode', self.port, 'PDU' if self.pduMode else 'text')
            return

    def _pin_refused(self, error):
        """Raise the error for a PIN the SIM just refused, saying what is left."""
        left = self._attempts_left('SIM PIN')
        if left == 0 or self._sim_state() == 'SIM PUK':
            self._sim_blocked('AT+CPIN=', 'the SIM refused the PIN and is now blocked')
        raise IncorrectPinError(
            error.command, attemptsLeft=left,
            message='%s failed: modem answered +CME ERROR: 16 (incorrect PIN)%s'
                    % (error.command, _attempts(left)))

    def _sim_blocked(self, command, why='the SIM is blocked'):
        left = self._attempts_left('SIM PUK')
        raise PukRequiredError(
            command, attemptsLeft=left,
            message='%s: %s and needs its PUK (CME 12)%s' % (command, why, _attempts(left)))

    def _attempts_left(self, code):
        """Attempts the SIM still allows for ``code`` ('SIM PIN', 'SIM PUK'); None if the modem does not say."""
        command = 'AT+CPINR="%s"' % code
        try:
            lines = self._command(command)
        except (CommandError, TimeoutException):
            return None
        for line in lines:
            if line.startswith('+CPINR:'):
                fields = _fields(line[7:])
                if len(fields) >= 2 and fields[0].strip().upper() == code:
                    return _number_or_none(fields[1].strip())
        return None

    def _sim_state(self, stale=None):
        """The SIM's state as AT+CPIN? tells it: 'READY', 'SIM PIN', 'SIM PUK'...

        Every modem answers AT+CPIN?, locked or not, and its +CPIN: line is
        an answer no other command gets: it marks where the replies are in
        step (what came before it answered something older, and goes to
        ``stale``).
        """
        for line in self._command('AT+CPIN?', marker='+CPIN:', stale=stale, again=True):
            if line.startswith('+CPIN:'):
                return line[6:].strip().strip('"').upper()
        raise GsmModemException('AT+CPIN? gave no +CPIN: line')

    # ---- network --------------------------------------------------------

    def waitForNetworkCoverage(self, timeout=None, progress=None):
        """Wait until registered (home or roaming); return the CSQ rssi (0-31, 99 unknown).

        ``timeout`` None waits as long as the modem keeps searching.  Not
        searching (stat 0) or denied (stat 3) raise RegistrationError at
        once, the time running out RegistrationTimeoutError.  ``progress``,
        if given, is called after every poll with the +CREG stat and the
        seconds waited so far.
        """
        started = time.monotonic()
        deadline = None if timeout is None else started + timeout
        while True:
            with self._lock:
                self._require_connection()
                stat = self._registration()
                if stat in (1, 5):
                    return _int_field(self._value('AT+CSQ', '+CSQ:'), 0, 'AT+CSQ')
            if progress is not None:
                progress(stat, time.monotonic() - started)
            if stat == 0:
                raise RegistrationError('not registered and not searching for a network '
                                        '(AT+CREG? stat 0)', stat)
            if stat == 3:
                raise RegistrationError('network registration denied (AT+CREG? stat 3)', stat)
            if deadline is not None and time.monotonic() >= deadline:
                raise RegistrationTimeoutError('no network coverage within %s s (AT+CREG? stat %d)'
                                               % (timeout, stat), stat)
            until = time.monotonic() + self.pollInterval
            if deadline is not None:
                until = min(until, deadline)
            self._idle(until)

    def _registration(self):
        for line in self._command('AT+CREG?', again=True):
            match = _CREG_REPLY.match(line)
            if match:
                return int(match.group(1))
        raise GsmModemException('AT+CREG? gave no registration state')

    def _idle(self, until):
        # Wait for the next poll while still reading what the modem sends, in
        # slices so that other threads get their turn; a "+CREG: 1" from the
        # modem ends the wait early.
        self._creg_urc = None
        while self._creg_urc not in (1, 5) and time.monotonic() < until:
            with self._lock:
                self._require_connection()
                self._pump(min(until, time.monotonic() + self.lockSlice))

    # ---- sending --------------------------------------------------------

    def sendSms(self, destination, text, waitForDeliveryReport=False, deliveryTimeout=15):
        """Send one text message; return a SentSms.

        A text longer than one message goes in concatenated parts (PDU
        mode only; in text mode it raises MessageTooLongError).  The number
        and the text are checked, and every part is built, before anything
        is said to the modem.  The message counts as sent only when the
        modem answers each part with ``+CMGS: <reference>`` and ``OK``; the
        echo of the text, whatever it holds, is never read as the answer.
        With waitForDeliveryReport the call returns once the status reports
        say every part was delivered, or one failed, and raises
        DeliveryTimeoutError (a TimeoutException) if they do not within
        deliveryTimeout seconds.

        Every exception raised once the modem was spoken to says what went
        out: ``partsSent`` lists the references of the parts the modem
        accepted (empty when none was), ``unconfirmed`` is True when the
        part after them was handed over and its answer never came (it may or
        may not have gone out), and one raised while waiting for the
        delivery reports also carries the ``sentSms``.
        """
        number, count = _checked(destination, text)
        references = []
        try:
            with self._lock:
                self._require_connection()
                if self.pduMode:
                    reference = _next_concat_reference() if count > 1 else 0
                    parts = [(str(part.tpdu_length), part.pdu.encode('ascii'))
                             for part in pdu.encode_submit(number, text, reference=reference,
                                                           status_report=bool(waitForDeliveryReport))]
                else:
                    charset, dcs, body = encode_text(text)
                    self._set('AT+CSCS', '"%s"' % charset)
                    self._set('AT+CSMP', '%d,167,0,%d' % (49 if waitForDeliveryReport else 17, dcs))
                    address = number if charset == 'GSM' else _ucs2_hex(number).decode('ascii')
                    parts = [('"%s"' % address, body)]
                if waitForDeliveryReport:
                    self._route_reports()
                for argument, body in parts:
                    references.append(self._submit(argument, body, number,
                                                   bool(waitForDeliveryReport)))
        except BaseException as e:
            with self._lock:    # nothing waits for the reports of parts that went out
                self._awaited.difference_update((r % 256, number) for r in references)
            if references:
                # The recipient gets the parts that went out, and no more.
                log.warning('%s: part %d of %d failed after parts with references %s went out: '
                            '%s', self.port, len(references) + 1, len(parts),
                            ', '.join(map(str, references)), e)
            _went_out(e, references)
            raise
        sms = SentSms(number, text, references[0], references=references)
        if waitForDeliveryReport:
            try:
                self._wait_reports(sms, deliveryTimeout)
            except BaseException as e:
                _went_out(e, references, sms)
                raise
        return sms

    def _route_reports(self):
        if 'AT+CNMI' not in self._settings:
            try:    # status reports straight to us (+CDS), else stored and announced (+CDSI)
                self._command('AT+CNMI=2,0,0,1,0')
            except CommandError:
                self._command('AT+CNMI=2,0,0,2,0')
            self._settings['AT+CNMI'] = True

    def _set(self, name, value):
        if self._settings.get(name) != value:
            self._command('%s=%s' % (name, value))
            self._settings[name] = value

    def _submit(self, argument, body, number, awaited=False):
        """Submit one message or part: ``AT+CMGS=<argument>``, then ``body`` (one line) and Ctrl-Z.

        Returns the reference from the modem's ``+CMGS:`` answer.  A "busy"
        refusal (CMS 314, 515) is retried for a while, and so is a part
        whose prompt did not come (nothing of it went out).  A report still
        held for that reference belongs to an older message and is dropped;
        with ``awaited`` the report for that reference and ``number`` is
        waited for from then on.
        """
        if b'\r' in body or b'\n' in body:
            raise EncodingError('a message body must not hold a line break')
        command = 'AT+CMGS=' + argument
        busy_until = time.monotonic() + self.busyRetryTime
        busy = prompts = 0
        while True:
            try:
                reference = self._submit_once(command, body)
            except CommandError as e:
                busy += 1
                if ((e.type, e.code) not in _BUSY or busy >= self.busyRetries
                        or time.monotonic() >= busy_until):
                    raise
            except _NoPrompt as e:
                prompts += 1
                if prompts >= self.submitAttempts:
                    raise TimeoutException('no "> " prompt after %s within %.1f s (%d tries); '
                                           'this part was not sent' % (command, self.commandTimeout,
                                                                       prompts), e.data, command)
            else:
                key = reference % 256
                self._reports.pop(key, None)
                if awaited:
                    self._awaited.add((key, number))
                return reference
            time.sleep(self.busyRetryDelay)

    def _submit_once(self, command, body):
        """One try of _submit; raises _NoPrompt when no prompt came and nothing went out."""
        self._discard_stale()
        if self._out_of_step:
            self._resynchronise()
        self._write(command + '\r')
        try:
            echoing = self._wait_prompt(command, time.monotonic() + self.commandTimeout)
        except TimeoutException as e:
            # The prompt may still come, and it belongs to this command: the
            # ESC of the resynchronisation takes the modem out of the text
            # entry before any text went (its late prompt is read off there).
            self._out_of_step = True
            try:
                self._resynchronise()
            except Exception as failure:
                raise TimeoutException('%s; this part was not sent, and the modem does not answer '
                                       'since' % e, e.data, command) from failure
            raise _NoPrompt(str(e), e.data, command)
        except CommandError:
            raise       # the modem refused the command: it takes no text
        except BaseException:
            self._break_off()
            raise
        try:
            log.debug('%s: <- message body %r + Ctrl-Z', self.port, body)
            self._serial_write(body + CTRL_Z)
            return self._read_answer(command, body.decode('latin-1').strip() if echoing else '')
        except CommandError:
            raise       # the modem's own refusal: the part did not go out
        except BaseException as e:
            # Handed over, then broken off (Ctrl-C, a write that timed out, a
            # port gone) or left unanswered: the part may have gone out.
            _tell(e, unconfirmed=True)
            self._break_off()
            raise

    def _read_answer(self, command, echo):
        """The reference of the modem's answer to a message's text.

        ``echo`` is the body as the modem echoes it ('' without echo): a
        line that is exactly the body and comes before the answer, wherever
        it stands among lines the modem sends on its own, is the echo.  An
        answer that does not come within sendTimeout may still come: the
        conversation is brought back in step and the late answer looked
        for among what came meanwhile.
        """
        echoes = [echo] if echo else []
        deadline = time.monotonic() + self.sendTimeout
        lines = []
        while True:
            line = self._next_line(deadline, echoes)
            if line is None:
                break
            if line.startswith('+CMGS:') or _final(line):
                del echoes[:]   # the answer has begun: no echo after it
            lines.append(line)
            reference = self._answered(command, lines, late=False)
            if reference is not None:
                return reference
        self._out_of_step = True
        failure = None
        try:
            late = self._resynchronise()
        except Exception as e:
            late, failure = [], e
        if echoes and echoes[0] in late:
            late.remove(echoes[0])
        reference = self._answered(command, lines + late, late=True)
        if reference is not None:
            log.debug('%s: %s answered late: +CMGS: %d', self.port, command, reference)
            return reference
        raise TimeoutException('no answer to %s within %.1f s: the message may or may not '
                               'have been sent' % (command, self.sendTimeout), lines,
                               command) from failure

    @staticmethod
    def _answered(command, lines, late):
        """What the lines after a message's text say: the reference of its
        +CMGS: line right before OK, a refusal (raised), or None (nothing
        yet).  Unless the lines came ``late``, among other answers, an OK
        without a reference is an error: the part may or may not have gone
        out."""
        reference = None
        for line in lines:
            if line.startswith('+CMGS:'):
                reference = _int_field(line[6:], 0, command)
            elif line == 'OK':
                if reference is not None:
                    return reference
                if not late:
                    raise GsmModemException('%s: the modem answered OK without a +CMGS '
                                            'reference: the message may or may not have been '
                                            'sent' % command)
            else:
                error = _error_for(command, line)
                if error is not None:
                    raise error
        return None

    def _wait_prompt(self, command, deadline):
        """Wait for the "> " prompt; True if the modem echoed the command (so it echoes the body too)."""
        echo = [command]
        while True:
            head = self._buf.lstrip(b'\r\n')
            if head.startswith(b'>') and head[1:2] in (b'', b' ', b'\r', b'\n'):
                self._buf = head[2:] if head.startswith(b'> ') else head[1:]
                log.debug('%s: -> > (prompt)', self.port)
                return not echo
            line = self._pop_line()
            if line is None:
                if not self._fill(deadline):
                    raise TimeoutException('no "> " prompt after %s within %.1f s'
                                           % (command, self.commandTimeout), [self._buf], command)
            elif self._useful(line, echo):
                error = _error_for(command, line)
                if error is not None:
                    raise error

    def _break_off(self):
        """After a send broken off: ESC, so that a modem taking message text
        drops it (a modem reading commands ignores it), and the next
        exchange resynchronises first.  Best effort: the port may be what failed."""
        self._out_of_step = True
        try:
            log.debug('%s: <- ESC (leave text entry)', self.port)
            self._serial_write(ESC)
        except Exception:
            pass

    def _wait_reports(self, sms, timeout):
        """Fill in ``sms.reports`` until every part was delivered or one failed.

        A report is a part's when it carries the part's reference and its
        recipient: references wrap at 256, so a late report for another
        recipient may carry the same one.
        """
        keys = [reference % 256 for reference in sms.references]
        deadline = time.monotonic() + timeout
        try:
            while True:
                with self._lock:
                    self._require_connection()
                    for i, key in enumerate(keys):
                        if sms.reports[i] is None:
                            sms.reports[i] = self._claim_report(key, sms.number)
                    if sms.status != SentSms.ENROUTE:
                        return
                    if self._report_indexes:
                        self._read_stored_report(self._report_indexes.pop(0))
                        continue
                    if time.monotonic() >= deadline:
                        missing = [str(r) for r, got in zip(sms.references, sms.reports)
                                   if got is None]
                        raise DeliveryTimeoutError(
                            'no delivery report for message reference%s %s (AT+CMGS) '
                            'within %s s' % ('' if len(missing) == 1 else 's',
                                             ', '.join(missing), timeout), sms)
                    self._pump(min(deadline, time.monotonic() + self.lockSlice))
        finally:
            with self._lock:
                self._awaited.difference_update((key, sms.number) for key in keys)

    def _claim_report(self, key, number):
        """Take out the final status report held for reference ``key`` and recipient ``number``, if any."""
        held = self._reports.get(key, [])
        for report in held:
            if report.status != SentSms.ENROUTE and _same_recipient(number, report.number):
                held.remove(report)
                return report
        return None

    def _read_stored_report(self, index):
        try:
            lines = self._command('AT+CMGR=%d' % index)
        except CommandError:
            return      # gone or not a report: nothing to learn from it
        for i, line in enumerate(lines):
            if not line.startswith('+CMGR:'):
                continue
            if self.pduMode:
                # +CMGR: <stat>,[<alpha>],<length>, then the PDU on a line of its own
                length = _number_or_none((_fields(line[6:]) or [''])[-1].strip())
                if i + 1 < len(lines):
                    self._take_report(lambda: pdu.decode_status_report(lines[i + 1], length),
                                      lines[i + 1])
            else:
                self._take_report(lambda: pdu.parse_status_report_text(line), line)
            break
        try:
            self._command('AT+CMGD=%d' % index)
        except CommandError:
            pass

    def _take_report(self, decode, raw):
        """Keep a status report the modem handed over; one that cannot be read is logged and dropped."""
        try:
            report = StatusReport.from_decoded(decode())
        except EncodingError as e:
            log.warning('%s: unreadable status report %r: %s', self.port, raw, e)
            return
        key = report.reference % 256
        if not any(awaited == key and _same_recipient(number, report.number)
                   for awaited, number in self._awaited):
            log.info('%s: status report for message reference %d, which nothing waits for: '
                     'status 0x%02X (%s), recipient %s', self.port, report.reference,
                     report.deliveryStatus, report.reason, report.number)
        held = self._reports.setdefault(key, [])
        held.append(report)
        del held[:-4]       # the latest few are plenty

    # ---- talking to the modem ------------------------------------------

    def _require_connection(self):
        if self.pduMode is None:    # never connected, closed, or its connect() failed
            raise InvalidStateException('modem on %s is not connected' % self.port)

    def _write(self, data):
        if isinstance(data, str):
            try:
                data = data.encode('ascii')
            except UnicodeEncodeError:
                raise EncodingError('command contains non-ASCII characters')
        log.debug('%s: <- %s', self.port, _shown(data.decode('latin-1')).rstrip('\r'))
        self._serial_write(data)

    def _serial_write(self, data):
        try:
            self._serial.write(data)
        except serial.SerialTimeoutException:
            raise TimeoutException('could not write to %s within %.1f s'
                                   % (self.port, self.commandTimeout))

    def _discard_stale(self):
        """Drop whole lines that arrived before a command is sent, keeping what
        the modem sent on its own.  A prompt among them may mean a modem
        taking message text, which would take the command as text: the
        conversation is out of step."""
        waiting = self._waiting()
        if waiting:
            self._buf += self._serial.read(waiting)
        while True:
            line = self._pop_line()
            if line is None:
                break
            if self._useful(line, []) and line.startswith('>'):
                self._out_of_step = True
        head = self._buf.lstrip(b'\r\n')
        if head.startswith(b'>'):
            log.debug('%s: -> > (a prompt nothing waits for)', self.port)
            self._buf = head[2:] if head.startswith(b'> ') else head[1:]
            self._out_of_step = True

    def _command(self, command, timeout=None, marker=None, stale=None, again=False):
        """Send one command; return its reply lines (without the final OK).

        A busy answer is retried after a pause, a bounded number of times
        within busyRetryTime.  A command left unanswered leaves the
        conversation out of step: the next exchange resynchronises first.
        With ``again`` (for commands that do the same when sent twice) an
        unanswered command is sent once more, after the resynchronisation.
        ``marker`` and ``stale`` are as for _read_reply.
        """
        busy_until = time.monotonic() + self.busyRetryTime
        tries = 0
        while True:
            tries += 1
            self._discard_stale()
            if self._out_of_step and not self._resynchronising:
                self._resynchronise()
            self._write(command + '\r')
            try:
                return self._read_reply(command, timeout or self.commandTimeout, marker, stale)
            except TimeoutException:
                self._out_of_step = True
                if not again or tries > 1:
                    raise
                log.debug('%s: %s: no answer in time; asking again', self.port, _shown(command))
            except CommandError as e:
                if ((e.type, e.code) not in _BUSY or tries >= self.busyRetries
                        or time.monotonic() >= busy_until):
                    raise
                log.debug('%s: %s: busy, asking again', self.port, e)
            time.sleep(self.busyRetryDelay)

    def _resynchronise(self):
        """Bring the conversation back in step after an answer that did not come in time.

        ESC first: a modem taking message text drops it (one reading
        commands ignores it).  Then AT+CPIN? (see _sim_state), read to its
        end, and whatever else comes until the line is quiet: where an
        earlier AT+CPIN? (of a resynchronisation that timed out) was
        answered late, its answer passes for this one's, and this one's own
        follows at once, a modem answering in turn.  Returns the reply
        lines that came before: late answers to what was sent before.
        """
        log.debug('%s: resynchronising', self.port)
        stale = []
        self._resynchronising = True
        try:
            self._serial_write(ESC)
            self._sim_state(stale)
            deadline = time.monotonic() + self.commandTimeout
            while self._next_line(min(deadline, time.monotonic() + self.quietTime), []) is not None:
                pass
        except BaseException:
            self._out_of_step = True
            raise
        finally:
            self._resynchronising = False
        self._out_of_step = False   # a prompt before the ESC took effect is no matter now
        return stale

    def _value(self, command, prefix):
        for line in self._command(command, again=True):
            if line.startswith(prefix):
                return line[len(prefix):].strip()
        raise GsmModemException('%s gave no %s line' % (command, prefix))

    def _read_reply(self, command, timeout, marker=None, stale=None):
        """The reply to ``command``: its information lines, up to its final result.

        OK ends it and the lines are returned; an error line is raised.
        Information lines that no final result follows are the whole reply
        once nothing more comes for quietTime (older Wavecom modems answer
        AT+CPIN? so).  With ``marker``, the start of an information line
        that only this command's reply holds, whatever comes before that
        line answered an older command and goes to ``stale``; there a final
        result is taken for this reply only when it is an error and nothing
        follows it for quietTime, or nothing at all comes until the time-out.
        """
        deadline = time.monotonic() + timeout
        echo = [command]
        lines = []
        pending = None      # with a marker: an error that may be this reply
        quiet = None        # once lines (or the pending error) came: the reply is whole by then
        while True:
            line = self._next_line(deadline if quiet is None else min(deadline, quiet), echo)
            if line is None:
                if pending is not None:
                    raise pending
                if lines:
                    log.debug('%s: %s: no final result; the reply is taken as it is',
                              self.port, _shown(command))
                    return lines
                raise TimeoutException('no reply to %s within %.1f s'
                                       % (_shown(command), timeout), lines, _shown(command))
            if marker is not None and not lines:
                if line.startswith(marker):
                    lines.append(line)
                    pending, quiet = None, time.monotonic() + self.quietTime
                    continue
                if stale is not None:
                    stale.append(line)
                pending = _error_for(command, line)
                quiet = None if pending is None else time.monotonic() + self.quietTime
                continue
            if line == 'OK':
                return lines
            error = _error_for(command, line)
            if error is not None:
                raise error
            if line.startswith('>'):    # a prompt no command of ours asked for now
                self._out_of_step = True
                continue
            lines.append(line)
            quiet = time.monotonic() + self.quietTime

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
        line = raw.decode('latin-1').strip()
        if line:
            log.debug('%s: -> %s', self.port, _shown(line))
        return line

    def _useful(self, line, echo):
        """False for blank lines, lines the modem sent on its own and the
        echo of what we sent (each expected echo is taken away once seen)."""
        if self._skip_next and line:    # the text after +CMT: or +CBM: (blank framing aside)
            self._skip_next = False
            return False
        if line in echo:
            echo.remove(line)
            return False
        if self._cds_pdu_length is not None and line:
            length, self._cds_pdu_length = self._cds_pdu_length, None
            if _HEX.fullmatch(line):
                self._take_report(lambda: pdu.decode_status_report(line, length), line)
                return False
            log.warning('%s: +CDS: %d came without its PDU', self.port, length)
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
            if _CREG_REPLY.match(line):
                return False
            match = _CREG_URC.match(line)
            self._creg_urc = int(match.group(1)) if match else None
            return True
        if line.startswith('+CDS:'):
            fields = _fields(line[5:])
            if len(fields) == 1:                # PDU mode: the PDU follows
                length = _number_or_none(fields[0].strip())
                if length is None:
                    self._skip_next = True
                else:
                    self._cds_pdu_length = length
            else:
                self._take_report(lambda: pdu.parse_status_report_text(line), line)
            return True
        if line.startswith('+CDSI:'):
            index = _number_or_none((_fields(line[6:]) or [''])[-1])
            if index is not None and index not in self._report_indexes:
                self._report_indexes.append(index)
            return True
        if line.startswith(('+CMT:', '+CBM:')):     # the message (or broadcast) follows
            self._skip_next = True
            return True
        return line.startswith(_URC_PREFIXES)

    # ---- identification and state (read-only) --------------------------
    # What a listing of modems shows.  Each property asks the modem one
    # question under the lock and changes no setting.  A modem that refuses
    # the question (ERROR, +CME ERROR, no answer in time) or answers
    # something unreadable gives None, so one missing answer never spoils
    # the others.  They need the port open: after connect(), even one that
    # failed on the SIM.

    @property
    def manufacturer(self):
        """Who made the modem (AT+CGMI), or None."""
        return self._identification('AT+CGMI')

    @property
    def model(self):
        """The modem's model (AT+CGMM), or None."""
        return self._identification('AT+CGMM')

    @property
    def revision(self):
        """The modem's firmware revision (AT+CGMR), or None."""
        return self._identification('AT+CGMR')

    @property
    def imei(self):
        """The modem's serial number, its IMEI (AT+CGSN), or None."""
        return self._identification('AT+CGSN')

    @property
    def imsi(self):
        """The SIM's subscriber identity (AT+CIMI; most modems need the SIM unlocked), or None."""
        return self._identification('AT+CIMI')

    @property
    def networkName(self):
        """The operator the modem is registered with (AT+COPS?), or None when it is not."""
        for fields in self._parameters('AT+COPS?', '+COPS:'):
            # +COPS: <mode>[,<format>,<operator>[,<AcT>]]
            if len(fields) >= 3 and fields[2].strip():
                return fields[2].strip()
        return None

    @property
    def signalStrength(self):
        """The received signal strength (AT+CSQ): 0 to 31, 99 when the modem cannot tell; or None."""
        for fields in self._parameters('AT+CSQ', '+CSQ:'):
            if fields and _DIGITS.fullmatch(fields[0].strip()):
                return int(fields[0])
        return None

    @property
    def simState(self):
        """What the SIM waits for (AT+CPIN?): 'READY', 'SIM PIN', 'SIM PUK' or
        another code the modem names; 'NOT INSERTED' without a SIM; or None."""
        try:
            lines = self._ask('AT+CPIN?')
        except CmeError as e:
            return 'NOT INSERTED' if e.code == 10 else None
        except (CommandError, TimeoutException):
            return None
        for line in lines:
            if line.upper().startswith('+CPIN:'):
                return line[6:].strip().strip('"').upper() or None
        return None

    def _identification(self, command):
        # The bare value on one line; some modems put the command's name before it.
        lines = self._query(command)
        name = command[2:] + ':'
        for line in lines or ():
            if line.upper().startswith(name):
                line = line[len(name):]
            value = line.strip().strip('"').strip()
            if value:
                return value
        return None

    def _parameters(self, command, prefix):
        """The parameters of each ``prefix`` line that answers ``command``."""
        found = []
        for line in self._query(command) or ():
            if line.startswith(prefix):
                try:
                    found.append(_fields(line[len(prefix):]))
                except GsmModemException:
                    pass    # unreadable: as good as no answer
        return found

    def _query(self, command):
        """The information lines answering ``command``; None when the modem refuses it or stays silent."""
        try:
            return self._ask(command)
        except (CommandError, TimeoutException):
            return None

    @_exclusive
    def _ask(self, command):
        if self._serial is None:
            raise InvalidStateException('%s is not open: call connect() first' % self.port)
        return self._command(command)
