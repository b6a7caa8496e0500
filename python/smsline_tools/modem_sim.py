"""A GSM modem simulator on a pseudo-terminal.

It answers AT commands the way a modem does (echo until ATE0, replies framed
CR LF ... CR LF, OK / ERROR / +CME ERROR / +CMS ERROR, the "> " prompt of
AT+CMGS) and records every message it accepts.  Behaviours pick the trouble
it makes: a SIM PIN (with an attempts counter that ends in PUK, told by
AT+CPINR), no network, errors on send, echo that stays on, lines sent on
its own, silence, a modem left waiting for message text...

In-process use::

    with ModemSimulator(behaviours=['pin'], pin='1234') as sim:
        modem = GsmModem(sim.port); ...
        sim.messages    # [{'number': ..., 'text': ..., 'reference': ...}]

As a program, ``python -m smsline_tools.modem_sim`` prints ``PORT <device>``
first, then ``MESSAGE <json>`` for each accepted message, and runs until it
is killed, its stdin pipe closes, or --exit-after-messages is reached.
"""
import argparse
import binascii
import errno
import fcntl
import json
import os
import random
import re
import select
import signal
import stat
import sys
import threading
import time
import tty

from smsline_gsm import pdu
from smsline_gsm.exceptions import EncodingError
from smsline_gsm.pdu import GSM_BASIC, SINGLE_SEPTETS as GSM_LIMIT, SINGLE_UNITS as UCS2_LIMIT, gsm_septets

BEHAVIOURS = ('healthy', 'pin', 'no-network', 'denied', 'slow-registration',
              'roaming', 'cms-error', 'echo', 'unsolicited', 'silent',
              'slow-start', 'busy', 'no-report', 'report-cdsi', 'stuck-prompt',
              'no-cpinr', 'pdu-only', 'text-only') + \
    ('garbage', 'noise', 'truncated', 'hangup')    # line faults, see _spoiled()
_LINE_FAULTS = frozenset(['garbage', 'noise', 'truncated', 'hangup'])

_UNSOLICITED = ('RING', '+CREG: 1', '+CDSI: "SM",99')
_COMMAND = re.compile(r'^AT(\+[A-Z]+)(=\?|\?|=)?(.*)$', re.IGNORECASE)


def _framed(lines):
    """Lines as a modem sends them: each framed CR LF ... CR LF."""
    return b''.join(b'\r\n' + line.encode('latin-1') + b'\r\n' for line in lines)


def _args(text):
    """Parameters of a set command, quotes removed."""
    return [a.strip().strip('"') for a in text.split(',')] if text else []


