"""A GSM modem simulator on a pseudo-terminal.

It answers AT commands the way a modem does (echo until ATE0, replies framed
CR LF ... CR LF, OK / ERROR / +CME ERROR / +CMS ERROR, the "> " prompt of
AT+CMGS, the information lines of read and test commands) and records every
message it accepts.  Behaviours pick the trouble it makes: a SIM PIN (with
an attempts counter that ends in PUK, told by AT+CPINR), no network, errors
on send, echo that stays on, lines sent on its own, silence, a modem left
waiting for message text...  Profiles (PROFILES, ``--profile``) play what
real modems were recorded doing: PIN locks that refuse commands, answers
without a final result, busy answers, late prompts, a port that vanishes.

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
    ('lock-all', 'lock-few', 'cpin-no-ok', 'crcrlf', 'busy-515', 'sim-busy',
     'not-support', 'late-prompt', 'urc-after-prompt', 'vanish', 'chaos') + \
    ('garbage', 'noise', 'truncated', 'hangup')    # line faults, see _spoiled()
_LINE_FAULTS = frozenset(['garbage', 'noise', 'truncated', 'hangup'])

# Recorded modem behaviours: profile -> (behaviours, what it plays).
PROFILES = {
    'pin-lock-all': (('pin', 'lock-all'), 'while the SIM is locked, +CME ERROR: 11 to every command '
                     'but AT+CPIN (ATZ and ATE0 too) (Qualcomm M6280, ZTE K3565-Z)'),
    'pin-lock-few': (('pin', 'lock-few'), 'while the SIM is locked, only ATZ, ATE0, AT+CFUN and '
                     'AT+CMEE=1 besides AT+CPIN (Huawei K3715 and E1752, Nokia N79)'),
    'cpin-no-ok': (('pin', 'cpin-no-ok', 'crcrlf'), 'AT+CPIN? answered by its +CPIN: line and no '
                   'final OK; lines end in CR CR LF (older Wavecom)'),
    'busy-after-reset': (('busy-515',), '+CME ERROR: 515 (still initialising) to the first '
                         'commands after a reset or AT+CFUN=1'),
    'sim-busy-after-pin': (('pin', 'sim-busy'), '+CME ERROR: 14 (SIM busy) to the first SIM '
                           'commands after the PIN'),
    'command-not-support': (('not-support',), 'COMMAND NOT SUPPORT instead of ERROR, for AT+CMGF=?, '
                            'AT+CPINR and reports routed to the terminal among others (Huawei)'),
    'late-prompt': (('late-prompt',), 'the "> " prompt of every other AT+CMGS comes late '
                    '(--prompt-delay), after a client\'s usual time-out'),
    'urc-after-prompt': (('echo', 'urc-after-prompt'), 'echo on, and an unsolicited line (RING, '
                         '+CMTI:, +CREG:) between each prompt and the echo of the text'),
    'vanish-mid-send': (('vanish',), 'the port goes away (a USB reset) at the AT+CMGS after the '
                        'second part it accepted'),
}

_UNSOLICITED = ('RING', '+CREG: 1', '+CDSI: "SM",99')
_AFTER_PROMPT = ('RING', '+CMTI: "SM",3', '+CREG: 1', '^RSSI: 17')
# Commands a locked SIM still lets through with 'lock-few' (AT+CPIN aside).
_LOCK_FEW_ALLOWED = frozenset(['AT', 'ATZ', 'ATE0', 'ATE1', 'AT+CFUN?', 'AT+CFUN=1', 'AT+CMEE=1'])
# Commands that need the SIM: 'sim-busy' refuses them for a while after the PIN.
_SIM_COMMANDS = ('AT+CPIN?', 'AT+CSCA', 'AT+CMGF', 'AT+CPMS', 'AT+CMGS', 'AT+CIMI')
# What the test commands (AT+X=?) answer: the values each parameter takes.
_TEST_ANSWERS = {
    '+CSCS': '+CSCS: ("GSM","IRA","UCS2")',
    '+CPMS': '+CPMS: ("SM","ME"),("SM","ME"),("SM","ME")',
    '+CNMI': '+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)',
    '+CMEE': '+CMEE: (0-2)',
    '+CREG': '+CREG: (0-2)',
    '+CSQ': '+CSQ: (0-31,99),(0-7,99)',
    '+CFUN': '+CFUN: (0,1,4),(0,1)',
    '+CPINR': '+CPINR: ("SIM PIN","SIM PUK")',
    '+CSMP': '+CSMP: (0-255),(0-255),(0-255),(0-255)',
    '+CMGD': '+CMGD: (1-30),(0-4)',
}
_COMMAND = re.compile(r'^AT(\+[A-Z]+)(=\?|\?|=)?(.*)$', re.IGNORECASE)


def _framed(lines):
    """Lines as a modem sends them: each framed CR LF ... CR LF."""
    return b''.join(b'\r\n' + line.encode('latin-1') + b'\r\n' for line in lines)


def _args(text):
    """Parameters of a set command, quotes removed."""
    return [a.strip().strip('"') for a in text.split(',')] if text else []


class Chaos(object):
    """Random trouble from one seed, for session tests of a client.

    Each chance comes with probability ``rate``: a line of noise or an
    unsolicited line before an answer, an unsolicited line between the
    lines of an answer, right after a prompt or at a random moment while no
    text is being typed, echo turned over as a command line comes in, a
    part refused (+CMS ERROR), and a prompt or an answer that comes late:
    somewhat before or after the client's time-out (``command_timeout``
    for prompts and answers to commands, ``send_timeout`` for the answer to
    a message's text).
    """

    URCS = ('RING', '+CMTI: "SM",7', '+CREG: 1', '+CREG: 5,"00C3","0001A2B3"', '^RSSI: 14',
            '^BOOT:20000000,0,0,0,72', '+CDSI: "SM",99', '+CBM: 1,50,0,1,1')
    # Noise bytes: anything but line ends and the prompt's ">".
    _NOISE = bytes(bytearray(b for b in range(256) if b not in (0x0A, 0x0D, 0x3E)))

    def __init__(self, seed, rate=0.08, command_timeout=0.3, send_timeout=0.5):
        self.random = random.Random(seed)
        # Lines at random moments come from a sequence of their own: how many
        # moments there are depends on timing, and must not shift the rest.
        self._idle = random.Random(-1 - seed)
        self.rate = rate
        self.command_timeout = command_timeout
        self.send_timeout = send_timeout

    def _chance(self, scale=1.0):
        return self.random.random() < self.rate * scale

    def _urc(self, source=None):
        line = (source or self.random).choice(self.URCS)
        # A cell broadcast's text follows it on a line of its own (here one
        # saying "OK"), which the client must not take for an answer.
        return _framed([line, 'OK'] if line.startswith('+CBM:') else [line])

    def _late(self, timeout):
        return timeout * self.random.uniform(0.6, 1.4) if self._chance() else 0

    def answer(self, lines, late):
        """(the bytes of an answer with trouble, seconds it comes late)."""
        out = []
        if self._chance():
            noise = self.random.randrange(1, 16)
            out.append(b'\r\n' + bytes(bytearray(self.random.choice(self._NOISE)
                                                  for _ in range(noise))) + b'\r\n')
        if self._chance():
            out.append(self._urc())
        for i, line in enumerate(lines):
            if i and self._chance():
                out.append(self._urc())
            out.append(_framed([line]))
        return b''.join(out), self._late(self.send_timeout if late else self.command_timeout)

    def prompt_delay(self):
        return self._late(self.command_timeout)

    def after_prompt(self):
        return self._urc() if self._chance(2) else b''

    def idle_line(self):
        return self._urc(self._idle) if self._idle.random() < self.rate / 2 else b''

    def flip_echo(self):
        return self._chance(0.5)

    def refuse(self):
        return self._chance()


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
    profile: a name from PROFILES, whose behaviours are added;
    'lock-all', 'lock-few': what a locked SIM lets through (see PROFILES);
    'cpin-no-ok': no final result after the +CPIN: line; 'crcrlf': lines
    end in CR CR LF; 'busy-515': +CME ERROR: 515 to the first busy_commands
    commands after a reset; 'sim-busy': +CME ERROR: 14 to the first
    busy_commands SIM commands after the PIN; 'not-support': COMMAND NOT
    SUPPORT for what the modem lacks; 'late-prompt': the prompt of every
    other AT+CMGS (or of those numbered in late_prompts, from 1) comes
    prompt_delay seconds late; 'urc-after-prompt': an
    unsolicited line right after each prompt; 'vanish': the port goes away
    at the AT+CMGS after vanish_after accepted parts; 'chaos': the random
    trouble of a Chaos (chaos, or one made from noise_seed).
    smsc: the service centre AT+CSCA? tells (None: none stored);
    refused_numbers: messages to these numbers are refused (cms_error).
    While an answer is late the modem takes in what it is sent and acts
    on it afterwards, as a modem reading its serial line does.
    ``parts`` lists every message or part accepted, as it came.
    """

    def __init__(self, behaviours=('healthy',), pin='1234', record=None,
                 cms_error=500, registration_polls=3, rssi=20, deaf_commands=2,
                 report_status=0, exit_after_messages=None, on_message=None, noise_seed=0,
                 pin_attempts=3, puk='12345678', profile=None, prompt_delay=1.5,
                 vanish_after=2, busy_commands=2, smsc='+15550000000', chaos=None,
                 late_prompts=None, refused_numbers=()):
        if isinstance(behaviours, str):
            behaviours = [behaviours]
        if profile is not None:
            if profile not in PROFILES:
                raise ValueError('unknown profile %r (known: %s)'
                                 % (profile, ', '.join(sorted(PROFILES))))
            behaviours = list(behaviours) + list(PROFILES[profile][0])
        unknown = set(behaviours) - set(BEHAVIOURS)
        if unknown:
            raise ValueError('unknown behaviour(s): %s (known: %s)'
                             % (', '.join(sorted(unknown)), ', '.join(BEHAVIOURS)))
        self.behaviours = frozenset(behaviours)
        self.prompt_delay = prompt_delay
        self.late_prompts = late_prompts
        self.refused_numbers = frozenset(refused_numbers)
        self.vanish_after = vanish_after
        self.busy_commands = busy_commands
        self.smsc = smsc
        self.chaos = chaos if chaos is not None or 'chaos' not in self.behaviours \
            else Chaos(noise_seed)
        self.parts = []         # every message or part accepted: number, reference, text, concat
        self._submissions = 0   # AT+CMGS commands answered with a prompt (or about to be)
        self._held = None       # input that waits while an answer is late
        self._busy_after_reset = 0
        self._sim_busy = 0
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
        if 'busy-515' in self.behaviours:
            self._busy_after_reset = self.busy_commands

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

    def settle(self, timeout=5.0):
        """Wait (at most ``timeout`` seconds) until no late answer or held input is pending."""
        deadline = time.monotonic() + timeout
        while (self._timers or self._held is not None) and time.monotonic() < deadline:
            time.sleep(0.02)

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
                    os.read(self._wake_r, 64)
                    if self._stopping:
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
                if self.chaos is not None and self._text is None and self._held is None:
                    self._write(self.chaos.idle_line())
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
        for _, action in due:
            if callable(action):
                action()
            else:
                self._write(action)

    def _after(self, delay, action):
        """Run ``action`` (bytes to write, or a callable) ``delay`` seconds from now, in the serving thread."""
        with self._timers_lock:
            self._timers.append((time.monotonic() + delay, action))
        if threading.current_thread() is not self._thread and self._thread is not None:
            os.write(self._wake_w, b't')    # the serving thread sets its wait anew

    def _defer(self, delay, action):
        """Act ``delay`` seconds late, taking in meanwhile what comes and acting on it afterwards."""
        if self._held is None:
            self._held = bytearray()

        def act():
            action()
            held, self._held = self._held, None
            self._feed(bytes(held), counted=True)
        self._after(delay, act)

    def _write(self, data):
        # Nobody may be reading the slave side: never block on a full buffer.
        while data and self._master is not None:
            try:
                data = data[os.write(self._master, data):]
            except OSError as e:
                if e.errno not in (errno.EAGAIN, errno.EIO):
                    raise
                if not select.select([], [self._master], [], 0.2)[1]:
                    return

    def _framed(self, lines):
        if 'crcrlf' in self.behaviours:
            return b''.join(b'\r\n' + line.encode('latin-1') + b'\r\r\n' for line in lines)
        return _framed(lines)

    def _send(self, lines=(), final=None, late=None):
        """Answer with ``lines`` and ``final``; ``late``: the answer a
        submission gets after the text, which chaos may hold back."""
        if self.behaviours & _LINE_FAULTS:
            return self._write(self._spoiled(lines, final))
        lines = list(lines) + ([] if final is None else [final])
        if self.chaos is not None:
            out, delay = self.chaos.answer(lines, late)
        else:
            out, delay = self._framed(lines), 0
        if 'unsolicited' in self.behaviours:
            out = _framed([_UNSOLICITED[self._urc_turn % len(_UNSOLICITED)]]) + out
            self._urc_turn += 1
        if delay:
            self._defer(delay, lambda: self._write(out))
        else:
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

    def _feed(self, data, counted=False):
        if not counted:
            self.bytes_received += len(data)
        if 'silent' in self.behaviours:
            return
        for i, byte in enumerate(bytearray(data)):
            if self._held is not None:      # an answer is late: the rest waits for it
                self._held += data[i:]
                return
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
        if self.chaos is not None and self.chaos.flip_echo():
            self.echo = not self.echo
        if self.echo:
            self._write(raw + b'\r')
        if text[:2].upper() != 'AT':
            return
        reply = self._refusal(text.upper()) or self._dispatch(text)
        if reply is not None:
            self._send(*reply)

    def _refusal(self, upper):
        """The answer of a modem that refuses a command unseen (locked, busy), or None."""
        if self._sim_locked and (not upper.startswith('AT+CPIN') or
                                 upper.startswith('AT+CPINR') and 'lock-few' in self.behaviours):
            if 'lock-all' in self.behaviours:
                return [], '+CME ERROR: 11'
            if 'lock-few' in self.behaviours and upper not in _LOCK_FEW_ALLOWED:
                return self._cme(11)
        if self._busy_after_reset > 0:
            self._busy_after_reset -= 1
            return [], '+CME ERROR: 515'
        if self._sim_busy > 0 and upper.startswith(_SIM_COMMANDS):
            self._sim_busy -= 1
            return [], '+CME ERROR: 14'
        return None

    def _unsupported(self):
        return [], 'COMMAND NOT SUPPORT' if 'not-support' in self.behaviours else 'ERROR'

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
            return self._unsupported()
        name, form, arg = match.group(1).upper(), match.group(2) or '', match.group(3)
        if form == '=?':
            # The values each parameter takes; a command without parameters
            # to choose (AT+CSCA=?, AT+CMGS=?) answers OK alone.
            if name == '+CMGF':
                if 'not-support' in self.behaviours:
                    return self._unsupported()
                return ['+CMGF: (%s)' % ','.join(str(m) for m in self._formats())], 'OK'
            return ([_TEST_ANSWERS[name]] if name in _TEST_ANSWERS else []), 'OK'
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
            return ['+CPIN: %s' % state], None if 'cpin-no-ok' in self.behaviours else 'OK'
        if self._pin_attempts == 0:
            values = _args(arg)
            if len(values) != 2 or self._puk_attempts == 0:
                return self._cme(12)
            if values[0] != self.puk:
                self._puk_attempts -= 1
                return self._cme(16)
            self.pin, self._pin_attempts, self._puk_attempts = values[1], 3, 10
            return self._unlocked()
        if not self._sim_locked:
            return self._cme(3)
        if _args(arg)[0] == self.pin:
            return self._unlocked()
        self._pin_attempts -= 1
        return self._cme(16)

    def _unlocked(self):
        self._sim_locked = False
        if 'sim-busy' in self.behaviours:
            self._sim_busy = self.busy_commands
        return [], 'OK'

    def _at_cpinr(self, name, form, arg):
        if 'not-support' in self.behaviours:
            return self._unsupported()
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
        if form == '?':
            return ['+CNMI: 2,0,0,%d,0' % self.cnmi_ds], 'OK'
        values = _args(arg)
        ds = int(values[3]) if len(values) > 3 and values[3] else 0
        if ds == 1 and 'not-support' in self.behaviours:
            return self._unsupported()
        if ds == 1 and 'report-cdsi' in self.behaviours:
            return self._cme(3)     # this modem only stores status reports
        self.cnmi_ds = ds
        return [], 'OK'

    def _at_cfun(self, name, form, arg):
        if form == '?':
            return ['+CFUN: 1'], 'OK'
        if _args(arg)[:1] == ['1'] and 'busy-515' in self.behaviours:
            self._busy_after_reset = self.busy_commands     # initialising again
        return [], 'OK'

    def _at_csca(self, name, form, arg):
        if form == '?':
            # A modem with no service centre stored answers OK alone.
            return ([] if self.smsc is None else
                    ['+CSCA: "%s",%d' % (self.smsc, 145 if self.smsc.startswith('+') else 129)]), 'OK'
        self.smsc = _args(arg)[0] or None
        return [], 'OK'

    def _at_cpms(self, name, form, arg):
        used = len(self._stored)
        if form == '?':
            return ['+CPMS: "SM",%d,30,"SM",%d,30,"SM",%d,30' % (used, used, used)], 'OK'
        return ['+CPMS: %d,30,%d,30,%d,30' % (used, used, used)], 'OK'

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
        return self._prompt()

    def _prompt(self):
        """Ask for the message text with "> ", on time or late (or vanish);
        None: the answer comes after the text."""
        if 'vanish' in self.behaviours and len(self.parts) >= self.vanish_after:
            self._hangup_due = True
            return None
        self._submissions += 1
        late = (self._submissions % 2 == 1 if self.late_prompts is None
                else self._submissions in self.late_prompts)
        delay = self.prompt_delay if 'late-prompt' in self.behaviours and late else 0
        if self.chaos is not None:
            delay = self.chaos.prompt_delay()
        if delay:
            self._defer(delay, self._take_text)
        else:
            self._take_text()
        return None

    def _take_text(self):
        self._text = bytearray()
        self._write(b'\r\n> ')
        if 'urc-after-prompt' in self.behaviours:
            self._write(_framed([_AFTER_PROMPT[self._urc_turn % len(_AFTER_PROMPT)]]))
            self._urc_turn += 1
        if self.chaos is not None:
            self._write(self.chaos.after_prompt())

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
        if 'cms-error' in self.behaviours or self._refuses(self._number):
            return self._send(final='+CMS ERROR: %d' % self.cms_error, late=True)
        reference = self._next_ref
        self._next_ref = reference % 255 + 1
        self.parts.append({'number': self._number, 'reference': reference, 'text': text,
                           'concat': None})
        message = {'number': self._number, 'text': text, 'reference': reference,
                   'charset': self.cscs, 'dcs': dcs, 'mode': 'text', 'parts': 1,
                   'references': [reference]}
        self._accept(message)
        self._send(['+CMGS: %d' % reference], 'OK', late=True)
        if self.csmp[0] & 0x20:
            self._report(reference, self._number)

    def _refuses(self, number):
        return number in self.refused_numbers or self.chaos is not None and self.chaos.refuse()

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
        self._after(0.02, _framed(direct))

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
        return self._prompt()

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
                return self._send(final='+CMS ERROR: %d' % self.cms_error, late=True)
            self.parts_before_error -= 1
        if self._refuses(submit.number):
            return self._send(final='+CMS ERROR: %d' % self.cms_error, late=True)
        reference = self._next_ref
        self._next_ref = reference % 255 + 1
        self.parts.append({'number': submit.number, 'reference': reference, 'text': submit.text,
                           'concat': tuple(submit.concat) if submit.concat else None})
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
        self._send(['+CMGS: %d' % reference], 'OK', late=True)
        if submit.status_report_requested:
            self._report(reference, submit.number)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog='python -m smsline_tools.modem_sim',
        description='Simulate a GSM modem on a pseudo-terminal.',
        epilog='profiles (what real modems were recorded doing):\n' + '\n'.join(
            '  %-21s %s' % (name, PROFILES[name][1]) for name in sorted(PROFILES)),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--behaviour', action='append', choices=BEHAVIOURS,
                        help='trouble to make (repeatable; default healthy)')
    parser.add_argument('--profile', choices=sorted(PROFILES), metavar='PROFILE',
                        help='play a recorded modem behaviour (listed below)')
    parser.add_argument('--prompt-delay', type=float, default=1.5, metavar='SECONDS',
                        help='how late the prompt comes with late-prompt (default 1.5)')
    parser.add_argument('--smsc', default='+15550000000',
                        help='service centre number AT+CSCA? tells ("" for none)')
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
                         pin_attempts=args.pin_attempts, puk=args.puk, profile=args.profile,
                         prompt_delay=args.prompt_delay, smsc=args.smsc or None)
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
