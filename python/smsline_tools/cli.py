"""smsline-send: send one text message through the first GSM modem found.

The sending itself is smsline.send_sms.send_sms(); this command sets what
that module reads at each call (PIN, serial_ports, GsmModem) from the
options and the environment.  Its GsmModem is the modem library's class
seen through a watcher that tells the user, on stderr, which port is tried,
why a port failed and what to do about it, and how the wait for the network
goes; with --report it also has the send wait for the delivery reports.
For --simulate a simulated modem on a pseudo-terminal stands in front of
it.  --list (smsline_tools.listing) shows what is on each port instead.
"""
import argparse
import collections
import errno
import getpass
import glob
import importlib
import importlib.machinery
import importlib.util
import json
import logging
import os
import platform
import re
import stat
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
NO_MODEM = 3        # no port, or no modem answered on any port (--list: no modem found)
SIM = 4             # the SIM wants a PIN or its PUK, or refused the PIN
NETWORK = 5         # no network, registration denied, or the message refused
DELIVERY_FAILED = 6  # --report: the network reported the message as not delivered
NO_REPORT = 7       # --report: sent, but the delivery report did not come in time
INTERRUPTED = 130   # Ctrl-C

REPORT_WAIT = 60    # seconds --report waits when not told
NETWORK_WAIT = 30   # seconds send_sms gives the modem to register; --timeout changes it
LONGEST_WAIT = 86400

PIN_VARIABLE = 'SMSLINE_PIN'
PORT_VARIABLE = 'SMSLINE_PORT'

FAILED = 2  # SentSms.FAILED
# After a send that the modem neither accepted nor refused.
_UNSURE = 'the message may or may not have gone out: check before sending it again'
NOT_FOUND = 'Gsm Device Not Found'

EPILOG = '''exit status:
  0    sent: the modem accepted the message (--list: a modem was found)
  1    another error
  2    usage: bad options, number, text or PIN (no port was opened)
  3    no modem: no serial port, or no modem answered on any port
  4    SIM: the SIM needs a PIN or its PUK, or refused the PIN
  5    network: no network, registration denied, or the message was refused
  6    --report: the network reported the message as not delivered
  7    --report: sent, but no delivery report came in time
  130  interrupted (Ctrl-C); the modem was closed

environment:
  SMSLINE_PIN   the SIM PIN, when neither --pin nor --pin-file is given
  SMSLINE_PORT  the serial port to use when no --port is given

TEXT "-" reads the text from standard input.  A text too long for one
message goes in several linked parts (up to 255; 153 GSM characters or 67
other characters each) when the modem has PDU mode.  A PIN given with --pin
can be seen by other users of the machine (ps): prefer SMSLINE_PIN or
--pin-file.'''


def _seconds(text):
    """A number of seconds from 0 to a day, for --timeout."""
    try:
        value = float(text)
    except ValueError:
        value = -1
    if not 0 <= value <= LONGEST_WAIT:
        raise argparse.ArgumentTypeError('takes a number of seconds from 0 to %d' % LONGEST_WAIT)
    return value


class _Parser(argparse.ArgumentParser):
    """With --json on the command line, a usage error also gives the result object."""

    json = False

    def error(self, message):
        if self.json:
            print(json.dumps(_Record().result(USAGE, message)))
        argparse.ArgumentParser.error(self, message)