class ModemSimulator(object):
    """Serves one pseudo-terminal from a background thread.

    behaviours: names from BEHAVIOURS; pin: the PIN that unlocks the SIM
    ('pin'); pin_attempts: wrong PINs the SIM takes before it wants its PUK
    (puk, which also sets a new PIN: AT+CPIN="<puk>","<new pin>");
    'no-cpinr': the modem does not tell the attempts left (AT+CPINR);
    'stuck-prompt': the modem starts waiting for the text of a message that
    a client began (ESC discards it, Ctrl-Z would send it);
    record: path of a JSON-lines file of accepted messages, opened (and so
    checked) by start();
    cms_error: code answered to sends ('cms-error'); registration_polls:
    AT+CREG? polls answered "searching" ('slow-registration'); deaf_commands:
    commands ignored after start ('slow-start'); report_status: TP-ST of
    the status reports sent for messages that ask for one (a report per
    part; 'no-report': none; 'report-cdsi': stored and announced by +CDSI
    rather than sent as +CDS);
    'pdu-only', 'text-only': the one message format the modem has (both
    by default; PDU-mode sends are decoded in full, the AT+CMGS length is
    checked and the parts of a concatenated message are recorded as one
    message with its part count); exit_after_messages: stop serving after that many;
    noise_seed: seeds the random choices of the line faults ('garbage',
    'noise', 'truncated'; 'hangup' closes the port after the first reply).
    """

    def __init__(self, behaviours=('healthy',), pin='1234', record=None,
                 cms_error=500, registration_polls=3, rssi=20, deaf_commands=2,
                 report_status=0, exit_after_messages=None, on_message=None, noise_seed=0,
                 pin_attempts=3, puk='12345678'):
        if isinstance(behaviours, str):
            behaviours = [behaviours]
        unknown = set(behaviours) - set(BEHAVIOURS)
        if unknown:
            raise ValueError('unknown behaviour(s): %s (known: %s)'
                             % (', '.join(sorted(unknown)), ', '.join(BEHAVIOURS)))
        self.behaviours = frozenset(behaviours)
        self.pin = str(pin)
        self.puk = str(puk)
        self.record = record
        self._record_file = None
        self.record_errors = []     # failed writes of the record file
        self.cms_error = cms_error
        self.rssi = rssi
        self.report_status = report_status
        self.exit_after_messages = exit_after_messages
        self.on_message = on_message
        self.messages = []
        self.commands = []      # every command line received, in order
        self.discarded = []     # message texts abandoned with ESC
        self.bytes_received = 0
        self.port = None
        self.finished = threading.Event()
        self._registration_polls = registration_polls
        self._deaf = deaf_commands if 'slow-start' in self.behaviours else 0
        self._sim_locked = 'pin' in self.behaviours
        self._pin_attempts = pin_attempts
        self._puk_attempts = 10
        self._busy_left = {'+CPIN': 1, '+CMGS': 1} if 'busy' in self.behaviours else {}
        self._next_ref = 1
        self._stored = {}       # index -> the reply lines of AT+CMGR for a stored status report
        self._parts = pdu.Reassembler()     # parts of concatenated messages still coming
        self._part_references = {}          # (number, concat reference) -> [+CMGS references]
        self.parts_before_error = 0     # 'cms-error' in PDU mode: parts accepted before the errors
        self._urc_turn = 0
        self._timers = []       # (due time, bytes) to write later
        self._timers_lock = threading.Lock()    # send_status_report adds timers from other threads
        self._thread = None
        self._master = self._slave = None
        self._noise = random.Random(noise_seed)     # line faults
        self._hangup_due = False
        self.identity = dict(self.IDENTITY)
        self.operator = self.OPERATOR
        self._reset()
        if 'stuck-prompt' in self.behaviours:
            # What a client that died in the middle of a send leaves behind.
            self.cmgf, self.cscs = 1, 'GSM'
            self._number = '+15550000'
            self._text = bytearray(b'half-typed message ')

    def _reset(self):
        self.echo = True
        self.cmee = 0
        self.cmgf = 1 if 'text-only' in self.behaviours else 0
        self.cscs = 'IRA'
        self.csmp = [17, 167, 0, 0]
        self.cnmi_ds = 0
        self._line = bytearray()
        self._text = None       # bytes typed after the "> " prompt
        self._number = None
        self._pdu_length = None     # the <length> of AT+CMGS in PDU mode

    # ---- lifetime -------------------------------------------------------

    def start(self):
        """Open the pseudo-terminal, start serving it; return the device path."""
        if self._thread is not None:
            return self.port
        if self.record and self._record_file is None:
            # Opened now, so that a path that cannot be written fails here.
            self._record_file = open(self.record, 'a', encoding='utf-8')
        self._master, self._slave = os.openpty()
        # The simulator keeps its own slave fd open for its whole life: when a
        # client closes the port the pty is not hung up, and the next client
        # (or a probe that opens and closes the port) finds it working.
        tty.setraw(self._slave)
        flags = fcntl.fcntl(self._master, fcntl.F_GETFL)
        fcntl.fcntl(self._master, fcntl.F_SETFL, flags | os.O_NONBLOCK)
        self.port = os.ttyname(self._slave)
        self._wake_r, self._wake_w = os.pipe()
        self._stopping = False
        self._thread = threading.Thread(target=self._serve, name='modem-sim')
        self._thread.daemon = True
        self._thread.start()
        return self.port

    def stop(self):
        """Stop serving and close the pseudo-terminal (safe to call twice)."""
        if self._thread is None:
            return
        self._stopping = True
        os.write(self._wake_w, b'x')
        self._thread.join(5)
        self._thread = None
        for fd in (self._master, self._slave, self._wake_r, self._wake_w):
            if fd is None:      # already closed by a hang-up
                continue
            try:
                os.close(fd)
            except OSError:
                pass
        if self._record_file is not None:
            self._record_file.close()
            self._record_file = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def _serve(self):
        try:
            while not self._stopping:
                now = time.monotonic()
                wait = min([due - now for due, _ in self._timers] + [0.5])
                readable = select.select([self._master, self._wake_r], [], [], max(0, wait))[0]
                self._run_timers()
                if self._wake_r in readable:
                    break
                if self._master in readable:
                    try:
                        data = os.read(self._master, 4096)
                    except OSError as e:
                        if e.errno not in (errno.EIO, errno.EAGAIN):
                            raise
                        time.sleep(0.05)    # no slave side at the moment
                        continue
                    self._feed(data)
                    if self._hangup_due:
                        self._hang_up()
                        break
                if (self.exit_after_messages is not None and not self._timers
                        and len(self.messages) >= self.exit_after_messages):
                    break
        finally:
            self.finished.set()

    def _run_timers(self):
        now = time.monotonic()
        with self._timers_lock:
            due = [t for t in self._timers if t[0] <= now]
            self._timers = [t for t in self._timers if t[0] > now]
        for _, data in due:
            self._write(data)

    def _write(self, data):
        # Nobody may be reading the slave side: never block on a full buffer.
        while data:
            try:
                data = data[os.write(self._master, data):]
            except OSError as e:
                if e.errno not in (errno.EAGAIN, errno.EIO):
                    raise
                if not select.select([], [self._master], [], 0.2)[1]:
                    return

    def _send(self, lines=(), final=None):
        if self.behaviours & _LINE_FAULTS:
            return self._write(self._spoiled(lines, final))
        out = _framed(list(lines) + ([] if final is None else [final]))
        if 'unsolicited' in self.behaviours:
            out = _framed([_UNSOLICITED[self._urc_turn % len(_UNSOLICITED)]]) + out
            self._urc_turn += 1
        self._write(out)

    # ---- line faults (garbage, noise, truncated, hangup) ----------------
    # Replies as a broken modem or cable delivers them, for robustness tests
    # of the modem library; random choices come from noise_seed.

    _GARBAGE_VALUES = ('', '??', '\x00', '\xff\xfe\x80', ',,,,', '"unterminated', '-1,-1',
                       '99999999999999999999999', ' , ', 'ERROR', '\x00,\x00')

    def _noise_bytes(self):
        return bytes(self._noise.randrange(256) for _ in range(self._noise.randrange(1, 24)))

    def _spoiled(self, lines, final):
        """The bytes sent instead of a well-formed reply."""
        if 'garbage' in self.behaviours:
            # Information lines keep their prefix, but one in two gets a value
            # that makes no sense; a line of binary noise comes first.
            lines = [line.split(':', 1)[0] + ': ' + self._noise.choice(self._GARBAGE_VALUES)
                     if ':' in line and self._noise.random() < 0.5 else line for line in lines]
        out = _framed(list(lines) + ([] if final is None else [final]))
        if 'garbage' in self.behaviours:
            out = b'\r\n' + self._noise_bytes().replace(b'\n', b'') + b'\r\n' + out
        if 'noise' in self.behaviours:
            out = self._noise_bytes() + out
        if 'truncated' in self.behaviours and out and self._noise.random() < 0.5:
            out = out[:self._noise.randrange(len(out))]
        if 'hangup' in self.behaviours:
            self._hangup_due = True
        return out

    def _hang_up(self):
        """Close both sides of the pseudo-terminal, as when the modem is pulled out."""
        for fd in (self._master, self._slave):
            try:
                os.close(fd)
            except OSError:
                pass
        self._master = self._slave = None

    # ---- input ----------------------------------------------------------

    def _feed(self, data):
        self.bytes_received += len(data)
        if 'silent' in self.behaviours:
            return
        for byte in bytearray(data):
            if self._text is not None:
                self._feed_text(byte)
            elif byte == 0x0D:
                line, self._line = bytes(self._line), bytearray()
                self._on_line(line)
            elif byte == 0x1B:
                self._line = bytearray()    # ESC cancels the command line being typed
            elif byte != 0x0A:
                self._line.append(byte)

    def _feed_text(self, byte):
        if byte == 0x1A:
            text, self._text = bytes(self._text), None
            self._finish_message(text)
        elif byte == 0x1B:
            self.discarded.append(bytes(self._text).decode('latin-1'))
            self._text = None
            self._send(final='OK')
        elif byte == 0x08:
            del self._text[-1:]
        else:
            self._text.append(byte)
            if self.echo:
                # A line break in the text is echoed with a new prompt.
                self._write(b'\r\n> ' if byte == 0x0D else bytes([byte]))

    def _on_line(self, raw):
        text = raw.decode('latin-1').strip()
        if not text:
            return
        self.commands.append(text)
        if self._deaf > 0:
            self._deaf -= 1
            return
        if self.echo:
            self._write(raw + b'\r')
        if text[:2].upper() != 'AT':
            return
        reply = self._dispatch(text)
        if reply is not None:
            self._send(*reply)

    def _cme(self, code):
        return [], ('+CME ERROR: %d' % code if self.cmee else 'ERROR')

    def _busy(self, name):
        if self._busy_left.get(name):
            self._busy_left[name] -= 1
            return True
        return False

    # ---- commands -------------------------------------------------------

    def _dispatch(self, text):
        """Answer one command: (lines, final), or None when the answer comes later."""
        upper = text.upper()
        if upper == 'AT':
            return [], 'OK'
        if upper in ('ATZ', 'ATZ0'):
            self._reset()
            return [], 'OK'
        if upper in ('ATE', 'ATE0', 'ATE1'):
            self.echo = upper == 'ATE1' or 'echo' in self.behaviours
            return [], 'OK'
        match = _COMMAND.match(text)
        handler = match and getattr(self, '_at_' + match.group(1)[1:].lower(), None)
        if handler is None:
            return [], 'ERROR'
        name, form, arg = match.group(1).upper(), match.group(2) or '', match.group(3)
        if form == '=?':
            if name == '+CMGF':
                return ['+CMGF: (%s)' % ','.join(str(m) for m in self._formats())], 'OK'
            return [], 'OK'
        try:
            return handler(name, form, arg)
        except (ValueError, IndexError):
            return self._cme(4)

    def _at_cmee(self, name, form, arg):
        if form == '?':
            return ['+CMEE: %d' % self.cmee], 'OK'
        self.cmee = int(arg or 0)
        return [], 'OK'

    def _at_cpin(self, name, form, arg):
        if self._busy('+CPIN'):
            return self._cme(14)
        if form == '?':
            state = ('SIM PUK' if self._pin_attempts == 0 else
                     'SIM PIN' if self._sim_locked else 'READY')
            return ['+CPIN: %s' % state], 'OK'
        if self._pin_attempts == 0:
            values = _args(arg)
            if len(values) != 2 or self._puk_attempts == 0:
                return self._cme(12)
            if values[0] != self.puk:
                self._puk_attempts -= 1
                return self._cme(16)
            self.pin, self._pin_attempts, self._puk_attempts = values[1], 3, 10
            self._sim_locked = False
            return [], 'OK'
        if not self._sim_locked:
            return self._cme(3)
        if _args(arg)[0] == self.pin:
            self._sim_locked = False
            return [], 'OK'
        self._pin_attempts -= 1
        return self._cme(16)

    def _at_cpinr(self, name, form, arg):
        if 'no-cpinr' in self.behaviours:
            return self._cme(4)
        lines = ['+CPINR: SIM PIN,%d,3' % self._pin_attempts,
                 '+CPINR: SIM PUK,%d,10' % self._puk_attempts]
        wanted = _args(arg)[0].upper() if arg else None
        return [line for line in lines if wanted is None or wanted in line], 'OK'

    def _at_cmgf(self, name, form, arg):
        if form == '?':
            return ['+CMGF: %d' % self.cmgf], 'OK'
        if arg not in ('0', '1'):
            return self._cme(4)
        if int(arg) not in self._formats():
            return [], '+CMS ERROR: 303'    # operation not supported
        self.cmgf = int(arg)
        return [], 'OK'

    def _at_cscs(self, name, form, arg):
        if form == '?':
            return ['+CSCS: "%s"' % self.cscs], 'OK'
        charset = _args(arg)[0].upper()
        if charset not in ('GSM', 'UCS2', 'IRA'):
            return self._cme(4)
        self.cscs = charset
        return [], 'OK'

    def _at_csmp(self, name, form, arg):
        if form == '?':
            return ['+CSMP: %d,%d,%d,%d' % tuple(self.csmp)], 'OK'
        for i, value in enumerate(_args(arg)[:4]):
            if value:
                self.csmp[i] = int(value)
        return [], 'OK'

    def _at_cnmi(self, name, form, arg):
        values = _args(arg)
        ds = int(values[3]) if len(values) > 3 and values[3] else 0
        if ds == 1 and 'report-cdsi' in self.behaviours:
            return self._cme(3)     # this modem only stores status reports
        self.cnmi_ds = ds
        return [], 'OK'

    def _at_creg(self, name, form, arg):
        if form != '?':
            return [], 'OK'
        state = self._network_state()
        if state == 2:
            self._registration_polls -= 1   # 'slow-registration': one poll fewer to go
        return ['+CREG: 0,%d' % state], 'OK'

    def _network_state(self):
        """The +CREG stat now: 0 not searching, 1 home, 2 searching, 3 denied, 5 roaming."""
        if self._sim_locked or 'no-network' in self.behaviours:
            return 0
        if 'denied' in self.behaviours:
            return 3
        if 'slow-registration' in self.behaviours and self._registration_polls > 0:
            return 2
        return 5 if 'roaming' in self.behaviours else 1

    def _at_csq(self, name, form, arg):
        rssi = 99 if {'no-network', 'denied'} & self.behaviours else self.rssi
        return ['+CSQ: %d,99' % rssi], 'OK'

    # ---- identification -------------------------------------------------
    # As a real modem answers them: the bare value on an information line,
    # then OK.  ``identity`` (a copy per simulator) may be changed: None makes
    # the modem refuse the command (ERROR); a leading blank or a trailing CR
    # (sent as CR CR LF) play what some modems do.

    IDENTITY = {'+CGMI': 'SMSLINE',                         # manufacturer
                '+CGMM': 'SIMULATED GSM MODEM',             # model
                '+CGMR': 'Revision: smsline-sim 1.0',       # firmware revision
                '+CGSN': '352099001761481',                 # IMEI (check digit valid)
                '+CIMI': '001010123456789'}                 # IMSI: test network 001/01
    OPERATOR = 'TEST NETWORK'

    def _identify(self, name, form, arg):
        answer = self.identity.get(name)
        if form or answer is None:
            return [], 'ERROR'
        if name == '+CIMI' and (self._sim_locked or self._pin_attempts == 0):
            return self._cme(12 if self._pin_attempts == 0 else 11)     # the IMSI is on the SIM
        return [answer], 'OK'

    _at_cgmi = _at_cgmm = _at_cgmr = _at_cgsn = _at_cimi = _identify

    def _at_cops(self, name, form, arg):
        if form != '?':
            return [], 'OK'     # AT+COPS=0: automatic selection, as it is
        if self._network_state() in (1, 5) and self.operator is not None:
            return ['+COPS: 0,0,"%s"' % self.operator], 'OK'
        return ['+COPS: 0'], 'OK'

    def _at_cmgs(self, name, form, arg):
        if self.cmgf == 0:
            return self._at_cmgs_pdu(arg)
        match = re.match(r'^"([^"]*)"(?:,(\d+))?$', arg)
        if self.cmgf != 1 or not match:
            return [], '+CMS ERROR: 304'
        if self._sim_locked:
            return [], '+CMS ERROR: 311'
        if self._busy('+CMGS'):
            return [], '+CMS ERROR: 515'
        number = match.group(1)
        if self.cscs == 'UCS2':
            number = self._decode_ucs2(number.encode('ascii'))
        if number is None or not re.match(r'^\+?[0-9*#]+$', number):
            return [], '+CMS ERROR: 304'
        self._number = number
        self._text = bytearray()
        self._write(b'\r\n> ')
        return None

    def _at_cmgr(self, name, form, arg):
        lines = self._stored.get(int(arg))
        if lines is None:
            return [], '+CMS ERROR: 321'
        return lines, 'OK'

    def _at_cmgd(self, name, form, arg):
        self._stored.pop(int(_args(arg)[0]), None)
        return [], 'OK'

    # ---- messages -------------------------------------------------------

    @staticmethod
    def _decode_ucs2(data):
        try:
            return binascii.unhexlify(data).decode('utf-16-be')
        except (ValueError, binascii.Error, UnicodeDecodeError):
            return None

    def _finish_message(self, body):
        if self.cmgf == 0:      # hex, whatever the character set of text mode
            return self._finish_pdu(body.decode('latin-1'))
        if self.cscs == 'UCS2':
            text = self._decode_ucs2(body)
        elif self.cscs == 'GSM':
            text = u''.join(GSM_BASIC[b] for b in bytearray(body) if b < 0x80 and b != 0x1B)
            text = text if len(text) == len(body) else None
        else:
            text = body.decode('latin-1')
        dcs = self.csmp[3]
        if text is None:
            return self._send(final='+CMS ERROR: 305')
        if dcs & 0x0C == 0x08:
            fits = len(text.encode('utf-16-be')) // 2 <= UCS2_LIMIT
        else:
            septets = gsm_septets(text)
            fits = septets is not None and septets <= GSM_LIMIT
        if not fits:
            return self._send(final='+CMS ERROR: 305')
        if 'cms-error' in self.behaviours:
            return self._send(final='+CMS ERROR: %d' % self.cms_error)
        reference = self._next_ref
        self._next_ref = reference % 255 + 1
        message = {'number': self._number, 'text': text, 'reference': reference,
                   'charset': self.cscs, 'dcs': dcs, 'mode': 'text', 'parts': 1,
                   'references': [reference]}
        self._accept(message)
        self._send(['+CMGS: %d' % reference], 'OK')
        if self.csmp[0] & 0x20:
            self._report(reference, self._number)

    def _accept(self, message):
        self.messages.append(message)
        if self._record_file is not None:
            try:
                self._record_file.write(json.dumps(message, ensure_ascii=False) + '\n')
                self._record_file.flush()
            except OSError as e:    # a full disk: told, and the modem goes on
                self.record_errors.append(e)
                print('modem_sim: cannot record message: %s' % e, file=sys.stderr)
        if self.on_message is not None:
            self.on_message(message)

    def send_status_report(self, reference, number):
        """Hand over a status report for ``reference`` now, as the network
        does for a message sent earlier (any thread; as AT+CNMI asked)."""
        self._report(reference, number, always=True)

    def _report(self, reference, number, always=False):
        """Send (or store and announce) the status report for one message or part."""
        if ('no-report' in self.behaviours and not always) or not self.cnmi_ds:
            return
        if self.cmgf == 0:
            report, length = pdu.encode_status_report(reference, number, self.report_status)
            direct = ['+CDS: %d' % length, report]
            stored = ['+CMGR: 0,,%d' % length, report]
        else:
            fields = pdu.status_report_text(reference, number, self.report_status)
            direct = ['+CDS: ' + fields]
            stored = ['+CMGR: "REC UNREAD",' + fields]
        if self.cnmi_ds == 2:
            index = len(self._stored) + 1
            while index in self._stored:
                index += 1
            self._stored[index] = stored
            direct = ['+CDSI: "SM",%d' % index]
        out = _framed(direct)
        with self._timers_lock:
            self._timers.append((time.monotonic() + 0.02, out))

    # ---- PDU mode -------------------------------------------------------

    def _formats(self):
        """The message formats of AT+CMGF this modem has: 0 PDU, 1 text."""
        if 'pdu-only' in self.behaviours:
            return (0,)
        if 'text-only' in self.behaviours:
            return (1,)
        return (0, 1)

    def _at_cmgs_pdu(self, arg):
        # AT+CMGS=<length>: the TPDU's octets, the SMSC part not counted.
        if not re.match(r'^\d{1,3}$', arg) or not 7 <= int(arg) <= 164:
            return [], '+CMS ERROR: 304'
        if self._sim_locked:
            return [], '+CMS ERROR: 311'
        if self._busy('+CMGS'):
            return [], '+CMS ERROR: 515'
        self._pdu_length = int(arg)
        self._text = bytearray()
        self._write(b'\r\n> ')
        return None

    def _finish_pdu(self, text):
        """One SMS-SUBMIT in hex has come after the prompt: check it, accept it as a part."""
        length, self._pdu_length = self._pdu_length, None
        try:
            submit = pdu.decode_submit(text.strip())
        except EncodingError:
            return self._send(final='+CMS ERROR: 304')     # invalid PDU mode parameter
        if submit.tpdu_length != length:
            return self._send(final='+CMS ERROR: 304')
        if 'cms-error' in self.behaviours:
            if self.parts_before_error <= 0:
                return self._send(final='+CMS ERROR: %d' % self.cms_error)
            self.parts_before_error -= 1
        reference = self._next_ref
        self._next_ref = reference % 255 + 1
        key = (submit.number, submit.concat.reference if submit.concat else None)
        self._part_references.setdefault(key, []).append(reference)
        try:
            whole = self._parts.add(submit)
        except EncodingError:
            self._part_references.pop(key, None)
            return self._send(final='+CMS ERROR: 304')
        if whole is not None:
            text, parts = whole
            references = self._part_references.pop(key)
            self._accept({'number': submit.number, 'text': text, 'reference': references[0],
                          'charset': None, 'dcs': submit.dcs, 'mode': 'pdu', 'parts': parts,
                          'references': references, 'concat_reference': key[1]})
        self._send(['+CMGS: %d' % reference], 'OK')
        if submit.status_report_requested:
            self._report(reference, submit.number)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog='python -m smsline_tools.modem_sim',
        description='Simulate a GSM modem on a pseudo-terminal.')
    parser.add_argument('--behaviour', action='append', choices=BEHAVIOURS,
                        help='trouble to make (repeatable; default healthy)')
    parser.add_argument('--pin', default='1234', help='PIN that unlocks the SIM')
    parser.add_argument('--pin-attempts', type=int, default=3,
                        help='wrong PINs before the SIM wants its PUK (default 3)')
    parser.add_argument('--puk', default='12345678', help='PUK that unblocks the SIM')
    parser.add_argument('--record', metavar='PATH', help='append accepted messages as JSON lines')
    parser.add_argument('--cms-error', type=int, default=500, help='code for cms-error')
    parser.add_argument('--registration-polls', type=int, default=3,
                        help='AT+CREG? polls answered "searching" (slow-registration)')
    parser.add_argument('--rssi', type=int, default=20)
    parser.add_argument('--report-status', type=int, default=0, help='<st> of status reports')
    parser.add_argument('--exit-after-messages', type=int, metavar='N')
    args = parser.parse_args(argv)

    def announce(message):
        print('MESSAGE ' + json.dumps(message))
        sys.stdout.flush()

    done = threading.Event()
    sim = ModemSimulator(behaviours=args.behaviour or ['healthy'], pin=args.pin,
                         record=args.record, cms_error=args.cms_error,
                         registration_polls=args.registration_polls, rssi=args.rssi,
                         report_status=args.report_status,
                         exit_after_messages=args.exit_after_messages, on_message=announce,
                         pin_attempts=args.pin_attempts, puk=args.puk)
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, lambda *_: done.set())
    try:
        port = sim.start()
    except OSError as e:
        print('modem_sim: cannot start: %s' % e, file=sys.stderr)
        return 1
    print('PORT %s' % port)
    sys.stdout.flush()
    # Only a pipe on stdin is a parent's handle on us: /dev/null or a
    # terminal must not end the simulator.
    try:
        mode = os.fstat(0).st_mode
    except OSError:     # no stdin at all
        mode = 0
    if stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode):
        def watch_stdin():
            while os.read(0, 4096):
                pass
            done.set()
        threading.Thread(target=watch_stdin, daemon=True).start()
    while not done.is_set() and not sim.finished.is_set():
        done.wait(0.2)
    sim.stop()
    return 0


if __name__ == '__main__':
    sys.exit(main())
