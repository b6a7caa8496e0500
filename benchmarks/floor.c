/* floor_send_sms: serial_ports() and send_sms() written plainly against the C API, without frames.
 *
 * The floor of the benchmarks: what the two functions cost when nothing but
 * their calls, look-ups and data handling is done.  No frame, no line
 * number, no locals, no traceback entry of their own, no events; an
 * exception caught by a handler is matched on its type as raised and
 * dropped (never made into an object when it is still only a type and a
 * value).  Globals are read from this module's dictionary, then from the
 * builtins, at every use, as the other contenders read theirs; the calls
 * are made through the best public entry of each interpreter version
 * (method calls through PyObject_VectorcallMethod from 3.9, the keywords of
 * the send as a tuple of names there).  The benchmark suite binds its
 * stand-ins into this module's globals as into the others'.
 */
#include <Python.h>

#if PY_VERSION_HEX >= 0x03090000
#define FLOOR_VECTORCALL_METHODS 1
#else
#define FLOOR_VECTORCALL_METHODS 0
#endif

/* Interned names and constants, made once at import. */
static PyObject *s_sys, *s_glob, *s_serial, *s_serial_ports, *s_GsmModem, *s_BAUDRATE, *s_PIN, *s_print;
static PyObject *s_platform, *s_startswith, *s_Serial, *s_SerialException, *s_close, *s_connect;
static PyObject *s_waitForNetworkCoverage, *s_sendSms, *s_status;
static PyObject *s_win, *s_linux, *s_cygwin, *s_darwin, *s_com_format, *s_pattern_linux, *s_pattern_darwin;
static PyObject *s_unsupported, *s_found_prefix, *s_empty, *s_thirty, *s_not_found, *s_sending;
static PyObject *s_send_keywords;  /* ("waitForDeliveryReport", "deliveryTimeout") */
static PyObject* builtins_dict;    /* the builtins module's dictionary, at import */

/* The value of a global (new reference): the module's dictionary, then the
 * builtins; NameError when in neither. */
static PyObject*
global(PyObject* module, PyObject* name)
{
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (value == NULL && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(builtins_dict, name);
        if (value == NULL && !PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    Py_XINCREF(value);
    return value;
}

/* target.name(*args): new reference, or NULL with an exception set. */
static PyObject*
call_method(PyObject* target, PyObject* name, PyObject* const* args, Py_ssize_t count)
{
#if FLOOR_VECTORCALL_METHODS
    PyObject* stack[4];
    stack[0] = target;
    for (Py_ssize_t i = 0; i < count; i++)
        stack[i + 1] = args[i];
    return PyObject_VectorcallMethod(name, stack, (size_t)(count + 1), NULL);
#else
    switch (count) {
    case 0:
        return PyObject_CallMethodObjArgs(target, name, NULL);
    case 1:
        return PyObject_CallMethodObjArgs(target, name, args[0], NULL);
    default:
        return PyObject_CallMethodObjArgs(target, name, args[0], args[1], NULL);
    }
#endif
}

/* callable(*args). */
static PyObject*
call(PyObject* callable, PyObject* const* args, Py_ssize_t count)
{
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, (size_t)count, NULL);
#else
    PyObject* result;
    PyObject* tuple = PyTuple_New(count);
    if (tuple == NULL)
        return NULL;
    for (Py_ssize_t i = 0; i < count; i++) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple, i, args[i]);
    }
    result = PyObject_Call(callable, tuple, NULL);
    Py_DECREF(tuple);
    return result;
#endif
}

/* print(text), the builtins' print. */
static int
print(PyObject* text)
{
    PyObject* function = PyDict_GetItemWithError(builtins_dict, s_print);
    PyObject* result;
    if (function == NULL) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_NameError, "name 'print' is not defined");
        return -1;
    }
    Py_INCREF(function);
    result = call(function, &text, 1);
    Py_DECREF(function);
    Py_XDECREF(result);
    return result == NULL ? -1 : 0;
}

