"""smsline-send: send one text message through the first GSM modem found.

The sending itself is smsline.send_sms.send_sms(); this command sets what
that module reads at each call (PIN, serial_ports, GsmModem) from the
options.  Its GsmModem is the modem library's class seen through a watcher
that tells the user, on stderr, which port is tried, why a port failed and
what to do about it, and how the wait for the network goes; with --report
it also has the send wait for the delivery reports.  For --simulate a
simulated modem on a pseudo-terminal stands in front of it.
"""
import argparse
import errno
import importlib
import importlib.util
import logging
import platform
import re
import sys

import serial

from smsline_gsm.exceptions import (CmeError, CmsError, CommandError, EncodingError,
                                 GsmModemException,
                                 IncorrectPinError, InvalidStateException,
                                 PinRequiredError, PukRequiredError,
                                 RegistrationError, RegistrationTimeoutError,
                                 DeliveryTimeoutError, MessageTooLongError,
                                 SimLockError, TimeoutException)
from smsline_gsm.modem import GsmModem, check_message, check_pin

from smsline_tools import __version__

# Exit statuses (documented in --help and the README).
SENT = 0
ERROR = 1           # anything not foreseen below
USAGE = 2           # bad options, number, text or PIN: nothing was opened
NO_MODEM = 3        # no port, or no modem answered on any port
SIM = 4             # the SIM wants a PIN or its PUK, or refused the PIN
NETWORK = 5         # no network, registration denied, or the message refused
DELIVERY_FAILED = 6  # --report: the network reported the message as not delivered
NO_REPORT = 7       # --report: sent, but the delivery report did not come in time
INTERRUPTED = 130   # Ctrl-C

REPORT_WAIT = 60    # seconds --report waits when not told

FAILED = 2  # SentSms.FAILED
# After a send that the modem neither accepted nor refused.
_UNSURE = 'the message may or may not have gone out: check before sending it again'
NOT_FOUND = 'Gsm Device Not Found'

EPILOG = '''exit status:
  0    sent: the modem accepted the message
  1    another error
  2    usage: bad options, number, text or PIN (no port was opened)
  3    no modem: no serial port, or no modem answered on any port
  4    SIM: the SIM needs a PIN (--pin) or its PUK, or refused the PIN
  5    network: no network, registration denied, or the message was refused
  6    --report: the network reported the message as not delivered
  7    --report: sent, but no delivery report came in time
  130  interrupted (Ctrl-C); the modem was closed

TEXT "-" reads the text from standard input.  A text too long for one
message goes in several linked parts (up to 255; 153 GSM characters or 67
other characters each) when the modem has PDU mode.'''

# How far a failed port got: the exit status of the port that got furthest.
_RANK = {NO_MODEM: 0, SIM: 1, NETWORK: 2}

_CMS_REASONS = {300: 'modem failure', 301: 'SMS service reserved', 302: 'operation not allowed',
                303: 'operation not supported', 304: 'invalid parameter', 305: 'invalid text',
                310: 'no SIM', 311: 'SIM PIN required', 313: 'SIM failure', 322: 'memory full',
                330: 'SMS centre address unknown', 331: 'no network service',
                332: 'network timeout', 500: 'unknown error'}


