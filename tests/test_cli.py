"""smsline-send: in-process with a stand-in for smsline.send_sms that follows its
contract, and as installed (the console script in the version's venv) against the simulator."""
import contextlib
import errno
import io
import json
import logging
import os
import pty
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
import types
import unittest
from unittest import mock

import serial

from smsline_gsm import GsmModem
from smsline_gsm.exceptions import (CmsError, PinRequiredError, RegistrationTimeoutError,
                                 TimeoutException)
from smsline_tools import __version__, cli
from smsline_tools.modem_sim import ModemSimulator

from tests import support

VENV = os.path.join(support.ROOT, '.venv' if sys.version_info[:2] == (3, 6) else
                    '.venv-%d.%d' % sys.version_info[:2])
INSTALLED = os.path.join(VENV, 'bin', 'smsline-send')


def stand_in():
    """A module like smsline.send_sms: globals are looked up at each call."""
    module = types.ModuleType('send_sms_stand_in')
    module.PIN = None
    module.BAUDRATE = 115200
    module.GsmModem = GsmModem
    module.serial_ports = lambda: ['/dev/no-such-modem']
    module.seen = []

    def send_sms(phone_number, text):
        for port in module.serial_ports():
            module.seen.append((port, module.PIN))
            modem = module.GsmModem(port, module.BAUDRATE)
            try:
                modem.connect(module.PIN)
                modem.waitForNetworkCoverage(5)
                return modem.sendSms(phone_number, text).status
            finally:
                modem.close()
    module.send_sms = send_sms
    return module


def run(argv, module):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = cli.main(argv, module=module)
    return code, out.getvalue(), err.getvalue()