/* sys.platform.startswith(prefix): 1, 0, or -1 with an exception set. */
static int
platform_is(PyObject* module, PyObject* prefix)
{
    PyObject *sys, *platform, *answer;
    int truth;
    if ((sys = global(module, s_sys)) == NULL)
        return -1;
    platform = PyObject_GetAttr(sys, s_platform);
    Py_DECREF(sys);
    if (platform == NULL)
        return -1;
    answer = call_method(platform, s_startswith, &prefix, 1);
    Py_DECREF(platform);
    if (answer == NULL)
        return -1;
    truth = PyObject_IsTrue(answer);
    Py_DECREF(answer);
    return truth;
}

/* glob.glob(pattern). */
static PyObject*
glob_candidates(PyObject* module, PyObject* pattern)
{
    PyObject* result;
    PyObject* glob = global(module, s_glob);
    if (glob == NULL)
        return NULL;
    result = call_method(glob, s_glob, &pattern, 1);
    Py_DECREF(glob);
    return result;
}

static PyObject*
com_names(void)
{
    PyObject* names = PyList_New(0);
    for (long i = 0; names != NULL && i < 256; i++) {
        PyObject* number = PyLong_FromLong(i + 1);
        PyObject* name = number != NULL ? PyUnicode_Format(s_com_format, number) : NULL;
        Py_XDECREF(number);
        if (name == NULL || PyList_Append(names, name) < 0)
            Py_CLEAR(names);
        Py_XDECREF(name);
    }
    return names;
}

/* Whether the pending exception is one of (OSError, serial.SerialException):
 * 1 (then it is dropped), 0 (it stays pending), -1 (another took its place). */
static int
drop_refused_port(PyObject* module)
{
    PyObject *type, *value, *traceback, *serial, *serial_exception;
    int matched;
    PyErr_Fetch(&type, &value, &traceback);
    serial = global(module, s_serial);
    serial_exception = serial != NULL ? PyObject_GetAttr(serial, s_SerialException) : NULL;
    Py_XDECREF(serial);
    if (serial_exception == NULL) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return -1;
    }
    matched = PyErr_GivenExceptionMatches(type, PyExc_OSError) ||
              PyErr_GivenExceptionMatches(type, serial_exception);
    Py_DECREF(serial_exception);
    if (!matched) {
        PyErr_Restore(type, value, traceback);
        return 0;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return 1;
}

static PyObject*
floor_serial_ports(PyObject* module, PyObject* unused)
{
    PyObject *ports = NULL, *result = NULL, *iterator = NULL, *port;
    int is;
    if ((is = platform_is(module, s_win)) < 0)
        return NULL;
    if (is) {
        ports = com_names();
    } else {
        if ((is = platform_is(module, s_linux)) == 0)
            is = platform_is(module, s_cygwin);
        if (is < 0)
            return NULL;
        if (is) {
            ports = glob_candidates(module, s_pattern_linux);
        } else {
            if ((is = platform_is(module, s_darwin)) < 0)
                return NULL;
            if (!is) {
                PyErr_SetObject(PyExc_OSError, s_unsupported);
                return NULL;
            }
            ports = glob_candidates(module, s_pattern_darwin);
        }
    }
    if (ports == NULL || (result = PyList_New(0)) == NULL || (iterator = PyObject_GetIter(ports)) == NULL)
        goto error;
    while ((port = PyIter_Next(iterator)) != NULL) {
        PyObject* serial = global(module, s_serial);
        PyObject* opened = serial != NULL ? call_method(serial, s_Serial, &port, 1) : NULL;
        PyObject* closed = opened != NULL ? call_method(opened, s_close, NULL, 0) : NULL;
        int failed = closed == NULL || PyList_Append(result, port) < 0;
        Py_XDECREF(serial);
        Py_XDECREF(opened);
        Py_XDECREF(closed);
        Py_DECREF(port);
        if (failed && drop_refused_port(module) <= 0)
            goto error;
    }
    if (PyErr_Occurred())
        goto error;
    Py_DECREF(iterator);
    Py_DECREF(ports);
    return result;
error:
    Py_XDECREF(iterator);
    Py_XDECREF(ports);
    Py_XDECREF(result);
    return NULL;
}