def _parser():
    parser = argparse.ArgumentParser(
        prog='smsline-send', description='Send a text message through a GSM modem.',
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('number', nargs='?', help='destination phone number, e.g. +15551234567')
    parser.add_argument('text', nargs='?', help='message text ("-": read it from standard input)')
    parser.add_argument('--pin', help='SIM PIN (4 to 8 digits), if the SIM asks for one')
    parser.add_argument('--port', help='use this serial port instead of trying every port')
    parser.add_argument('--list-ports', action='store_true',
                        help='print the serial ports that would be tried, then exit')
    parser.add_argument('--simulate', action='store_true',
                        help='send to a simulated modem and show what it received')
    parser.add_argument('--report', nargs='?', const=REPORT_WAIT, metavar='SECONDS',
                        help='wait for the delivery report (%d s unless SECONDS is given) '
                             'and say whether the message was delivered' % REPORT_WAIT)
    parser.add_argument('-q', '--quiet', action='store_true',
                        help='no progress on stderr (errors are still shown)')
    parser.add_argument('-v', '--verbose', action='store_true',
                        help='log every AT command and reply on stderr (the PIN masked)')
    parser.add_argument('--version', action=_Version, help='show the version and the GSM library '
                        'that send_sms uses here, then exit')
    return parser


class _Version(argparse.Action):
    """--version: smsline's version and, since send_sms takes a gsmmodem
    library installed beside smsline before its own, which one it takes in
    this environment (smsline-send itself always uses smsline_gsm)."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS, help=None):
        argparse.Action.__init__(self, option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        try:
            found = importlib.util.find_spec('gsmmodem')
            where = found and (found.submodule_search_locations or [found.origin])
        except (ImportError, ValueError):   # found, but without a readable spec
            found, where = True, ['(location unknown)']
        if not found:
            library = "smsline_gsm, smsline's own (no gsmmodem library is installed)"
        else:
            library = 'gsmmodem from %s, installed beside smsline (smsline-send uses smsline_gsm)' % (
                ', '.join(str(path) for path in where),)
        sys.stdout.write('%s %s\nsend_sms uses %s\n' % (parser.prog, __version__, library))
        parser.exit()


def _report_wait(parser, args):
    """Seconds of --report.  In "--report NUMBER TEXT" the option took the
    number for its value (TEXT is then missing): it waits REPORT_WAIT."""
    if not isinstance(args.report, str):
        return
    if args.text is None and args.number is not None:
        args.number, args.text, args.report = args.report, args.number, REPORT_WAIT
        return
    try:
        args.report = float(args.report)
    except ValueError:
        args.report = -1
    if not 0 < args.report <= 86400:
        parser.error('--report takes a number of seconds (up to a day)')


def explain(error, waited=None):
    """(exit status, plain words with the next step) for a port that failed with ``error``.

    ``waited``: seconds the modem was given to answer, when known.
    """
    if isinstance(error, PukRequiredError):
        return SIM, ('the SIM is blocked and needs its PUK%s: unblock it in a phone, or with '
                     'AT+CPIN="<PUK>","<new PIN>"' % _left(error.attemptsLeft, 'PUK'))
    if isinstance(error, IncorrectPinError):
        return SIM, ('the SIM refused the PIN%s: stop and check the PIN before trying again; '
                     'when no attempts are left the SIM needs its PUK'
                     % _left(error.attemptsLeft, 'PIN'))
    if isinstance(error, PinRequiredError):
        return SIM, 'the SIM needs a PIN%s: give it with --pin' % _left(error.attemptsLeft, 'PIN')
    if isinstance(error, SimLockError) or (isinstance(error, CmeError) and error.code in (10, 13)):
        return SIM, 'SIM problem: %s' % error
    if isinstance(error, RegistrationError):
        if error.stat == 3:
            return NETWORK, ('the network denied registration: check that the SIM has an '
                             'active subscription that allows this network')
        return NETWORK, ('no network: the modem is not registered and not searching; check '
                         'the antenna and that the SIM has service')
    if isinstance(error, RegistrationTimeoutError):
        return NETWORK, ('registration timed out (still searching for a network): check the '
                         'antenna or move to better coverage')
    if isinstance(error, InvalidStateException) and 'SIM' in str(error):
        return SIM, 'SIM not ready: %s' % error
    code = getattr(error, 'errno', None)
    if isinstance(error, (serial.SerialException, OSError)) and code is not None:
        if code in (errno.EACCES, errno.EPERM):
            return NO_MODEM, ('permission denied: add yourself to the dialout group '
                              '(sudo usermod -aG dialout $USER) and log in again')
        if code in (errno.EAGAIN, errno.EBUSY):
            return NO_MODEM, ('the port is in use by another program (a modem manager such as '
                              'ModemManager, or another smsline-send): stop it and try again')
        if code in (errno.ENOENT, errno.ENODEV, errno.ENXIO):
            return NO_MODEM, 'no such device (unplugged?)'
    if isinstance(error, TimeoutException) and error.command not in (None, 'ATZ'):
        return NO_MODEM, ('the modem answered, then stopped (no reply to %s): switch it off and '
                          'on, or unplug it and plug it in again' % error.command)
    if isinstance(error, TimeoutException):
        within = '' if waited is None else ' in %g s' % waited
        return NO_MODEM, ('no answer%s: not a modem, or not its AT port (a modem often has '
                          'several ttyUSB ports: try the others with --port)' % within)
    if isinstance(error, (serial.SerialException, OSError)):
        return NO_MODEM, 'cannot use the port: %s' % _one_line(error)
    if isinstance(error, GsmModemException):
        return NO_MODEM, 'not a usable modem: %s' % _one_line(error)
    return NO_MODEM, _one_line(error)


def _left(attempts, what):
    if attempts is None:
        return ''
    return ' (%d %s attempt%s left)' % (attempts, what, '' if attempts == 1 else 's')


def _one_line(error):
    return ' '.join(str(error).split()) or type(error).__name__


class Progress(object):
    """Progress lines on stderr: a status updated in place on a terminal, plain lines otherwise."""

    def __init__(self, stream, quiet):
        self.stream = stream
        self.quiet = quiet
        self.terminal = stream.isatty() if hasattr(stream, 'isatty') else False
        self._open = False      # a status line is shown and not ended
        self._last_plain = None

    def line(self, text):
        """A line that stays (shown unless quiet)."""
        if not self.quiet:
            self._end()
            print('smsline-send: ' + text, file=self.stream)
            self.stream.flush()

    def status(self, text, plain_key=None):
        """A passing state: in place on a terminal; otherwise a plain line when plain_key changes."""
        if self.quiet:
            return
        if self.terminal:
            self.stream.write('\rsmsline-send: ' + text + '\x1b[K')
            self.stream.flush()
            self._open = True
        elif plain_key is not None and plain_key != self._last_plain:
            self._last_plain = plain_key
            self.line(text)

    def result(self, text):
        """The outcome the user asked for: shown even when quiet."""
        self._end()
        print('smsline-send: ' + text, file=self.stream)
        self.stream.flush()

    def error(self, text):
        self._end()
        print('smsline-send: error: ' + text, file=self.stream)
        self.stream.flush()

    def _end(self):
        if self._open:
            self.stream.write('\r\x1b[K')
            self._open = False


_STATES = {0: 'not searching', 1: 'registered', 2: 'searching', 3: 'denied', 4: 'unknown',
           5: 'roaming'}


class Watcher(object):
    """Stands for GsmModem in smsline.send_sms: makes modems and reports on each port."""

    def __init__(self, modem_class, progress):
        self.modem_class = modem_class
        self.progress = progress
        self.modems = []        # (port, modem) made, in order
        self.failures = []      # (port, exit status, words)
        self.found = None
        self.closed = []
        self.report_wait = None     # --report: seconds the send waits for the delivery report
        self.sent = None            # the SentSms of the send, once the modem accepted it
        self.unsure = False         # a send began and ended neither accepted nor refused

    def __call__(self, port, baudrate):
        modem = self.modem_class(port, baudrate)
        self.modems.append((port, modem))
        return _Watched(self, port, modem)

    def failed(self, port, error, waited=None):
        if not isinstance(error, Exception):
            return      # Ctrl-C and the like are not the port's fault
        status, words = explain(error, waited)
        self.failures.append((port, status, words))
        self.progress.line('%s: %s' % (port, words))

    def close_all(self):
        """Close every modem made; ``closed`` lists the ports that were still open."""
        for port, modem in self.modems:
            try:
                if getattr(modem, 'alive', False) and port not in self.closed:
                    self.closed.append(port)
                modem.close()
            except Exception:
                pass


class _Watched(object):
    """A modem whose bring-up is reported as it happens."""

    def __init__(self, watcher, port, modem):
        self._watcher = watcher
        self._port = port
        self._modem = modem

    def __getattr__(self, name):
        return getattr(self._modem, name)

    def connect(self, pin=None):
        self._watcher.progress.status('%s: asking for a modem...' % self._port)
        try:
            return self._modem.connect(pin)
        except BaseException as e:
            self._watcher.failed(self._port, e, getattr(self._modem, 'startupTimeout', None))
            raise

    def waitForNetworkCoverage(self, timeout=None):
        progress = self._watcher.progress
        progress.status('%s: modem answered; waiting for the network...' % self._port)

        def report(stat, waited):
            progress.status('%s: waiting for the network: %s, %d s of %s s'
                            % (self._port, _STATES.get(stat, 'stat %s' % stat), waited, timeout),
                            # off a terminal: a line per state, and every 5 s
                            plain_key=(stat, int(waited) // 5) if stat in (2, 4) else None)
        try:
            if isinstance(self._modem, GsmModem):
                rssi = self._modem.waitForNetworkCoverage(timeout, progress=report)
            else:
                rssi = self._modem.waitForNetworkCoverage(timeout)
        except BaseException as e:
            self._watcher.failed(self._port, e)
            raise
        self._watcher.found = self._port
        signal = 'unknown' if rssi == 99 or not isinstance(rssi, int) else '%d of 31' % rssi
        progress.line('%s: modem ready on the network, signal %s' % (self._port, signal))
        return rssi

    def sendSms(self, destination, text, waitForDeliveryReport=False, deliveryTimeout=15):
        watcher = self._watcher
        if watcher.report_wait is not None:
            waitForDeliveryReport, deliveryTimeout = True, watcher.report_wait
            watcher.progress.status('%s: sending, then waiting up to %g s for the delivery '
                                    'report...' % (self._port, deliveryTimeout))
        watcher.unsure = True
        try:
            sms = self._modem.sendSms(destination, text,
                                      waitForDeliveryReport=waitForDeliveryReport,
                                      deliveryTimeout=deliveryTimeout)
        except DeliveryTimeoutError as e:
            watcher.sent, watcher.unsure = e.sentSms, False
            self._accepted(e.sentSms)
            raise
        except (CommandError, EncodingError, InvalidStateException):
            watcher.unsure = False      # refused, or never begun
            raise
        watcher.sent, watcher.unsure = sms, False
        self._accepted(sms)
        return sms

    def _accepted(self, sms):
        references = getattr(sms, 'references', None) or [getattr(sms, 'reference', None)]
        if references[0] is None:
            return
        if len(references) == 1:
            words = 'the message (reference %s)' % references[0]
        else:
            words = 'the message in %d parts (references %s)' % (
                len(references), ', '.join(str(r) for r in references))
        self._watcher.progress.line('%s: the modem accepted %s' % (self._port, words))

    def close(self):
        # send_sms closes the modem whose bring-up Ctrl-C interrupted before
        # the interrupt reaches us: it counts as closed for the last line.
        if getattr(self._modem, 'alive', False) and self._port not in self._watcher.closed:
            self._watcher.closed.append(self._port)
        return self._modem.close()


def main(argv=None, module=None):
    """Entry point; ``module`` stands in for smsline.send_sms (tests).  Returns the exit status."""
    progress = Progress(sys.stderr, quiet=False)
    watcher = None
    logger = logging.getLogger('smsline_gsm')
    level, handler = logger.level, None
    try:
        parser = _parser()
        args = parser.parse_args(argv)
        progress.quiet = args.quiet
        if args.list_ports:
            return _list_ports(module, progress)
        args.text = _checked(parser, args)
        # The library's log: every AT line with -v, else its warnings (none with -q).
        handler = logging.StreamHandler(sys.stderr) if args.verbose or not args.quiet \
            else logging.NullHandler()
        handler.setFormatter(logging.Formatter('smsline-send: %(name)s: %(message)s'))
        logger.addHandler(handler)
        logger.setLevel(logging.DEBUG if args.verbose else logging.WARNING)
        if module is None:
            module = _send_sms_module()
        watcher = Watcher(getattr(module, 'GsmModem', GsmModem), progress)
        watcher.report_wait = args.report
        return _send(args, module, watcher, progress)
    except _Unavailable as e:
        progress.error(str(e))
        return ERROR
    except KeyboardInterrupt:
        closed = []
        if watcher is not None:
            watcher.close_all()
            closed = watcher.closed
        progress.error('interrupted%s%s' % (
            '; closed the modem on %s' % ', '.join(closed) if closed else '',
            '; ' + _UNSURE if watcher is not None and watcher.unsure else ''))
        return INTERRUPTED
    finally:
        if handler is not None:
            logger.removeHandler(handler)
            logger.setLevel(level)


def _checked(parser, args):
    """The message text, after checking everything before any port is opened."""
    _report_wait(parser, args)
    if args.number is None or args.text is None:
        parser.error('NUMBER and TEXT are required')
    if args.simulate and args.port:
        parser.error('--simulate and --port exclude each other')
    text = args.text
    if text == '-':
        text = _from_locale(sys.stdin.read(), getattr(sys.stdin, 'encoding', None))
        if text.endswith('\n'):
            text = text[:-1]
    else:
        text = _from_locale(text, sys.getfilesystemencoding())
    if not text:
        parser.error('the text is empty')
    try:
        check_pin(args.pin)
        check_message(args.number, text)
    except ValueError as e:
        parser.error(str(e))
    return text


_ESCAPED = re.compile(u'[\udc80-\udcff]')


def _from_locale(text, encoding):
    """``text`` with the bytes that its locale could not decode read as UTF-8.

    Under the C locale (cron jobs, services) CPython 3.6 decodes arguments
    and standard input as ASCII, keeping every other byte as a surrogate
    escape; such a text is what a UTF-8 terminal or file holds.
    """
    if encoding is None or not _ESCAPED.search(text):
        return text
    try:
        return text.encode(encoding, 'surrogateescape').decode('utf-8')
    except (UnicodeError, LookupError):
        return text


def _print(line):
    """A line on stdout; what its encoding lacks (say, under the C locale) as backslash escapes."""
    encoding = getattr(sys.stdout, 'encoding', None)
    if encoding:
        line = line.encode(encoding, 'backslashreplace').decode(encoding)
    print(line)


class _Unavailable(Exception):
    """smsline.send_sms cannot be loaded."""


def _send_sms_module():
    """smsline.send_sms with smsline's own modem library behind it, whatever
    gsmmodem library the environment holds: while the submodule starts here,
    None in sys.modules for gsmmodem tells it that there is none."""
    blocked = 'gsmmodem' not in sys.modules
    if blocked:
        sys.modules['gsmmodem'] = None
    try:
        return importlib.import_module('smsline.send_sms')
    except ImportError as e:
        running = '%s %d.%d' % ((platform.python_implementation(),) + sys.version_info[:2])
        raise _Unavailable('cannot load smsline.send_sms (%s): %s' % (
            e, 'reinstall smsline' if running == 'CPython 3.6' else
            'the smsline extension is built for CPython 3.6, and this is ' + running))
    finally:
        if blocked and sys.modules.get('gsmmodem', 0) is None:
            del sys.modules['gsmmodem']


def _list_ports(module, progress):
    try:
        if module is None:
            module = _send_sms_module()
        for port in module.serial_ports():
            print(port)
    except Exception as e:
        progress.error(_one_line(e))
        return ERROR
    return SENT


def _send(args, module, watcher, progress):
    missing = object()
    saved = {name: getattr(module, name, missing) for name in ('PIN', 'serial_ports', 'GsmModem')}
    sim = None
    try:
        port = args.port
        if args.simulate:
            from smsline_tools.modem_sim import ModemSimulator
            sim = ModemSimulator(behaviours=['pin'] if args.pin else ['healthy'],
                                 pin=args.pin or '1234')
            port = sim.start()
        if args.pin is not None:
            module.PIN = args.pin
        if port is not None:
            module.serial_ports = lambda: [port]
        module.GsmModem = watcher
        try:
            status = module.send_sms(args.number, args.text)
        except Exception as e:
            return _failure(e, watcher, progress)
    finally:
        for name, value in saved.items():
            if value is missing:
                delattr(module, name)
            else:
                setattr(module, name, value)
        watcher.close_all()
        if sim is not None:
            sim.stop()
    if sim is not None:
        for message in sim.messages:
            _print('simulator received: to=%s text=%s ref=%d'
                   % (message['number'], message['text'], message['reference']))
    return _delivery(status, args, watcher, progress)


def _delivery(status, args, watcher, progress):
    """With --report, say what became of the message; returns the exit status."""
    sms = watcher.sent
    code = getattr(sms, 'deliveryStatus', None)
    if status == FAILED:
        why = '' if code is None else ': %s (status 0x%02X)' % (sms.report.reason, code)
        progress.error('the network reported the message to %s as not delivered%s'
                       % (args.number, why))
        return DELIVERY_FAILED
    if args.report is not None and code is not None:
        progress.result('delivered to %s' % args.number)
    return SENT


def _failure(error, watcher, progress):
    """Report why nothing was sent; returns the exit status."""
    if type(error) is Exception and error.args == (NOT_FOUND,):
        failures = watcher.failures
        if not failures and error.__cause__ is not None:
            # A walk that did not go through the watcher: the last port's reason.
            status, words = explain(error.__cause__)
            progress.error('%s: %s' % (NOT_FOUND, words))
            return status
        if not failures:
            if not watcher.modems:
                progress.error('%s: no serial port found (is the modem plugged in? '
                               '--list-ports shows the ports tried)' % NOT_FOUND)
            else:
                progress.error('%s (tried %s)' % (NOT_FOUND, ', '.join(p for p, _ in watcher.modems)))
            return NO_MODEM
        port, status, words = max(failures, key=lambda failure: _RANK[failure[1]])
        if progress.quiet:
            progress.error('%s: %s: %s' % (NOT_FOUND, port, words))
        else:   # each port's reason is on its own line above
            count = len(watcher.modems)
            progress.error('%s: no modem came up (%d port%s tried)'
                           % (NOT_FOUND, count, '' if count == 1 else 's'))
        return status
    if isinstance(error, MessageTooLongError):
        progress.error('%s: shorten the text' % _one_line(error))
        return ERROR
    if isinstance(error, DeliveryTimeoutError):
        progress.error('the message was sent, but no delivery report came within %g s; it '
                       'may still be delivered' % watcher.report_wait)
        return NO_REPORT
    sent = getattr(error, 'partsSent', None)
    sent = '; %d of its parts had gone out already' % len(sent) if sent else ''
    if isinstance(error, CmsError):
        reason = _CMS_REASONS.get(error.code, 'see the modem manual')
        progress.error('the message was refused: +CMS ERROR: %s (%s)%s' % (error.code, reason, sent))
        return NETWORK
    if watcher.unsure:     # the modem went quiet (its timeout says what that means) or away
        progress.error('%s%s; %s' % (_one_line(error), sent, 'check later whether it arrived before '
                                     'sending it again' if isinstance(error, TimeoutException)
                                     else _UNSURE))
        return ERROR
    if watcher.failures or isinstance(error, (GsmModemException, serial.SerialException)):
        status, words = explain(error)
        port = watcher.modems[-1][0] if watcher.modems else 'the port'
        progress.error('%s: %s' % (port, words))
        return status
    progress.error(_one_line(error))
    return ERROR


if __name__ == '__main__':
    sys.exit(main())