class CliTests(unittest.TestCase):

    def test_simulate_with_pin_sends_and_restores_globals(self):
        module = stand_in()
        ports, modem_class = module.serial_ports, module.GsmModem
        code, out, err = run(['--simulate', '--pin', '4321', '+4917', u'Gr\u00fc\u00dfe {x}'],
                             module)
        self.assertEqual(code, 0)
        self.assertNotIn('error', err)
        self.assertIn(u'simulator received: to=+4917 text=Gr\u00fc\u00dfe {x} ref=1', out)
        self.assertEqual(module.seen[0][1], '4321')
        self.assertIs(module.serial_ports, ports)
        self.assertIs(module.GsmModem, modem_class)
        self.assertIsNone(module.PIN)

    def test_port_option_uses_that_port(self):
        module = stand_in()
        with ModemSimulator() as sim:
            code, out, err = run(['--port', sim.port, '123', 'hi'], module)
        self.assertEqual(code, 0)
        self.assertEqual([m['text'] for m in sim.messages], ['hi'])

    def test_failure_on_the_one_port_is_one_error_line(self):
        for quiet in ([], ['-q']):
            code, out, err = run(quiet + ['123', 'hi'], stand_in())
            self.assertEqual(code, cli.NO_MODEM)
            self.assertEqual(err, 'smsline-send: error: /dev/no-such-modem: no such device (unplugged?)\n')

    def test_list_ports_and_bad_usage(self):
        module = stand_in()
        self.assertEqual(run(['--list-ports'], module)[:2], (0, '/dev/no-such-modem\n'))
        with self.assertRaises(SystemExit) as caught:
            run(['123'], module)
        self.assertEqual(caught.exception.code, 2)

    def test_bring_up_errors_in_plain_words(self):
        # (what the modem's bring-up raises, exit status, words on stderr)
        cases = [(serial.SerialException(errno.EACCES, 'open'), cli.NO_MODEM, 'dialout'),
                 (serial.SerialException(errno.EAGAIN, 'lock'), cli.NO_MODEM, 'in use by another program'),
                 (serial.SerialException(errno.EBUSY, 'open'), cli.NO_MODEM, 'in use by another program'),
                 (serial.SerialException(errno.EIO, 'open'), cli.NO_MODEM, 'cannot use the port'),
                 (RegistrationTimeoutError('no coverage', 2), cli.NETWORK, 'registration timed out'),
                 (TimeoutException('no reply to ATZ', command='ATZ'), cli.NO_MODEM, 'not a modem'),
                 (TimeoutException('no reply', command='AT+CPIN?'), cli.NO_MODEM,
                  'the modem answered, then stopped (no reply to AT+CPIN?)')]
        for error, status, words in cases:
            module = stand_in()

            def refuse(port, baudrate, error=error):
                raise error
            module.GsmModem = refuse
            code, out, err = run(['-q', '123', 'hi'], module)
            self.assertEqual(code, status, error)
            self.assertIn(words, err, error)

    def test_library_warnings_carry_the_prefix_and_respect_quiet(self):
        module = stand_in()

        def send_sms(phone_number, text):
            logging.getLogger('smsline_gsm').warning('part 2 of 3 failed')
            return 0
        module.send_sms = send_sms
        self.assertEqual(run(['123', 'hi'], module)[2], 'smsline-send: smsline_gsm: part 2 of 3 failed\n')
        self.assertEqual(run(['-q', '123', 'hi'], module)[2], '')

    def test_an_extension_that_cannot_load_is_one_error_line(self):
        with mock.patch.object(cli.importlib, 'import_module',
                               side_effect=ImportError('No module named smsline.send_sms')):
            for argv in (['123', 'hi'], ['--list-ports']):
                code, out, err = run(argv, None)
                self.assertEqual(code, cli.ERROR)
                self.assertRegex(err, r'^smsline-send: error: cannot load smsline.send_sms '
                                      r'\(No module named smsline.send_sms\): \S.*\n$')
        # What to do, from the extension files found, true on every version.
        running = 'CPython %d.%d' % sys.version_info[:2]
        other = '312' if sys.version_info[:2] == (3, 6) else '36m'
        cases = [([], 'no smsline extension for %s is installed' % running),
                 (['smsline.cpython-%s-x86_64-linux-gnu.so' % other],
                  'is built for CPython %s.%s, and this is %s' % (other[0], other[1:].rstrip('m'), running)),
                 (['smsline' + support.EXT_SUFFIX], 'is for this interpreter but does not load')]
        for files, words in cases:
            with tempfile.TemporaryDirectory() as folder:
                for name in files:
                    open(os.path.join(folder, name), 'w').close()
                self.assertIn(words, cli._load_advice([folder]))

    def test_a_send_that_ends_neither_accepted_nor_refused_says_so(self):
        def told(error, **words):      # what the modem library attaches
            for name, value in words.items():
                setattr(error, name, value)
            return error
        vanished = 'write failed: [Errno 5] Input/output error'
        # (what sendSms raises, exit status, whether the message may have gone out,
        # whether the last line counts one part out)
        cases = [(serial.SerialException(vanished), cli.ERROR, True, False),
                 (KeyboardInterrupt(), cli.INTERRUPTED, True, False),
                 (CmsError('AT+CMGS=16', 330), cli.NETWORK, False, False),
                 (told(serial.SerialException(vanished), partsSent=[4], unconfirmed=True), cli.ERROR, True, True),
                 (told(serial.SerialException(vanished), partsSent=[4], unconfirmed=False),
                  cli.ERROR, False, True),
                 (told(KeyboardInterrupt(), partsSent=[4], unconfirmed=False), cli.INTERRUPTED, False, True),
                 (told(KeyboardInterrupt(), partsSent=[], unconfirmed=False), cli.INTERRUPTED, False, False)]
        for failure, status, unsure, one_out in cases:
            class Failing(GsmModem):
                def sendSms(self, *args, **kwargs):
                    raise failure
            module = stand_in()
            module.GsmModem = Failing
            code, out, err = run(['--simulate', '123', 'hi'], module)
            self.assertEqual(code, status, failure)
            self.assertEqual('may or may not have gone out' in err.splitlines()[-1], unsure, err)
            self.assertEqual('1 of its parts had gone out already' in err.splitlines()[-1], one_out, err)

    def test_a_pin_file_others_can_read_is_warned_of_unless_quiet(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, 'pin')
            with open(path, 'w') as handle:
                handle.write('4321\n')
            for mode, options, warned in [(0o644, [], True), (0o640, [], True), (0o600, [], False),
                                          (0o644, ['-q'], False)]:
                os.chmod(path, mode)
                module = stand_in()
                code, out, err = run(options + ['--simulate', '--pin-file', path, '123', 'hi'], module)
                self.assertEqual((code, module.seen[0][1]), (0, '4321'), err)
                self.assertEqual('other users can read the PIN file' in err, warned, (oct(mode), err))
                self.assertNotIn('4321', err)

    def test_list_json_is_one_object_even_when_the_listing_breaks_off(self):
        from smsline_tools import listing
        first = {'port': '/dev/ttyUSB0', 'modem': True}
        # (--port options, what probe gives, what loading send_sms gives, exit status, ports listed)
        cases = [(['--port', '/dev/ttyUSB0', '--port', '/dev/ttyUSB1'], [first, KeyboardInterrupt()], None,
                  cli.INTERRUPTED, [first]),
                 ([], None, cli.Unavailable('cannot load smsline.send_sms'), cli.ERROR, [])]
        for ports, probed, loaded, status, listed in cases:
            with mock.patch.object(listing, 'probe', side_effect=probed), \
                    mock.patch.object(cli, 'load_send_sms', side_effect=loaded):
                code, out, err = run(['--list', '--json'] + ports, None)
            self.assertEqual(code, status, err)
            self.assertEqual(json.loads(out), {'version': __version__, 'exit_status': status, 'ports': listed})
            self.assertIn('error', err.splitlines()[-1])

    def test_cause_of_not_found_is_used_without_the_watcher(self):
        module = stand_in()

        def send_sms(phone_number, text):     # a walk that makes its modems itself
            try:
                raise PinRequiredError('AT+CPIN?', attemptsLeft=3)
            except PinRequiredError as e:
                raise Exception(cli.NOT_FOUND) from e
        module.send_sms = send_sms
        status, out, err = run(['123', 'hi'], module)
        self.assertEqual(status, cli.SIM)
        self.assertIn('--pin', err)