/* modem.close(), an Exception from it dropped: 0, or -1 with another set. */
static int
close_failed_probe(PyObject* modem)
{
    PyObject* closed = call_method(modem, s_close, NULL, 0);
    if (closed != NULL) {
        Py_DECREF(closed);
        return 0;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
    PyErr_Clear();
    return 0;
}

/* Brings the modem up and prints the found line: 0, or -1 with an exception set. */
static int
probe(PyObject* module, PyObject* modem, PyObject* port)
{
    PyObject *pin, *answer, *port_text, *line;
    int printed;
    if ((pin = global(module, s_PIN)) == NULL)
        return -1;
    answer = call_method(modem, s_connect, &pin, 1);
    Py_DECREF(pin);
    if (answer == NULL)
        return -1;
    Py_DECREF(answer);
    if ((answer = call_method(modem, s_waitForNetworkCoverage, &s_thirty, 1)) == NULL)
        return -1;
    Py_DECREF(answer);
    if ((port_text = PyObject_Format(port, s_empty)) == NULL)
        return -1;
    line = PyUnicode_Concat(s_found_prefix, port_text);
    Py_DECREF(port_text);
    if (line == NULL)
        return -1;
    printed = print(line);
    Py_DECREF(line);
    return printed;
}

/* modem.sendSms(phone_number, text, waitForDeliveryReport=False, deliveryTimeout=30). */
static PyObject*
send(PyObject* modem, PyObject* phone_number, PyObject* text)
{
#if FLOOR_VECTORCALL_METHODS
    PyObject* stack[5] = {modem, phone_number, text, Py_False, s_thirty};
    return PyObject_VectorcallMethod(s_sendSms, stack, 3, s_send_keywords);
#else
    PyObject *method, *args, *keywords, *result = NULL;
    if ((method = PyObject_GetAttr(modem, s_sendSms)) == NULL)
        return NULL;
    args = PyTuple_Pack(2, phone_number, text);
    keywords = PyDict_New();
    if (args != NULL && keywords != NULL &&
        PyDict_SetItem(keywords, PyTuple_GET_ITEM(s_send_keywords, 0), Py_False) == 0 &&
        PyDict_SetItem(keywords, PyTuple_GET_ITEM(s_send_keywords, 1), s_thirty) == 0)
        result = PyObject_Call(method, args, keywords);
    Py_DECREF(method);
    Py_XDECREF(args);
    Py_XDECREF(keywords);
    return result;
#endif
}

/* The send block and the close of its finally. */
static PyObject*
send_and_close(PyObject* modem, PyObject* phone_number, PyObject* text)
{
    PyObject *sent = NULL, *status, *result = NULL, *closed;
    if (print(s_sending) == 0 && (sent = send(modem, phone_number, text)) != NULL &&
        (status = PyObject_GetAttr(sent, s_status)) != NULL) {
        int printed = print(status);
        Py_DECREF(status);
        if (printed == 0)
            result = PyObject_GetAttr(sent, s_status);
    }
    Py_XDECREF(sent);
    if (result == NULL) {
        /* finally with an exception pending: close, then the same exception
         * goes on unless close raised its own */
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        closed = call_method(modem, s_close, NULL, 0);
        if (closed == NULL) {
            PyErr_NormalizeException(&type, &value, &traceback);
            if (value != NULL) {
                PyObject *close_type, *close_value, *close_traceback;
                PyErr_Fetch(&close_type, &close_value, &close_traceback);
                PyErr_NormalizeException(&close_type, &close_value, &close_traceback);
                if (close_value != NULL)
                    PyException_SetContext(close_value, value);
                else
                    Py_DECREF(value);
                PyErr_Restore(close_type, close_value, close_traceback);
            }
            Py_XDECREF(type);
            Py_XDECREF(traceback);
            return NULL;
        }
        Py_DECREF(closed);
        PyErr_Restore(type, value, traceback);
        return NULL;
    }
    closed = call_method(modem, s_close, NULL, 0);
    if (closed == NULL) {
        Py_DECREF(result);
        return NULL;
    }
    Py_DECREF(closed);
    return result;
}

static PyObject*
floor_send_sms(PyObject* module, PyObject* const* args, Py_ssize_t nargs)
{
    PyObject *phone_number, *text, *serial_ports, *ports, *iterator, *port;
    PyObject *modem = NULL, *last_failure = NULL, *result;
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "send_sms() takes 2 positional arguments but %zd were given", nargs);
        return NULL;
    }
    phone_number = args[0];
    text = args[1];
    if ((serial_ports = global(module, s_serial_ports)) == NULL)
        return NULL;
    ports = call(serial_ports, NULL, 0);
    Py_DECREF(serial_ports);
    if (ports == NULL)
        return NULL;
    iterator = PyObject_GetIter(ports);
    Py_DECREF(ports);
    if (iterator == NULL)
        return NULL;
    while ((port = PyIter_Next(iterator)) != NULL) {
        PyObject *modem_class, *baudrate, *pair[2];
        modem_class = global(module, s_GsmModem);
        baudrate = modem_class != NULL ? global(module, s_BAUDRATE) : NULL;
        pair[0] = port;
        pair[1] = baudrate;
        Py_XSETREF(modem, baudrate != NULL ? call(modem_class, pair, 2) : NULL);
        Py_XDECREF(modem_class);
        Py_XDECREF(baudrate);
        if (modem == NULL) {
            Py_DECREF(port);
            goto error;
        }
        if (probe(module, modem, port) == 0) {
            Py_DECREF(port);
            break;
        }
        Py_DECREF(port);
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            /* an interruption: close the modem, then it goes on */
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            if (close_failed_probe(modem) < 0) {
                Py_XDECREF(type);
                Py_XDECREF(value);
                Py_XDECREF(traceback);
                goto error;
            }
            PyErr_Restore(type, value, traceback);
            goto error;
        } else {
            /* the probe's exception, kept as the cause of "not found" */
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            PyErr_NormalizeException(&type, &value, &traceback);
            if (traceback != NULL && value != NULL)
                PyException_SetTraceback(value, traceback);
            Py_XSETREF(last_failure, value);
            Py_XDECREF(type);
            Py_XDECREF(traceback);
            if (close_failed_probe(modem) < 0)
                goto error;
            Py_CLEAR(modem);
        }
    }
    if (PyErr_Occurred())
        goto error;
    Py_CLEAR(iterator);
    if (modem == NULL) {
        PyObject* error = PyObject_CallFunctionObjArgs(PyExc_Exception, s_not_found, NULL);
        if (error != NULL) {
            if (last_failure != NULL) {
                PyException_SetCause(error, last_failure);
                last_failure = NULL;
            }
            PyErr_SetObject(PyExc_Exception, error);
            Py_DECREF(error);
        }
        goto error;
    }
    Py_CLEAR(last_failure);
    result = send_and_close(modem, phone_number, text);
    Py_DECREF(modem);
    return result;
