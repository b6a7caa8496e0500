"""smsline-send: send one text message through the first GSM modem found.

The sending itself is smsline.send_sms.send_sms(); this command only sets
what that module reads at each call (PIN, serial_ports) from the options,
and for --simulate puts a simulated modem on a pseudo-terminal in front of it.
"""
import argparse
import importlib
import sys

FAILED = 2  # SentSms.FAILED


def _parser():
    parser = argparse.ArgumentParser(
        prog='smsline-send', description='Send a text message through a GSM modem.')
    parser.add_argument('number', nargs='?', help='destination phone number')
    parser.add_argument('text', nargs='?', help='message text')
    parser.add_argument('--pin', help='SIM PIN, if the SIM asks for one')
    parser.add_argument('--port', help='use this serial port instead of trying every port')
    parser.add_argument('--list-ports', action='store_true',
                        help='print the serial ports that would be tried, then exit')
    parser.add_argument('--simulate', action='store_true',
                        help='send to a simulated modem and show what it received')
    return parser


def main(argv=None, module=None):
    """Entry point; ``module`` stands in for smsline.send_sms (tests)."""
    parser = _parser()
    args = parser.parse_args(argv)
    if not args.list_ports and (args.number is None or args.text is None):
        parser.error('NUMBER and TEXT are required')
    if args.simulate and args.port:
        parser.error('--simulate and --port exclude each other')
    try:
        if module is None:
            module = importlib.import_module('smsline.send_sms')
        if args.list_ports:
            for port in module.serial_ports():
                print(port)
            return 0
        return _send(args, module)
    except Exception as e:
        message = ' '.join(str(e).split()) or type(e).__name__
        print('smsline-send: error: %s' % message, file=sys.stderr)
        return 1


def _send(args, module):
    missing = object()
    saved = {name: getattr(module, name, missing) for name in ('PIN', 'serial_ports')}
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
        status = module.send_sms(args.number, args.text)
    finally:
        for name, value in saved.items():
            if value is missing:
                delattr(module, name)
            else:
                setattr(module, name, value)
        if sim is not None:
            sim.stop()
    if sim is not None:
        for message in sim.messages:
            print('simulator received: to=%s text=%s ref=%d'
                  % (message['number'], message['text'], message['reference']))
    if status == FAILED:
        print('smsline-send: error: message to %s failed' % args.number, file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
