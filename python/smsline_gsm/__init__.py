"""smsline's own compact GSM modem library: send a text message over AT commands."""
from .exceptions import (CmeError, CmsError, CommandError, DeliveryTimeoutError, EncodingError,
                         GsmModemException, IncorrectPinError, InvalidPinError,
                         InvalidStateException, MessageTooLongError,
                         PinRequiredError, PukRequiredError, RegistrationError,
                         RegistrationTimeoutError, SimLockError, TimeoutException,
                         TooManyPartsError)
from .modem import GsmModem, SentSms, StatusReport

__all__ = ['GsmModem', 'SentSms', 'StatusReport', 'GsmModemException',
           'TimeoutException', 'InvalidStateException', 'CommandError',
           'CmeError', 'CmsError', 'PinRequiredError', 'PukRequiredError',
           'IncorrectPinError', 'EncodingError', 'MessageTooLongError',
           'InvalidPinError', 'SimLockError', 'RegistrationError',
           'RegistrationTimeoutError', 'DeliveryTimeoutError', 'TooManyPartsError']