error:
    Py_XDECREF(iterator);
    Py_XDECREF(modem);
    Py_XDECREF(last_failure);
    return NULL;
}

#if PY_VERSION_HEX < 0x03070000
/* 3.6's METH_FASTCALL passes keyword names too; this one takes none. */
static PyObject*
floor_send_sms_36(PyObject* module, PyObject** args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (kwnames != NULL && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_SetString(PyExc_TypeError, "send_sms() takes no keyword arguments here");
        return NULL;
    }
    return floor_send_sms(module, args, nargs);
}
#define FLOOR_SEND_SMS floor_send_sms_36
#else
#define FLOOR_SEND_SMS floor_send_sms
#endif

static PyMethodDef floor_methods[] = {
    {"serial_ports", floor_serial_ports, METH_NOARGS, "serial_ports(): the ports that open, without frames."},
    {"send_sms", (PyCFunction)(void (*)(void))FLOOR_SEND_SMS, METH_FASTCALL,
     "send_sms(phone_number, text): sends through the first modem that comes up, without frames."},
    {NULL, NULL, 0, NULL}  /* sentinel */
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    "floor_send_sms",
    "serial_ports and send_sms plainly against the C API, without frames: the benchmarks' floor.",
    -1,
    floor_methods,
};

static PyObject*
interned(const char* text)
{
    return PyUnicode_InternFromString(text);
}

