"""smsline-send --list: what is on each serial port.

Each port is opened as the send would open it (GsmModem.connect, no PIN),
and a port whose modem answered is asked who it is and how it stands:
manufacturer, model, revision, IMEI, SIM state, IMSI, operator and signal.
A modem that refuses a question gets "unknown" there; a port that cannot
be opened or stays silent says why.  No PIN is ever entered: the SIM's
attempts are left as they are.
"""
import collections
import json

from smsline_gsm.exceptions import CommandError, InvalidStateException, SimLockError
from smsline_gsm.modem import GsmModem

from smsline_tools import cli

BAUDRATE = 115200   # as send_sms opens a port

# (JSON key, label, GsmModem property) of what a modem is asked, in order.
_QUESTIONS = (('manufacturer', 'manufacturer', 'manufacturer'), ('model', 'model', 'model'),
              ('revision', 'revision', 'revision'), ('imei', 'IMEI', 'imei'),
              ('sim', 'SIM', 'simState'), ('imsi', 'IMSI', 'imsi'),
              ('operator', 'operator', 'networkName'), ('signal', 'signal', 'signalStrength'))

_SIM_STATES = {'READY': 'ready', 'SIM PIN': 'PIN required', 'SIM PUK': 'blocked, PUK required',
               'NOT INSERTED': 'not inserted'}


def list_modems(args, ports, module, progress):
    """Probe ``ports`` (None: every serial port); print what each holds.  Returns the exit status."""
    sim = None
    entries = []
    try:
        if args.simulate:
            from smsline_tools.modem_sim import ModemSimulator
            sim = ModemSimulator()
            ports = [sim.start()]
        if ports is None:
            try:
                if module is None:
                    module = cli.load_send_sms()
                ports = list(module.serial_ports())
            except cli.Unavailable as e:
                progress.error(str(e))
                _print_json(args, cli.ERROR, entries)
                return cli.ERROR
        for port in ports:
            progress.status('%s: probing...' % port)
            entry = probe(port)
            entries.append(entry)
            if not args.json:
                progress.end_status()
                for line in _lines(entry):
                    cli.print_line(line)
    except KeyboardInterrupt:
        # The caller reports the interruption; the object still comes out,
        # with the ports probed so far.
        _print_json(args, cli.INTERRUPTED, entries)
        raise
    finally:
        if sim is not None:
            sim.stop()
    progress.end_status()
    status = cli.SENT if any(entry['modem'] for entry in entries) else cli.NO_MODEM
    if not entries:
        progress.error('no serial port found (is the modem plugged in?)')
    _print_json(args, status, entries)
    return status


def _print_json(args, status, entries):
    if args.json:
        cli.print_line(json.dumps(collections.OrderedDict([
            ('version', cli.__version__), ('exit_status', status), ('ports', entries)])))


def probe(port):
    """What is on ``port``: a dict with "port", "modem" (True, False, or None
    when the port could not be opened), "cause" (why it is no usable modem,
    or None) and the answers to the questions (None: unknown)."""
    entry = collections.OrderedDict([('port', port), ('modem', None), ('cause', None)])
    entry.update((key, None) for key, _, _ in _QUESTIONS)
    entry['sim_attempts_left'] = None
    modem = GsmModem(port, BAUDRATE)
    try:
        try:
            modem.connect()
            error = None
        except Exception as e:
            error = e
        if error is not None:
            cause = cli.explain(error, modem.startupTimeout)
            entry['cause'] = cause.words
            # Never opened (missing, busy, not allowed): nobody can tell yet.
            entry['modem'] = (None if cause.rank in (cli.RANK_NOTHING, cli.RANK_HELD)
                              else cause.rank >= cli.RANK_ANSWERED)
            entry['sim_attempts_left'] = getattr(error, 'attemptsLeft', None)
        else:
            entry['modem'] = True
        # A modem that refused a step of its set-up (a locked SIM, say)
        # still answers questions; one that went silent is not asked.
        if modem.alive and (error is None or isinstance(error, (CommandError,
                                                                InvalidStateException))):
            for key, _, name in _QUESTIONS:
                entry[key] = getattr(modem, name)
            if isinstance(error, SimLockError) and entry['sim'] is not None:
                entry['cause'] = None   # the SIM line says it
    finally:
        modem.close()
    return entry


def _lines(entry):
    """The text lines of one port's entry."""
    port = entry['port']
    if entry['modem'] is None:
        return ['%s: cannot tell: %s' % (port, entry['cause'])]
    if not entry['modem']:
        return ['%s: no modem: %s' % (port, entry['cause'])]
    lines = ['%s: modem' % port]
    for key, label, _ in _QUESTIONS:
        lines.append('    %-14s%s' % (label + ':', _shown(key, entry)))
    if entry['cause']:
        lines.append('    %-14s%s' % ('problem:', entry['cause']))
    return [cli.visible(line) for line in lines]


def _shown(key, entry):
    value = entry[key]
    if value is None:
        return 'unknown'
    if key == 'sim':
        left = entry['sim_attempts_left']
        return _SIM_STATES.get(value, value) + (
            '' if left is None else ' (%d attempt%s left)' % (left, '' if left == 1 else 's'))
    if key == 'signal':
        # +CSQ rssi: 0 is -113 dBm or less, 31 is -51 dBm or more, 2 dBm a step
        return 'unknown' if value == 99 else '%d of 31 (%d dBm)' % (value, -113 + 2 * value)
    return value