def _parser():
    parser = _Parser(
        prog='smsline-send', description='Send a text message through a GSM modem.',
        usage='%(prog)s [options] NUMBER TEXT\n       %(prog)s --list [--port PORT ...] [--json]',
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('number', nargs='?', metavar='NUMBER',
                        help='destination phone number, e.g. +15551234567')
    parser.add_argument('text', nargs='?', metavar='TEXT',
                        help='message text ("-": read it from standard input)')
    parser.add_argument('--pin', help='SIM PIN (4 to 8 digits), if the SIM asks for one')
    parser.add_argument('--pin-file', metavar='FILE',
                        help='read the SIM PIN from the first line of FILE ("-": from standard '
                             'input, not echoed on a terminal)')
    parser.add_argument('--port', action='append', metavar='PORT',
                        help='try this serial port (repeatable: tried in the order given) '
                             'instead of every port; default $%s' % PORT_VARIABLE)
    parser.add_argument('--timeout', type=_seconds, metavar='SECONDS',
                        help='how long to wait for the network (default %d)' % NETWORK_WAIT)
    parser.add_argument('--report', nargs='?', const=REPORT_WAIT, metavar='SECONDS',
                        help='wait for the delivery report (%d s unless SECONDS is given) '
                             'and say whether the message was delivered' % REPORT_WAIT)
    parser.add_argument('--json', action='store_true',
                        help='print the result as one JSON object on stdout')
    parser.add_argument('--list', action='store_true',
                        help='probe each port and print what is on it: a modem or not, its '
                             'manufacturer, model, IMEI, SIM state, operator and signal '
                             '(no PIN is entered)')
    parser.add_argument('--list-ports', action='store_true',
                        help='print the serial ports found (those tried without --port or '
                             '$%s), then exit' % PORT_VARIABLE)
    parser.add_argument('--simulate', action='store_true',
                        help='send to a simulated modem and show what it received')
    parser.add_argument('-q', '--quiet', action='store_true',
                        help='print nothing but errors (nothing at all on success)')
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
    if not 0 < args.report <= LONGEST_WAIT:
        parser.error('--report takes a number of seconds (up to a day)')


# Why one port could not be used.  A cause's rank says how far the port got
# (nothing there, silent, held by another program or not allowed, answered
# as a modem, its SIM, its network): the last line names the port that got
# furthest, the one that tells the user most.
RANK_NOTHING, RANK_SILENT, RANK_HELD, RANK_ANSWERED, RANK_SIM, RANK_NETWORK = range(6)
Cause = collections.namedtuple('Cause', 'status words rank')


def explain(error, waited=None):
    """The Cause (exit status, plain words with the next step, rank) of a port that failed with ``error``.

    ``waited``: seconds the modem was given to answer or to register, when known.
    """
    if isinstance(error, PukRequiredError):
        return Cause(SIM, 'the SIM is blocked and needs its PUK%s: unblock it in a phone, or with '
                     'AT+CPIN="<PUK>","<new PIN>"' % _left(error.attemptsLeft, 'PUK'), RANK_SIM)
    if isinstance(error, IncorrectPinError):
        return Cause(SIM, 'the SIM refused the PIN%s: stop and check the PIN before trying again; '
                     'when no attempts are left the SIM needs its PUK'
                     % _left(error.attemptsLeft, 'PIN'), RANK_SIM)
    if isinstance(error, PinRequiredError):
        return Cause(SIM, 'the SIM needs a PIN%s: give it with %s, --pin-file or --pin'
                     % (_left(error.attemptsLeft, 'PIN'), PIN_VARIABLE), RANK_SIM)
    if isinstance(error, SimLockError) or (isinstance(error, CmeError) and error.code in (10, 13)):
        return Cause(SIM, 'SIM problem: %s' % error, RANK_SIM)
    if isinstance(error, RegistrationError):
        if error.stat == 3:
            return Cause(NETWORK, 'the network denied registration: check that the SIM has an '
                         'active subscription that allows this network', RANK_NETWORK)
        return Cause(NETWORK, 'no network: the modem is not registered and not searching; check '
                     'the antenna and that the SIM has service', RANK_NETWORK)
    if isinstance(error, RegistrationTimeoutError):
        after = '' if waited is None else ' after %g s' % waited
        return Cause(NETWORK, 'registration timed out%s (still searching for a network): check '
                     'the antenna, move to better coverage, or wait longer with --timeout'
                     % after, RANK_NETWORK)
    if isinstance(error, InvalidStateException) and 'SIM' in str(error):
        return Cause(SIM, 'SIM not ready: %s' % error, RANK_SIM)
    code = getattr(error, 'errno', None)
    if isinstance(error, (serial.SerialException, OSError)) and code is not None:
        if code in (errno.EACCES, errno.EPERM):
            return Cause(NO_MODEM, 'permission denied: add yourself to the dialout group '
                         '(sudo usermod -aG dialout $USER) and log in again', RANK_HELD)
        if code in (errno.EAGAIN, errno.EBUSY):
            return Cause(NO_MODEM, 'the port is in use by another program (a modem manager such '
                         'as ModemManager, or another smsline-send): stop it and try again', RANK_HELD)
        if code in (errno.ENOENT, errno.ENODEV, errno.ENXIO):
            return Cause(NO_MODEM, 'no such device (unplugged?)', RANK_NOTHING)
    if isinstance(error, TimeoutException) and error.command not in (None, 'ATZ'):
        return Cause(NO_MODEM, 'the modem answered, then stopped (no reply to %s): switch it off '
                     'and on, or unplug it and plug it in again' % error.command, RANK_ANSWERED)
    if isinstance(error, TimeoutException):
        within = '' if waited is None else ' in %g s' % waited
        return Cause(NO_MODEM, 'no answer%s: not a modem, or not its AT port (a modem often has '
                     'several ttyUSB ports: --list shows which one answers)' % within, RANK_SILENT)
    if isinstance(error, (serial.SerialException, OSError)):
        return Cause(NO_MODEM, 'cannot use the port: %s' % _one_line(error), RANK_NOTHING)
    if isinstance(error, GsmModemException):
        return Cause(NO_MODEM, 'not a usable modem: %s' % _one_line(error), RANK_ANSWERED)
    return Cause(NO_MODEM, _one_line(error), RANK_NOTHING)


def _left(attempts, what):
    if attempts is None:
        return ''
    return ' (%d %s attempt%s left)' % (attempts, what, '' if attempts == 1 else 's')


def _one_line(error):
    return ' '.join(str(error).split()) or type(error).__name__


_CONTROL = re.compile(u'[\x00-\x1f\x7f-\x9f]')
_NAMED = {u'\r': u'\\r', u'\n': u'\\n', u'\t': u'\\t'}


def visible(text):
    """``text`` with control characters written out (\\r, \\x1b...): a byte from
    the modem must not move the cursor or change the terminal's colours."""
    return _CONTROL.sub(lambda m: _NAMED.get(m.group(), u'\\x%02x' % ord(m.group())), text)


class Progress(object):
    """Lines on stderr: a status updated in place on a terminal, plain lines otherwise."""

    def __init__(self, stream, quiet):
        self.stream = stream
        self.quiet = quiet
        self.terminal = stream.isatty() if hasattr(stream, 'isatty') else False
        self.last_error = None
        self._open = False      # a status line is shown and not ended
        self._last_plain = None

    def line(self, text):
        """A line that stays (shown unless quiet)."""
        if not self.quiet:
            self._write(text)

    def status(self, text, plain_key=None):
        """A passing state: in place on a terminal; otherwise a plain line when plain_key changes."""
        if self.quiet:
            return
        if self.terminal:
            self.stream.write('\rsmsline-send: ' + visible(text) + '\x1b[K')
            self.stream.flush()
            self._open = True
        elif plain_key is not None and plain_key != self._last_plain:
            self._last_plain = plain_key
            self.line(text)

    def hint(self, text):
        """A line for the person at the terminal, shown even when quiet."""
        self._write(text)

    def error(self, text):
        self.last_error = text
        self._write('error: ' + text)

    def end_status(self):
        """End an in-place status line, so that what comes next starts a line of its own."""
        if self._open:
            self.stream.write('\r\x1b[K')
            self.stream.flush()
            self._open = False

    def _write(self, text):
        self.end_status()
        print('smsline-send: ' + visible(text), file=self.stream)
        self.stream.flush()


class _LogHandler(logging.StreamHandler):
    """The library's log on stderr, after any status line, control bytes written out."""

    def __init__(self, progress):
        logging.StreamHandler.__init__(self, progress.stream)
        self.progress = progress
        self.setFormatter(logging.Formatter('smsline-send: %(name)s: %(message)s'))

    def format(self, record):
        return visible(logging.StreamHandler.format(self, record))

    def emit(self, record):
        self.progress.end_status()
        logging.StreamHandler.emit(self, record)


class _Stdout(object):
    """sys.stdout while send_sms prints its progress: a status line on the
    terminal is ended first; with -q or --json the lines are dropped."""

    def __init__(self, stream, progress, drop):
        self._stream = stream
        self._progress = progress
        self._drop = drop

    def write(self, text):
        if self._drop:
            return len(text)
        self._progress.end_status()
        return self._stream.write(text)

    def flush(self):
        if not self._drop:
            self._stream.flush()

    def __getattr__(self, name):
        return getattr(self._stream, name)


_STATES = {0: 'not searching', 1: 'registered', 2: 'searching', 3: 'denied', 4: 'unknown',
           5: 'roaming'}


class Watcher(object):
    """Stands for GsmModem in smsline.send_sms: makes modems and reports on each port."""

    def __init__(self, modem_class, progress):
        self.modem_class = modem_class
        self.progress = progress
        self.ports = None           # the ports of the walk, when known
        self.modems = []            # (port, modem) made, in order
        self.failures = []          # (port, Cause)
        self.found = None
        self.closed = []
        self.network_wait = None    # --timeout: seconds the modem is given to register
        self.report_wait = None     # --report: seconds the send waits for the delivery report
        self.sent = None            # the SentSms of the send, once the modem accepted it
        self.unsure = False         # a send began and ended neither accepted nor refused
        self.cut_short = False      # a send broke off, and the library says what went out
        self.error = None           # why send_sms failed

    def __call__(self, port, baudrate):
        modem = self.modem_class(port, baudrate)
        self.modems.append((port, modem))
        return _Watched(self, port, modem)

    def failed(self, port, error, waited=None):
        if not isinstance(error, Exception):
            return      # Ctrl-C and the like are not the port's fault
        cause = explain(error, waited)
        self.failures.append((port, cause))
        if self.ports is None or len(self.ports) > 1:   # one port: the last line says it
            self.progress.line('%s: %s' % (port, cause.words))

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
        watcher, progress = self._watcher, self._watcher.progress
        if watcher.network_wait is not None:
            timeout = watcher.network_wait
        progress.status('%s: modem answered; waiting for the network...' % self._port)

        def report(stat, waited):
            progress.status('%s: waiting for the network: %s, %d s of %g s'
                            % (self._port, _STATES.get(stat, 'stat %s' % stat), waited, timeout),
                            # off a terminal: a line per state, and every 5 s
                            plain_key=(stat, int(waited) // 5) if stat in (2, 4) else None)
        try:
            if isinstance(self._modem, GsmModem):
                rssi = self._modem.waitForNetworkCoverage(timeout, progress=report)
            else:
                rssi = self._modem.waitForNetworkCoverage(timeout)
        except BaseException as e:
            watcher.failed(self._port, e, timeout)
            raise
        watcher.found = self._port
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
        except BaseException as e:
            # The library tells whether a part was handed over and left
            # unanswered; without that word (another library) it stays unsure.
            if getattr(e, 'unconfirmed', True) is False:
                watcher.unsure, watcher.cut_short = False, True
            raise
        watcher.sent, watcher.unsure = sms, False
        self._accepted(sms)
        return sms

    def _accepted(self, sms):
        references = _references(sms)
        if not references:
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


def _references(sms):
    references = getattr(sms, 'references', None) or [getattr(sms, 'reference', None)]
    return [] if references[0] is None else list(references)


class _Record(object):
    """What --json prints: one object saying what happened, whatever happened."""

    def __init__(self):
        self.number = None
        self.ports = []             # {"port", "outcome", "cause", "exit_status"} per port
        self.port = None            # the port whose modem took the message
        self.references = []        # of the parts that went out
        self.parts = None           # of the message the modem accepted
        self.delivery = {'status': 'not requested', 'code': None, 'reason': None}
        self.uncertain = False      # it may or may not have gone out
        self.simulator = None

    def result(self, status, error):
        result = collections.OrderedDict([
            ('version', __version__), ('sent', self.parts is not None),
            ('exit_status', status), ('error', error), ('number', self.number),
            ('port', self.port), ('ports', self.ports), ('parts', self.parts),
            ('references', self.references), ('delivery', self.delivery),
            ('uncertain', self.uncertain)])
        if self.simulator is not None:
            result['simulator_received'] = self.simulator
        return result

    def take(self, watcher):
        """The walk and the send as the watcher saw them."""
        failed = dict(watcher.failures)
        tried = [port for port, _ in watcher.modems]
        for port in (watcher.ports or tried):
            cause = failed.get(port)
            outcome = ('failed' if cause is not None else 'used' if port == watcher.found
                       else 'tried' if port in tried else 'not tried')
            self.ports.append(collections.OrderedDict([
                ('port', port), ('outcome', outcome),
                ('cause', cause and cause.words), ('exit_status', cause and cause.status)]))
        self.port = watcher.found
        self.uncertain = watcher.unsure
        sms, error = watcher.sent, watcher.error
        if sms is not None:
            self.references = _references(sms)
            self.parts = len(self.references) or None
        elif getattr(error, 'partsSent', None):
            self.references = list(error.partsSent)
        code = getattr(sms, 'deliveryStatus', None)
        if watcher.report_wait is None:
            return
        if code is not None:
            self.delivery = {'status': 'failed' if sms.status == FAILED else 'delivered',
                             'code': code, 'reason': getattr(sms.report, 'reason', None)}
        else:
            self.delivery = {'status': 'no report' if isinstance(error, DeliveryTimeoutError)
                             else 'not sent' if sms is None else 'unknown',
                             'code': None, 'reason': None}


def main(argv=None, module=None):
    """Entry point; ``module`` stands in for smsline.send_sms (tests).  Returns the exit status."""
    progress = Progress(sys.stderr, quiet=False)
    record = _Record()
    watcher = args = None
    logger = logging.getLogger('smsline_gsm')
    level, handler = logger.level, None
    status = ERROR
    try:
        parser = _parser()
        given = sys.argv[1:] if argv is None else argv
        parser.json = '--json' in given[:given.index('--')] if '--' in given else '--json' in given
        args = parser.parse_args(argv)
        progress.quiet = args.quiet
        if args.list_ports:
            status = _list_ports(module, progress, args.json)
            return status
        # The library's log: every AT line with -v, else its warnings (none with -q).
        handler = _LogHandler(progress) if args.verbose or not args.quiet \
            else logging.NullHandler()
        logger.addHandler(handler)
        logger.setLevel(logging.DEBUG if args.verbose else logging.WARNING)
        if args.list:
            if args.number is not None:
                parser.error('--list takes no NUMBER or TEXT')
            from smsline_tools.listing import list_modems
            status = list_modems(args, _ports(parser, args), module, progress)
            return status
        args.text = _checked(parser, args, progress)
        record.number = args.number
        if module is None:
            module = load_send_sms()
        watcher = Watcher(getattr(module, 'GsmModem', GsmModem), progress)
        watcher.report_wait = args.report
        watcher.network_wait = args.timeout
        status = _send(args, module, watcher, progress, record)
    except Unavailable as e:
        progress.error(str(e))
        status = ERROR
    except KeyboardInterrupt as e:
        closed = []
        if watcher is not None:
            watcher.close_all()
            closed = watcher.closed
        progress.error('interrupted%s%s%s' % (
            '; closed the modem on %s' % ', '.join(closed) if closed else '', _parts_out(e),
            '; ' + _UNSURE if watcher is not None and watcher.unsure else ''))
        status = INTERRUPTED
    finally:
        if handler is not None:
            logger.removeHandler(handler)
            logger.setLevel(level)
    if watcher is not None:
        record.take(watcher)
    if args is not None and args.json and not args.list:
        print_line(json.dumps(record.result(status, progress.last_error)))
    return status


def _pin(parser, args):
    """The PIN from --pin, --pin-file or SMSLINE_PIN (in that order), checked; None without one."""
    if args.pin is not None and args.pin_file is not None:
        parser.error('give the PIN one way: --pin or --pin-file')
    if args.pin is not None:
        pin, source = args.pin, '--pin'
    elif args.pin_file is not None:
        pin, source = _read_pin(parser, args.pin_file, args.quiet), '--pin-file'
    else:
        pin, source = os.environ.get(PIN_VARIABLE) or None, PIN_VARIABLE
    try:
        return check_pin(pin)
    except ValueError as e:     # says what is wrong, never what was given
        parser.error('the PIN from %s: %s' % (source, e))


def _read_pin(parser, path, quiet):
    """The first line of the PIN file, blanks around it taken off; a warning
    (unless ``quiet``) when other users can read the file."""
    if path == '-':
        if sys.stdin.isatty():
            return getpass.getpass('smsline-send: SIM PIN: ', stream=sys.stderr)
        line = sys.stdin.readline()
    else:
        try:
            with open(path, 'rb') as handle:
                mode = os.fstat(handle.fileno()).st_mode
                line = handle.readline(64).decode('ascii', 'replace')
        except OSError as e:
            parser.error('cannot read the PIN file %s: %s' % (path, e.strerror or e))
        if stat.S_ISREG(mode) and mode & 0o077 and not quiet:
            sys.stderr.write('smsline-send: warning: other users can read the PIN file %s: '
                             'chmod 600 %s\n' % (path, path))
    return line.strip()


def _ports(parser, args):
    """The ports to try, in order, from --port or SMSLINE_PORT; None: every port."""
    if args.simulate and args.port:
        parser.error('--simulate and --port exclude each other')
    if args.simulate:
        return None
    if args.port:
        return list(collections.OrderedDict.fromkeys(args.port))
    port = os.environ.get(PORT_VARIABLE)
    return [port] if port else None


def _checked(parser, args, progress):
    """The message text, after checking everything (and setting the PIN and
    the ports) before any port is opened."""
    _report_wait(parser, args)
    if args.number is None or args.text is None:
        parser.error('NUMBER and TEXT are required')
    if args.pin_file == '-' and args.text == '-':
        parser.error('the PIN and the text cannot both come from standard input')
    args.port = _ports(parser, args)
    args.pin = _pin(parser, args)
    text = args.text
    if text == '-':
        if sys.stdin.isatty():
            progress.hint('type the message, then press Ctrl-D at the start of a line '
                          '(Ctrl-C cancels)')
        text = _from_locale(sys.stdin.read(), getattr(sys.stdin, 'encoding', None))
        if text.endswith('\n'):
            text = text[:-1]
    else:
        text = _from_locale(text, sys.getfilesystemencoding())
    if not text:
        parser.error('the text is empty')
    try:
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


def print_line(line):
    """A line on stdout; what its encoding lacks (say, under the C locale) as backslash escapes."""
    encoding = getattr(sys.stdout, 'encoding', None)
    if encoding:
        line = line.encode(encoding, 'backslashreplace').decode(encoding)
    print(line)
    sys.stdout.flush()


class Unavailable(Exception):
    """smsline.send_sms cannot be loaded."""


def load_send_sms():
    """smsline.send_sms with smsline's own modem library behind it, whatever
    gsmmodem library the environment holds: while the submodule starts here,
    None in sys.modules for gsmmodem tells it that there is none."""
    blocked = 'gsmmodem' not in sys.modules
    if blocked:
        sys.modules['gsmmodem'] = None
    try:
        return importlib.import_module('smsline.send_sms')
    except ImportError as e:
        raise Unavailable('cannot load smsline.send_sms (%s): %s' % (_one_line(e), _load_advice()))
    finally:
        if blocked and sys.modules.get('gsmmodem', 0) is None:
            del sys.modules['gsmmodem']


_BUILT_FOR = re.compile(r'\.cpython-(\d)(\d+)')


def _load_advice(path=None):
    """What to do about an extension that does not load, from the extension files on ``path``."""
    running = '%s %d.%d' % ((platform.python_implementation(),) + sys.version_info[:2])
    ours = importlib.machinery.EXTENSION_SUFFIXES
    for folder in (sys.path if path is None else path):
        for candidate in sorted(glob.glob(os.path.join(folder or '.', 'smsline.*'))):
            name = os.path.basename(candidate)
            if not name.endswith('.so'):
                continue
            if any(name == 'smsline' + suffix for suffix in ours):
                return ('%s is for this interpreter but does not load: reinstall smsline'
                        % candidate)
            built = _BUILT_FOR.search(name)
            return ('the smsline extension %s is built for %s, and this is %s: install smsline '
                    'with this interpreter (%s -m pip install ...)'
                    % (candidate, 'CPython %s.%s' % built.groups() if built else 'another Python',
                       running, sys.executable))
    return ('no smsline extension for %s is installed: install smsline with this interpreter '
            '(%s -m pip install ...)' % (running, sys.executable))


def _list_ports(module, progress, as_json):
    try:
        if module is None:
            module = load_send_sms()
        ports = list(module.serial_ports())
    except Exception as e:
        progress.error(_one_line(e))
        return ERROR
    if as_json:
        print_line(json.dumps({'ports': ports}))
    for port in ports if not as_json else ():
        print_line(port)
    return SENT


def _send(args, module, watcher, progress, record):
    missing = object()
    saved = {name: getattr(module, name, missing) for name in ('PIN', 'serial_ports', 'GsmModem')}
    stdout = sys.stdout
    sim = None
    try:
        if args.simulate:
            from smsline_tools.modem_sim import ModemSimulator
            sim = ModemSimulator(behaviours=['pin'] if args.pin else ['healthy'],
                                 pin=args.pin or '1234')
            args.port = [sim.start()]
        if args.pin is not None:
            module.PIN = args.pin
        module.GsmModem = watcher
        # send_sms prints its progress on stdout, between our lines on stderr.
        sys.stdout = _Stdout(stdout, progress, drop=args.quiet or args.json)
        try:
            watcher.ports = list(module.serial_ports()) if args.port is None else args.port
            module.serial_ports = lambda: list(watcher.ports)
            status = module.send_sms(args.number, args.text)
        except Exception as e:
            watcher.error = e
            return _failure(e, watcher, progress)
    finally:
        sys.stdout = stdout
        for name, value in saved.items():
            if value is missing:
                delattr(module, name)
            else:
                setattr(module, name, value)
        watcher.close_all()
        if sim is not None:
            sim.stop()
            record.simulator = [{'number': m['number'], 'text': m['text'],
                                 'reference': m['reference']} for m in sim.messages]
    if sim is not None and not (args.quiet or args.json):
        for message in sim.messages:
            print_line('simulator received: to=%s text=%s ref=%d'
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
        progress.line('delivered to %s' % args.number)
    return SENT


def _failure(error, watcher, progress):
    """Report why nothing was sent; returns the exit status."""
    if type(error) is Exception and error.args == (NOT_FOUND,):
        return _not_found(error, watcher, progress)
    if isinstance(error, MessageTooLongError):
        progress.error('%s: shorten the text' % _one_line(error))
        return ERROR
    if isinstance(error, DeliveryTimeoutError):
        progress.error('the message was sent, but no delivery report came within %g s; it '
                       'may still be delivered' % watcher.report_wait)
        return NO_REPORT
    sent = _parts_out(error)
    if isinstance(error, CmsError):
        reason = _CMS_REASONS.get(error.code, 'see the modem manual')
        progress.error('the message was refused: +CMS ERROR: %s (%s)%s' % (error.code, reason, sent))
        return NETWORK
    if watcher.unsure:     # the modem went quiet (its timeout says what that means) or away
        progress.error('%s%s; %s' % (_one_line(error), sent, 'check later whether it arrived before '
                                     'sending it again' if isinstance(error, TimeoutException)
                                     else _UNSURE))
        return ERROR
    if watcher.cut_short:
        progress.error('%s%s' % (_one_line(error), sent or '; nothing of it went out'))
        return ERROR
    if watcher.failures or isinstance(error, (GsmModemException, serial.SerialException)):
        cause = explain(error)
        port = watcher.modems[-1][0] if watcher.modems else 'the port'
        progress.error('%s: %s%s' % (port, cause.words, sent))
        return cause.status
    progress.error(_one_line(error))
    return ERROR


def _parts_out(error):
    """'; N of its parts had gone out already' when the library says parts went out."""
    sent = getattr(error, 'partsSent', None)
    return '; %d of its parts had gone out already' % len(sent) if sent else ''

def _not_found(error, watcher, progress):
    """No modem came up: the last line names the cause that tells the user most."""
    if not watcher.failures:
        if error.__cause__ is not None:     # a walk that did not go through the watcher
            cause = explain(error.__cause__)
            progress.error(cause.words)
            return cause.status
        if not watcher.modems:
            progress.error('no serial port found (is the modem plugged in? --list-ports shows '
                           'the ports tried)')
        else:
            progress.error('no modem came up on %s' % ', '.join(p for p, _ in watcher.modems))
        return NO_MODEM
    port, cause = max(watcher.failures, key=lambda failure: failure[1].rank)
    count = len(watcher.modems)
    if cause.rank <= RANK_SILENT and count > 1:
        progress.error('no modem answered on any of the %d ports tried (--list shows what is '
                       'on each port)' % count)
    else:
        progress.error('%s: %s' % (port, cause.words))
    return cause.status


_CMS_REASONS = {300: 'modem failure', 301: 'SMS service reserved', 302: 'operation not allowed',
                303: 'operation not supported', 304: 'invalid parameter', 305: 'invalid text',
                310: 'no SIM', 311: 'SIM PIN required', 313: 'SIM failure', 322: 'memory full',
                330: 'SMS centre address unknown', 331: 'no network service',
                332: 'network timeout', 500: 'unknown error'}


if __name__ == '__main__':
    sys.exit(main())