PyMODINIT_FUNC
PyInit_floor_send_sms(void)
{
    PyObject *module, *builtins;
    PyObject** const names[] = {&s_sys, &s_glob, &s_serial, &s_serial_ports, &s_GsmModem, &s_BAUDRATE, &s_PIN,
                                &s_print, &s_platform, &s_startswith, &s_Serial, &s_SerialException, &s_close,
                                &s_connect, &s_waitForNetworkCoverage, &s_sendSms, &s_status};
    const char* const texts[] = {"sys", "glob", "serial", "serial_ports", "GsmModem", "BAUDRATE", "PIN",
                                 "print", "platform", "startswith", "Serial", "SerialException", "close",
                                 "connect", "waitForNetworkCoverage", "sendSms", "status"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++) {
        if ((*names[i] = interned(texts[i])) == NULL)
            return NULL;
    }
    s_win = interned("win");
    s_linux = interned("linux");
    s_cygwin = interned("cygwin");
    s_darwin = interned("darwin");
    s_com_format = interned("COM%s");
    s_pattern_linux = interned("/dev/tty[A-Za-z]*");
    s_pattern_darwin = interned("/dev/tty.*");
    s_unsupported = interned("Unsupported platform");
    s_found_prefix = interned("Gsm Device Found on Port: ");
    s_empty = interned("");
    s_thirty = PyLong_FromLong(30);
    s_not_found = interned("Gsm Device Not Found");
    s_sending = interned("Sending message now.");
    s_send_keywords = Py_BuildValue("(ss)", "waitForDeliveryReport", "deliveryTimeout");
    builtins = PyImport_ImportModule("builtins");
    if (s_win == NULL || s_linux == NULL || s_cygwin == NULL || s_darwin == NULL || s_com_format == NULL ||
        s_pattern_linux == NULL || s_pattern_darwin == NULL || s_unsupported == NULL || s_found_prefix == NULL ||
        s_empty == NULL || s_thirty == NULL || s_not_found == NULL || s_sending == NULL ||
        s_send_keywords == NULL || builtins == NULL)
        return NULL;
    builtins_dict = PyModule_GetDict(builtins);
    Py_INCREF(builtins_dict);
    Py_DECREF(builtins);
    module = PyModule_Create(&floor_module);
    if (module == NULL)
        return NULL;
    {
        PyObject* baudrate = PyLong_FromLong(115200);
        PyObject* own_serial_ports = PyObject_GetAttrString(module, "serial_ports");
        if (baudrate == NULL || own_serial_ports == NULL ||
            PyModule_AddObject(module, "BAUDRATE", baudrate) < 0 ||
            PyModule_AddObject(module, "serial_ports", own_serial_ports) < 0) {
            Py_XDECREF(baudrate);
            Py_XDECREF(own_serial_ports);
            Py_DECREF(module);
            return NULL;
        }
        Py_INCREF(Py_None);
        if (PyModule_AddObject(module, "PIN", Py_None) < 0) {
            Py_DECREF(Py_None);
            Py_DECREF(module);
            return NULL;
        }
    }
    return module;
}