@unittest.skipUnless(os.path.exists(INSTALLED), 'smsline-send is not installed in .venv')
class InstalledCommandTests(unittest.TestCase):
    """The console script as a user runs it; the simulator plays each kind of trouble."""

    def simulator(self, *behaviours, **options):
        sim = ModemSimulator(behaviours=list(behaviours) or ['healthy'], **options)
        sim.start()
        self.addCleanup(sim.stop)
        return sim

    def command(self, *args, env=None, **streams):
        environment = {name: value for name, value in os.environ.items()
                       if not name.startswith('SMSLINE_') and name != 'PYTHONPATH'}
        environment.update(env or {})   # the installed packages, not the source tree
        options = dict(stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        options.update(streams)
        return subprocess.Popen([INSTALLED] + list(args), env=environment, **options)

    def run_command(self, *args, stdin='', env=None):
        proc = self.command(*args, env=env, universal_newlines=True)
        out, err = proc.communicate(stdin, timeout=60)
        return proc.returncode, out, err

    def on_terminal(self, *args, typed=b''):
        """Runs the command with stdin, stdout and stderr on a terminal: (status, what it showed)."""
        master, slave = pty.openpty()
        proc = self.command(*args, stdin=slave, stdout=slave, stderr=slave)
        os.close(slave)
        os.write(master, typed)
        shown = b''
        while select.select([master], [], [], 60)[0]:
            try:
                chunk = os.read(master, 4096)
            except OSError:     # EIO: the command ended and the terminal closed
                break
            if not chunk:
                break
            shown += chunk
        os.close(master)
        return proc.wait(60), shown

    def test_exit_status_and_reason_of_each_failure(self):
        # (simulator behaviours and options, extra arguments, exit status, words on stderr)
        cases = [((['healthy'], {}), [], 0, 'the modem accepted the message (reference 1)'),
                 ((['slow-registration'], {}), [], 0, 'waiting for the network: searching, 0 s of 30 s'),
                 ((['slow-registration'], {'registration_polls': 10 ** 6}), ['--timeout', '0.5'], 5,
                  'registration timed out after 0.5 s (still searching'),
                 ((['pin'], {}), [], 4, '(3 PIN attempts left): give it with SMSLINE_PIN, --pin-file or --pin'),
                 ((['pin'], {'pin': '4321'}), ['--pin', '1111'], 4,
                  'the SIM refused the PIN (2 PIN attempts left): stop'),
                 ((['pin'], {'pin_attempts': 0}), ['--pin', '1111'], 4, 'needs its PUK'),
                 ((['denied'], {}), [], 5, 'the network denied registration'),
                 ((['no-network'], {}), [], 5, 'not registered and not searching'),
                 ((['cms-error'], {'cms_error': 330}), [], 5,
                  'refused: +CMS ERROR: 330 (SMS centre address unknown)'),
                 ((['silent'], {}), [], 3, 'no answer in 5 s: not a modem')]
        for (behaviours, options), extra, status, words in cases:
            sim = self.simulator(*behaviours, **options)
            code, out, err = self.run_command('--port', sim.port, *extra + ['+15551234567', 'hi'])
            self.assertEqual(code, status, (behaviours, err))
            self.assertIn(words, err, behaviours)
            self.assertEqual(len(sim.messages), 1 if status == 0 else 0)
            if status and 'CMS' not in words:   # the last line names the cause, on the one port tried
                self.assertIn('smsline-send: error: %s: ' % sim.port, err.splitlines()[-1])
                self.assertIn(words, err.splitlines()[-1])

    def test_last_line_names_the_port_that_got_furthest(self):
        missing = '/dev/no-such-tty'
        # (simulator behaviours, last line, exit status)
        cases = [(['pin'], ': the SIM needs a PIN', 4), (['denied'], ': the network denied', 5),
                 (None, 'error: no modem answered on any of the 2 ports tried', 3)]
        for behaviours, words, status in cases:
            port = self.simulator(*behaviours).port if behaviours else missing + '2'
            code, out, err = self.run_command('--port', missing, '--port', port, '123', 'hi')
            self.assertEqual(code, status, err)
            lines = err.splitlines()
            self.assertEqual(lines[0], 'smsline-send: %s: no such device (unplugged?)' % missing)
            self.assertIn(words, lines[-1])
            self.assertNotIn('came up', err)

    def test_port_busy_or_missing(self):
        sim = self.simulator()
        holder = serial.Serial(sim.port, exclusive=True)
        self.addCleanup(holder.close)
        for port, words in ((sim.port, 'in use by another program'),
                            ('/dev/no-such-tty', 'no such device')):
            code, out, err = self.run_command('-q', '--port', port, '123', 'hi')
            self.assertEqual(code, 3)
            self.assertEqual(err.count('\n'), 1, err)
            self.assertIn(words, err)

    def test_usage_errors_open_no_port(self):
        sim = self.simulator()
        for args, words in ((['12a', 'hi'], 'is not a phone number'), (['123', ''], 'the text is empty'),
                            (['--pin', '1234\n', '123', 'hi'], '--pin: a PIN consists of 4 to 8 digits'),
                            (['--pin-file', '/no/such', '123', 'hi'], 'cannot read the PIN file'),
                            (['--pin', '1234', '--pin-file', '-', '123', 'hi'], 'one way'),
                            (['--pin-file', '-', '123', '-'], 'both come from standard input'),
                            (['--timeout', '-1', '123', 'hi'], 'seconds from 0 to 86400'),
                            (['123', u'\u0416' * (255 * 67 + 1)], 'need 256 parts')):
            code, out, err = self.run_command('--port', sim.port, *args)
            self.assertEqual(code, 2, args)
            self.assertIn(words, err)
        code, out, err = self.run_command('--json', '--port', sim.port, '123', 'hi',
                                          env={'SMSLINE_PIN': '12x4'})
        self.assertEqual((code, json.loads(out)['exit_status']), (2, 2))
        self.assertIn('the PIN from SMSLINE_PIN: a PIN consists of', err)
        self.assertNotIn('12x4', out + err)
        self.assertEqual(sim.commands, [])

    def test_each_way_of_giving_the_pin_and_the_port(self):
        with tempfile.NamedTemporaryFile('w', suffix='.pin') as pin_file:
            pin_file.write(' 4321\n')
            pin_file.flush()
            # (environment, arguments, standard input)
            cases = [({'SMSLINE_PIN': '4321'}, [], ''),
                     ({'SMSLINE_PIN': '1111'}, ['--pin-file', pin_file.name], ''),
                     ({}, ['--pin-file', '-'], '4321\n'),
                     ({'SMSLINE_PORT': '/dev/no-such-tty'},
                      ['--pin', '4321', '--port', '/dev/no-such-tty', '--port', 'SIM'], '')]
            for env, args, stdin in cases:
                sim = self.simulator('pin', pin='4321')
                env.setdefault('SMSLINE_PORT', sim.port)
                args = [sim.port if arg == 'SIM' else arg for arg in args]
                code, out, err = self.run_command('-v', *args + ['123', 'hi'], stdin=stdin, env=env)
                self.assertEqual(code, 0, (env, args, err))
                self.assertEqual(sim.commands.count('AT+CPIN="4321"'), 1)
                self.assertEqual([m['text'] for m in sim.messages], ['hi'])
                self.assertNotIn('4321', out + err)

    def test_stdin_quiet_verbose_and_version(self):
        sim = self.simulator('pin', pin='4321')
        code, out, err = self.run_command('-q', '--pin', '4321', '--port', sim.port, '123', '-',
                                          stdin='from\nstdin\n')
        self.assertEqual((code, out, err), (0, '', ''))
        self.assertEqual(sim.messages[-1]['text'], 'from\nstdin')
        sim = self.simulator('pin', pin='4321')
        code, out, err = self.run_command('-v', '--pin', '4321', '--port', sim.port, '123', 'hi')
        self.assertEqual(code, 0)
        self.assertIn('smsline-send: smsline_gsm: %s: <- AT+CPIN="****"' % sim.port, err)
        self.assertIn('-> +CMGS: 1', err)
        self.assertNotIn('4321', err)
        self.assertEqual(self.run_command('--version')[:2], (0, 'smsline-send %s\nsend_sms uses smsline_gsm, '
                                                               "smsline's own (no gsmmodem library is installed)\n"
                                                               % __version__))
        # The installed package declares pyserial, and the environment has its metadata.
        env = dict(os.environ)
        env.pop('PYTHONPATH', None)
        check = subprocess.run([os.path.join(os.path.dirname(INSTALLED), 'pip'), 'check'], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
        self.assertEqual(check.returncode, 0, check.stdout)

    def test_non_ascii_text_without_a_locale(self):
        # Cron jobs and services often run with no locale: CPython 3.6 then
        # reads the arguments and standard input as ASCII.
        env = {name: value for name, value in os.environ.items()
               if not name.startswith(('LC_', 'LANG', 'PYTHON'))}
        env['LC_ALL'] = 'C'
        text = u'Gr\u00fc\u00dfe \u20ac'.encode('utf-8')
        for argument, stdin in ((text, b''), (b'-', text + b'\n')):
            done = subprocess.run([INSTALLED, '--simulate', '123', argument], input=stdin, env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
            self.assertEqual(done.returncode, 0, done.stderr)
            # From 3.7 the C locale is taken as UTF-8 (PEP 538); 3.6 writes escapes.
            shown = text if sys.version_info >= (3, 7) else b'Gr\\xfc\\xdfe \\u20ac'
            self.assertIn(b'text=' + shown + b' ref=1', done.stdout)

    def test_json_is_one_object_whatever_happens(self):
        # (simulator behaviours and options, arguments, what the object says)
        cases = [(['healthy'], [], {'sent': True, 'exit_status': 0, 'parts': 1, 'references': [1],
                                    'delivery': {'status': 'not requested', 'code': None, 'reason': None}}),
                 (['healthy'], ['--report', '5'], {'delivery': {'status': 'delivered', 'code': 0,
                                                                'reason': 'received by the recipient'}}),
                 (['no-report'], ['--report', '0.5'], {'exit_status': 7, 'sent': True,
                                                       'delivery': {'status': 'no report', 'code': None,
                                                                    'reason': None}}),
                 (['pin'], [], {'sent': False, 'exit_status': 4, 'port': None, 'references': []}),
                 (['cms-error'], [], {'sent': False, 'exit_status': 5, 'uncertain': False})]
        for behaviours, args, expected in cases:
            sim = self.simulator(*behaviours)
            code, out, err = self.run_command('--json', '--port', '/dev/no-such-tty', '--port', sim.port,
                                              *args + ['123', 'hi'])
            result = json.loads(out)    # the whole of stdout
            self.assertEqual({key: result[key] for key in expected}, expected, (behaviours, err))
            self.assertEqual(result['exit_status'], code)
            self.assertEqual(result['error'], None if code == 0 else
                             err.splitlines()[-1][len('smsline-send: error: '):])
            self.assertEqual([(p['port'], p['exit_status']) for p in result['ports']],
                             [('/dev/no-such-tty', 3), (sim.port, None if code in (0, 5, 7) else 4)])

    def test_list_shows_what_is_on_each_port(self):
        healthy, locked = self.simulator(), self.simulator('pin')
        healthy.identity['+CGMM'] = None    # a modem that will not say its model
        busy = self.simulator()
        holder = serial.Serial(busy.port, exclusive=True)
        self.addCleanup(holder.close)
        code, out, err = self.run_command('--list', '--port', healthy.port, '--port', locked.port,
                                          '--port', busy.port, '--port', '/dev/no-such-tty',
                                          env={'SMSLINE_PIN': '1234'})
        self.assertEqual(code, 0, err)
        lines = out.splitlines()
        self.assertEqual(lines[:9], [
            '%s: modem' % healthy.port, '    manufacturer: SMSLINE', '    model:        unknown',
            '    revision:     Revision: smsline-sim 1.0', '    IMEI:         352099001761481',
            '    SIM:          ready', '    IMSI:         001010123456789',
            '    operator:     TEST NETWORK', '    signal:       20 of 31 (-73 dBm)'])
        self.assertEqual([lines[9]] + lines[14:17], [
            '%s: modem' % locked.port, '    SIM:          PIN required (3 attempts left)',
            '    IMSI:         unknown', '    operator:     unknown'])
        self.assertEqual([line.split(' (')[0] for line in lines[18:]],
                         ['%s: cannot tell: the port is in use by another program' % busy.port,
                          '/dev/no-such-tty: cannot tell: no such device'])
        self.assertFalse([c for c in locked.commands if c.startswith('AT+CPIN=')])    # no PIN entered
        silent = self.simulator('silent')
        code, out, err = self.run_command('--list', '--json', '--port', silent.port, '-q')
        self.assertEqual((code, err), (3, ''))
        self.assertEqual([(p['port'], p['modem'], p['imei']) for p in json.loads(out)['ports']],
                         [(silent.port, False, None)])

    def test_on_a_terminal(self):
        sim = self.simulator()
        code, shown = self.on_terminal('-v', '--port', sim.port, '123', '-', typed=b'typed\n\x04')
        self.assertEqual(code, 0, shown)
        self.assertIn(b'type the message, then press Ctrl-D', shown)
        self.assertEqual([m['text'] for m in sim.messages], ['typed'])
        # The ESC sent to the modem is written out; the only escape sequences
        # are the status line's own, which is ended before each log line.
        self.assertIn(b': <- \\x1b\r\n', shown)
        self.assertEqual(re.findall(b'\x1b[^[]|\x1b\\[[^K]', shown), [])
        self.assertIn(b'\x1b[K', shown)
        for log_line in re.finditer(b'smsline-send: smsline_gsm:', shown):
            before = shown[:log_line.start()]
            self.assertTrue(before.endswith((b'\r\n', b'\r\x1b[K')), before[-80:])

    def test_an_extension_that_cannot_load_says_what_to_do(self):
        with tempfile.TemporaryDirectory() as folder:
            open(os.path.join(folder, 'smsline' + support.EXT_SUFFIX), 'w').close()
            code, out, err = self.run_command('123', 'hi', env={'PYTHONPATH': folder})
        self.assertEqual(code, 1)
        self.assertRegex(err, r'^smsline-send: error: cannot load smsline.send_sms \(.*\): '
                              r'\S+ is for this interpreter but does not load: reinstall smsline\n$')

    def test_uninstall_would_remove_every_file_installed(self):
        env = {name: value for name, value in os.environ.items() if name != 'PYTHONPATH'}
        shown = subprocess.run([os.path.join(VENV, 'bin', 'pip'), 'show', '-f', 'smsline'], env=env,
                               stdout=subprocess.PIPE, universal_newlines=True).stdout
        location = re.search(r'^Location: (.*)$', shown, re.M).group(1)
        recorded = set(line.strip() for line in shown.split('Files:', 1)[1].splitlines())
        packages = set(path.split('/')[0] for path in recorded if '/' in path and
                       not path.startswith('..') and not path.split('/')[0].endswith('-info'))
        self.assertIn('smsline_tools', packages)
        for package in packages:
            for folder, dirs, files in os.walk(os.path.join(location, package)):
                dirs[:] = [d for d in dirs if d != '__pycache__']
                for name in files:
                    path = os.path.relpath(os.path.join(folder, name), location)
                    self.assertIn(path, recorded)

    def test_ctrl_c_closes_the_modem_and_exits_130(self):
        sim = self.simulator('silent')
        proc = self.command('--port', sim.port, '123', 'hi', universal_newlines=True)
        deadline = time.monotonic() + 10
        while not sim.bytes_received and time.monotonic() < deadline:     # connect() began
            time.sleep(0.05)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
        self.assertEqual(proc.returncode, 130)
        self.assertEqual(err.splitlines()[-1],
                         'smsline-send: error: interrupted; closed the modem on %s' % sim.port)
        self.assertNotIn('Traceback', err)


if __name__ == '__main__':
    unittest.main()
