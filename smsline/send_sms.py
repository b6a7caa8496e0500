from __future__ import print_function
import time
import sys
import glob
from importlib.util import find_spec
import serial
if find_spec('gsmmodem'): from gsmmodem.modem import GsmModem, SentSms
else: from smsline_gsm.modem import GsmModem, SentSms
BAUDRATE = 115200
PIN = None

# smsline.send_sms as plain Python, line for line (same line numbers), for
# the benchmarks: run by the interpreter and compiled with Cython.

def serial_ports():
    """ Lists serial port names

        :raises EnvironmentError:
            On unsupported or unknown platforms
        :returns:
            A list of the serial ports available on the system
    """
    if sys.platform.startswith('win'):
        ports = ['COM%s' % (i + 1) for i in range(256)]
    elif sys.platform.startswith('linux') or sys.platform.startswith('cygwin'):
        # this excludes your current terminal "/dev/tty"
        ports = glob.glob('/dev/tty[A-Za-z]*')
    elif sys.platform.startswith('darwin'):
        ports = glob.glob('/dev/tty.*')
    else:
        raise EnvironmentError('Unsupported platform')

    result = []
    for port in ports:
        try:
            s = serial.Serial(port)
            s.close()
            result.append(port)
        except (OSError, serial.SerialException):
            pass
    return result


# Sends one message through the first port whose modem comes up.
def send_sms(phone_number: str, text: str) -> int:
    """Sends an sms and returns the sent sms status ( one of SentSms.ENROUTE, SentSms.DELIVERED, SentSms.FAILED )"""
    modem = _probe.failure = None
    for port in serial_ports():
        modem = GsmModem(port, BAUDRATE)
        try:
            modem.connect(PIN)
            modem.waitForNetworkCoverage(30)
            print(f"Gsm Device Found on Port: {port}"); break
        except Exception:
            modem = _close_failed_probe(modem)
        except BaseException: _close_failed_probe(modem); raise
    if modem is None:
        raise Exception("Gsm Device Not Found") from _probe.failure
    try:
        print("Sending message now.")
        sentSms = modem.sendSms(phone_number, text, waitForDeliveryReport=False, deliveryTimeout=30)
        # The status is one of SentSms.ENROUTE, SentSms.DELIVERED and
        # SentSms.FAILED; without waiting for the delivery report it is
        # ENROUTE unless the network refused the message at once.  It is
        # printed, then read again as the result.

        print(sentSms.status)
        return sentSms.status
    finally:
        modem.close()


import threading

# The last failed probe's exception, the cause of "Gsm Device Not Found",
# kept per thread here rather than in a local so that send_sms's locals stay
# the extension's.  (With no failed probe send_sms raises "from None", where
# the extension leaves the context as it is.)
_probe = threading.local()


def _close_failed_probe(modem):
    """Closes the modem of a failed probe, ignoring an Exception from close;
    keeps the probe's exception as the thread's last failure; returns None."""
    _probe.failure = sys.exc_info()[1]
    try:
        modem.close()
    except Exception:
        pass
    return None
