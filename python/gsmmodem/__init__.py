"""smsline's own compact GSM modem library: send a text message over AT commands."""
from .exceptions import (CmeError, CmsError, CommandError, EncodingError,
                         GsmModemException, IncorrectPinError, InvalidPinError,
                         InvalidStateException, MessageTooLongError,
                         PinRequiredError, PukRequiredError, RegistrationError,
                         RegistrationTimeoutError, SimLockError, TimeoutException)
from .modem import GsmModem, SentSms, StatusReport

__all__ = ['GsmModem', 'SentSms', 'StatusReport', 'GsmModemException',
           'TimeoutException', 'InvalidStateException', 'CommandError',
           'CmeError', 'CmsError', 'PinRequiredError', 'PukRequiredError',
           'IncorrectPinError', 'EncodingError', 'MessageTooLongError',
           'InvalidPinError', 'SimLockError', 'RegistrationError',
           'RegistrationTimeoutError']
