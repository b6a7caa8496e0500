/* bench_standins: in-memory stand-ins for the serial ports and the modem, all in C.
 *
 * The benchmarks bind these into the globals of each contender module so
 * that a call measures the function's own work: opening a port, bringing a
 * modem up and sending cost one C call each and allocate nothing (the
 * constructors hand out shared instances).  The module also counts
 * allocations through the interpreter's allocator hooks and notes the frames
 * that are current when a stand-in runs, for the memory figures.
 */
#include <Python.h>
#include <frameobject.h>
#include <structmember.h>
#if PY_VERSION_HEX >= 0x030B0000
/* From 3.11 a frame object's fields are described by the internal headers. */
#define Py_BUILD_CORE 1
#undef _PyGC_FINALIZED
#include <internal/pycore_frame.h>
#endif
#ifdef WITH_CALLGRIND
#include <valgrind/callgrind.h>
#endif

/* ---- frame noting ------------------------------------------------------ */

/* While set, every stand-in call looks at the current frame: a frame not seen
 * before (one without our mark in f_exc_type) counts as a new frame object and
 * gets the mark.  A frame made afresh starts with no f_exc_type, so a reused
 * frame is told apart from a new one even when it sits at the same address.
 * (f_exc_type is the saved exception state of a generator's frame; a plain
 * function's frame never uses it, and the extension's frames drop f_trace at
 * each call, so that mark would not survive.) */
static int noting_frames = 0;
static Py_ssize_t frames_noted = 0;
static Py_ssize_t frame_looks = 0;     /* stand-in calls that looked */
/* The mark: any object of ours (a function that does nothing). */
static PyObject* frame_mark = NULL;

#if PY_VERSION_HEX < 0x03070000
#define FRAME_MARKED(frame) ((frame)->f_exc_type == frame_mark)
#define MARK_FRAME(frame) do { Py_INCREF(frame_mark); Py_XSETREF((frame)->f_exc_type, frame_mark); } while (0)
#else
/* From 3.7 a frame has no exception state of its own.  The mark is then a
 * value of f_trace_opcodes that the interpreter never gives it: every new
 * frame starts with 0, and nothing but a trace function changes it (none
 * runs while frames are noted). */
#define FRAME_MARK_VALUE 0x5a
#define FRAME_MARKED(frame) ((frame)->f_trace_opcodes == FRAME_MARK_VALUE)
#define MARK_FRAME(frame) ((frame)->f_trace_opcodes = FRAME_MARK_VALUE)
#endif

static void
note_frame(void)
{
#if PY_VERSION_HEX < 0x030B0000
    PyFrameObject* frame = PyThreadState_GET()->frame;
#else
    PyFrameObject* frame = PyEval_GetFrame();  /* borrowed */
#endif
    frame_looks++;
    if (frame == NULL || FRAME_MARKED(frame))
        return;
    frames_noted++;
    MARK_FRAME(frame);
}

#define NOTE_FRAME() do { if (noting_frames) note_frame(); } while (0)

static PyObject*
mark_trace(PyObject* self, PyObject* args)
{
    Py_INCREF(self);
    return self;
}

/* ---- allocation counting ------------------------------------------------ */

/* Calls of malloc, calloc, realloc and free in the MEM and OBJ domains while
 * counting is on.  Objects taken from the interpreter's free lists (frames,
 * tuples, bound methods, ...) do not show here. */
typedef struct {
    PyMemAllocatorEx wrapped;
    PyMemAllocatorDomain domain;
} CountingAllocator;

static CountingAllocator counting_mem = {{0}, PYMEM_DOMAIN_MEM};
static CountingAllocator counting_obj = {{0}, PYMEM_DOMAIN_OBJ};
static int counting_installed = 0;
static int counting = 0;
static unsigned long long count_malloc, count_calloc, count_realloc, count_free;

static void*
counting_malloc(void* ctx, size_t size)
{
    CountingAllocator* alloc = (CountingAllocator*)ctx;
    if (counting) count_malloc++;
    return alloc->wrapped.malloc(alloc->wrapped.ctx, size);
}

static void*
counting_calloc(void* ctx, size_t nelem, size_t elsize)
{
    CountingAllocator* alloc = (CountingAllocator*)ctx;
    if (counting) count_calloc++;
    return alloc->wrapped.calloc(alloc->wrapped.ctx, nelem, elsize);
}

static void*
counting_realloc(void* ctx, void* ptr, size_t size)
{
    CountingAllocator* alloc = (CountingAllocator*)ctx;
    if (counting) {
        if (ptr == NULL) count_malloc++;
        else count_realloc++;
    }
    return alloc->wrapped.realloc(alloc->wrapped.ctx, ptr, size);
}

static void
counting_free(void* ctx, void* ptr)
{
    CountingAllocator* alloc = (CountingAllocator*)ctx;
    if (counting && ptr != NULL) count_free++;
    alloc->wrapped.free(alloc->wrapped.ctx, ptr);
}

static void
install_counting(CountingAllocator* alloc)
{
    PyMemAllocatorEx hook = {alloc, counting_malloc, counting_calloc, counting_realloc, counting_free};
    PyMem_GetAllocator(alloc->domain, &alloc->wrapped);
    PyMem_SetAllocator(alloc->domain, &hook);
}

PyDoc_STRVAR(count_allocations_doc,
"count_allocations(on)\n\nStarts (resetting the counts) or stops counting allocator calls.");

static PyObject*
count_allocations(PyObject* module, PyObject* on)
{
    int flag = PyObject_IsTrue(on);
    if (flag < 0)
        return NULL;
    if (flag && !counting_installed) {
        install_counting(&counting_mem);
        install_counting(&counting_obj);
        counting_installed = 1;
    }
    if (flag)
        count_malloc = count_calloc = count_realloc = count_free = 0;
    counting = flag;
    Py_RETURN_NONE;
}

PyDoc_STRVAR(allocations_doc,
"allocations() -> (malloc, calloc, realloc, free)\n\nAllocator calls counted so far.");

static PyObject*
allocations(PyObject* module, PyObject* unused)
{
    return Py_BuildValue("(KKKK)", count_malloc, count_calloc, count_realloc, count_free);
}

PyDoc_STRVAR(note_frames_doc,
"note_frames(on)\n\nStarts (resetting the count) or stops noting the frames current in stand-in calls.");

static PyObject*
note_frames(PyObject* module, PyObject* on)
{
    int flag = PyObject_IsTrue(on);
    if (flag < 0)
        return NULL;
    if (flag)
        frames_noted = frame_looks = 0;
    noting_frames = flag;
    Py_RETURN_NONE;
}

PyDoc_STRVAR(new_frames_doc,
"new_frames() -> (new, looks)\n\nFrame objects seen for the first time while noting, and stand-in calls that looked.");

static PyObject*
new_frames(PyObject* module, PyObject* unused)
{
    return Py_BuildValue("(nn)", frames_noted, frame_looks);
}

/* ---- Port: serial.Serial(name) ------------------------------------------ */

/* The exception that refused ports and dead modems raise. */
static PyObject* probe_failed = NULL;

typedef struct {
    PyObject_HEAD
} PortObject;

static PyTypeObject Port_Type;
static PortObject* shared_port = NULL;

/* Port(name): an opened port (always the same object). */
static PyObject*
port_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    NOTE_FRAME();
    Py_INCREF(shared_port);
    return (PyObject*)shared_port;
}

static PyObject*
port_close(PyObject* self, PyObject* unused)
{
    NOTE_FRAME();
    Py_RETURN_NONE;
}

static PyMethodDef port_methods[] = {
    {"close", port_close, METH_NOARGS, "Closes the port (does nothing)."},
    {NULL, NULL, 0, NULL}  /* sentinel */
};

static PyTypeObject Port_Type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    "bench_standins.Port",                      /* tp_name */
    sizeof(PortObject),                         /* tp_basicsize */
    0,                                          /* tp_itemsize */
    0,                                          /* tp_dealloc */
    0,                                          /* tp_print */
    0,                                          /* tp_getattr */
    0,                                          /* tp_setattr */
    0,                                          /* tp_reserved */
    0,                                          /* tp_repr */
    0,                                          /* tp_as_number */
    0,                                          /* tp_as_sequence */
    0,                                          /* tp_as_mapping */
    0,                                          /* tp_hash */
    0,                                          /* tp_call */
    0,                                          /* tp_str */
    0,                                          /* tp_getattro */
    0,                                          /* tp_setattro */
    0,                                          /* tp_as_buffer */
    Py_TPFLAGS_DEFAULT,                         /* tp_flags */
    "Port(name): a serial port that opens and closes.", /* tp_doc */
    0,                                          /* tp_traverse */
    0,                                          /* tp_clear */
    0,                                          /* tp_richcompare */
    0,                                          /* tp_weaklistoffset */
    0,                                          /* tp_iter */
    0,                                          /* tp_iternext */
    port_methods,                               /* tp_methods */
    0,                                          /* tp_members */
    0,                                          /* tp_getset */
    0,                                          /* tp_base */
    0,                                          /* tp_dict */
    0,                                          /* tp_descr_get */
    0,                                          /* tp_descr_set */
    0,                                          /* tp_dictoffset */
    0,                                          /* tp_init */
    0,                                          /* tp_alloc */
    port_new,                                   /* tp_new */
};

PyDoc_STRVAR(refuse_port_doc,
"refuse_port(name)\n\nA port that cannot be opened: raises OSError.");

static PyObject*
refuse_port(PyObject* module, PyObject* name)
{
    NOTE_FRAME();
    PyErr_SetString(PyExc_OSError, "could not open port");
    return NULL;
}

/* ---- Modem: GsmModem(port, baudrate) ------------------------------------ */

typedef struct {
    PyObject_HEAD
    int dead;           /* its connect raises ProbeFailed */
} ModemObject;

typedef struct {
    PyObject_HEAD
    PyObject* status;
} SentObject;

static PyTypeObject Modem_Type;
static PyTypeObject Sent_Type;
static ModemObject* live_modem = NULL;
static ModemObject* dead_modem = NULL;
static SentObject* shared_sent = NULL;
/* Ports whose modem does not come up (a set), or NULL for none. */
static PyObject* dead_ports = NULL;

/* Modem(port, baudrate): the shared live modem, or the shared dead one when
 * `port` is one of the dead ports. */
static PyObject*
modem_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    PyObject* port;
    PyObject* baudrate;
    ModemObject* modem = live_modem;
    NOTE_FRAME();
    if (!PyArg_UnpackTuple(args, "Modem", 2, 2, &port, &baudrate))
        return NULL;
    if (dead_ports != NULL) {
        int dead = PySet_Contains(dead_ports, port);
        if (dead < 0)
            return NULL;
        if (dead)
            modem = dead_modem;
    }
    Py_INCREF(modem);
    return (PyObject*)modem;
}

static PyObject*
modem_connect(PyObject* self, PyObject* pin)
{
    NOTE_FRAME();
    if (((ModemObject*)self)->dead) {
        PyErr_SetString(probe_failed, "no modem on this port");
        return NULL;
    }
    Py_RETURN_NONE;
}

static PyObject*
modem_wait(PyObject* self, PyObject* timeout)
{
    NOTE_FRAME();
    Py_RETURN_NONE;
}

static PyObject*
modem_send(PyObject* self, PyObject* args, PyObject* kwargs)
{
    NOTE_FRAME();
    Py_INCREF(shared_sent);
    return (PyObject*)shared_sent;
}

static PyObject*
modem_close(PyObject* self, PyObject* unused)
{
    NOTE_FRAME();
    Py_RETURN_NONE;
}

static PyMethodDef modem_methods[] = {
    {"connect", modem_connect, METH_O, "connect(pin): raises ProbeFailed on a dead port."},
    {"waitForNetworkCoverage", modem_wait, METH_O, "waitForNetworkCoverage(timeout): does nothing."},
    {"sendSms", (PyCFunction)(void (*)(void))modem_send, METH_VARARGS | METH_KEYWORDS,
     "sendSms(number, text, **options): returns the shared sent message."},
    {"close", modem_close, METH_NOARGS, "close(): does nothing."},
    {NULL, NULL, 0, NULL}  /* sentinel */
};

static PyTypeObject Modem_Type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    "bench_standins.Modem",                     /* tp_name */
    sizeof(ModemObject),                        /* tp_basicsize */
    0,                                          /* tp_itemsize */
    0,                                          /* tp_dealloc */
    0,                                          /* tp_print */
    0,                                          /* tp_getattr */
    0,                                          /* tp_setattr */
    0,                                          /* tp_reserved */
    0,                                          /* tp_repr */
    0,                                          /* tp_as_number */
    0,                                          /* tp_as_sequence */
    0,                                          /* tp_as_mapping */
    0,                                          /* tp_hash */
    0,                                          /* tp_call */
    0,                                          /* tp_str */
    0,                                          /* tp_getattro */
    0,                                          /* tp_setattro */
    0,                                          /* tp_as_buffer */
    Py_TPFLAGS_DEFAULT,                         /* tp_flags */
    "Modem(port, baudrate): a GSM modem whose operations do nothing.", /* tp_doc */
    0,                                          /* tp_traverse */
    0,                                          /* tp_clear */
    0,                                          /* tp_richcompare */
    0,                                          /* tp_weaklistoffset */
    0,                                          /* tp_iter */
    0,                                          /* tp_iternext */
    modem_methods,                              /* tp_methods */
    0,                                          /* tp_members */
    0,                                          /* tp_getset */
    0,                                          /* tp_base */
    0,                                          /* tp_dict */
    0,                                          /* tp_descr_get */
    0,                                          /* tp_descr_set */
    0,                                          /* tp_dictoffset */
    0,                                          /* tp_init */
    0,                                          /* tp_alloc */
    modem_new,                                  /* tp_new */
};

static PyMemberDef sent_members[] = {
    {"status", T_OBJECT, offsetof(SentObject, status), READONLY, "The status (0, ENROUTE)."},
    {NULL, 0, 0, 0, NULL}  /* sentinel */
};

static PyTypeObject Sent_Type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    "bench_standins.Sent",                      /* tp_name */
    sizeof(SentObject),                         /* tp_basicsize */
    0,                                          /* tp_itemsize */
    0,                                          /* tp_dealloc */
    0,                                          /* tp_print */
    0,                                          /* tp_getattr */
    0,                                          /* tp_setattr */
    0,                                          /* tp_reserved */
    0,                                          /* tp_repr */
    0,                                          /* tp_as_number */
    0,                                          /* tp_as_sequence */
    0,                                          /* tp_as_mapping */
    0,                                          /* tp_hash */
    0,                                          /* tp_call */
    0,                                          /* tp_str */
    0,                                          /* tp_getattro */
    0,                                          /* tp_setattro */
    0,                                          /* tp_as_buffer */
    Py_TPFLAGS_DEFAULT,                         /* tp_flags */
    "A sent message.",                          /* tp_doc */
    0,                                          /* tp_traverse */
    0,                                          /* tp_clear */
    0,                                          /* tp_richcompare */
    0,                                          /* tp_weaklistoffset */
    0,                                          /* tp_iter */
    0,                                          /* tp_iternext */
    0,                                          /* tp_methods */
    sent_members,                               /* tp_members */
};

PyDoc_STRVAR(set_dead_ports_doc,
"set_dead_ports(ports)\n\nModems made for these ports fail to connect.");

static PyObject*
set_dead_ports(PyObject* module, PyObject* ports)
{
    PyObject* set = PySet_New(ports);
    if (set == NULL)
        return NULL;
    Py_XSETREF(dead_ports, set);
    Py_RETURN_NONE;
}

/* ---- Sink: sys.stdout ---------------------------------------------------- */

/* A stream whose write keeps nothing, so that printing allocates nothing of
 * its own in the allocation counts. */
typedef struct {
    PyObject_HEAD
} SinkObject;

static PyObject*
sink_write(PyObject* self, PyObject* text)
{
    Py_RETURN_NONE;
}

static PyObject*
sink_flush(PyObject* self, PyObject* unused)
{
    Py_RETURN_NONE;
}

static PyMethodDef sink_methods[] = {
    {"write", sink_write, METH_O, "write(text): drops the text."},
    {"flush", sink_flush, METH_NOARGS, "flush(): does nothing."},
    {NULL, NULL, 0, NULL}  /* sentinel */
};

static PyTypeObject Sink_Type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    "bench_standins.Sink",                      /* tp_name */
    sizeof(SinkObject),                         /* tp_basicsize */
    0,                                          /* tp_itemsize */
    0,                                          /* tp_dealloc */
    0,                                          /* tp_print */
    0,                                          /* tp_getattr */
    0,                                          /* tp_setattr */
    0,                                          /* tp_reserved */
    0,                                          /* tp_repr */
    0,                                          /* tp_as_number */
    0,                                          /* tp_as_sequence */
    0,                                          /* tp_as_mapping */
    0,                                          /* tp_hash */
    0,                                          /* tp_call */
    0,                                          /* tp_str */
    0,                                          /* tp_getattro */
    0,                                          /* tp_setattro */
    0,                                          /* tp_as_buffer */
    Py_TPFLAGS_DEFAULT,                         /* tp_flags */
    "Sink(): a text stream that drops what is written.", /* tp_doc */
    0,                                          /* tp_traverse */
    0,                                          /* tp_clear */
    0,                                          /* tp_richcompare */
    0,                                          /* tp_weaklistoffset */
    0,                                          /* tp_iter */
    0,                                          /* tp_iternext */
    sink_methods,                               /* tp_methods */
    0,                                          /* tp_members */
    0,                                          /* tp_getset */
    0,                                          /* tp_base */
    0,                                          /* tp_dict */
    0,                                          /* tp_descr_get */
    0,                                          /* tp_descr_set */
    0,                                          /* tp_dictoffset */
    0,                                          /* tp_init */
    0,                                          /* tp_alloc */
    PyType_GenericNew,                          /* tp_new */
};

/* ---- callgrind client requests (no-ops when not under callgrind) -------- */

static PyObject*
callgrind_start(PyObject* module, PyObject* unused)
{
#ifdef WITH_CALLGRIND
    CALLGRIND_START_INSTRUMENTATION;
#endif
    Py_RETURN_NONE;
}

static PyObject*
callgrind_stop(PyObject* module, PyObject* unused)
{
#ifdef WITH_CALLGRIND
    CALLGRIND_STOP_INSTRUMENTATION;
#endif
    Py_RETURN_NONE;
}

static PyObject*
callgrind_zero(PyObject* module, PyObject* unused)
{
#ifdef WITH_CALLGRIND
    CALLGRIND_ZERO_STATS;
#endif
    Py_RETURN_NONE;
}

static PyObject*
callgrind_dump(PyObject* module, PyObject* label)
{
    const char* text = PyUnicode_AsUTF8(label);
    if (text == NULL)
        return NULL;
#ifdef WITH_CALLGRIND
    CALLGRIND_DUMP_STATS_AT(text);
#endif
    Py_RETURN_NONE;
}

/* ---- module ---------------------------------------------------------- */

static PyMethodDef standins_methods[] = {
    {"count_allocations", count_allocations, METH_O, count_allocations_doc},
    {"allocations", allocations, METH_NOARGS, allocations_doc},
    {"note_frames", note_frames, METH_O, note_frames_doc},
    {"new_frames", new_frames, METH_NOARGS, new_frames_doc},
    {"refuse_port", refuse_port, METH_O, refuse_port_doc},
    {"set_dead_ports", set_dead_ports, METH_O, set_dead_ports_doc},
    {"callgrind_start", callgrind_start, METH_NOARGS, "Starts callgrind's instrumentation."},
    {"callgrind_stop", callgrind_stop, METH_NOARGS, "Stops callgrind's instrumentation."},
    {"callgrind_zero", callgrind_zero, METH_NOARGS, "Zeroes callgrind's counts."},
    {"callgrind_dump", callgrind_dump, METH_O, "callgrind_dump(label): dumps callgrind's counts."},
    {NULL, NULL, 0, NULL}  /* sentinel */
};

static PyMethodDef mark_def = {"frame_mark", mark_trace, METH_VARARGS, "A trace function that does nothing."};

static struct PyModuleDef standins_module = {
    PyModuleDef_HEAD_INIT,
    "bench_standins",
    "In-memory stand-ins for serial ports and modems, and allocation and frame counters.",
    -1,
    standins_methods,
};

PyMODINIT_FUNC
PyInit_bench_standins(void)
{
    PyObject* module;
    if (PyType_Ready(&Port_Type) < 0 || PyType_Ready(&Modem_Type) < 0 || PyType_Ready(&Sent_Type) < 0 ||
        PyType_Ready(&Sink_Type) < 0)
        return NULL;
    module = PyModule_Create(&standins_module);
    if (module == NULL)
        return NULL;
    probe_failed = PyErr_NewException("bench_standins.ProbeFailed", PyExc_Exception, NULL);
    frame_mark = PyCFunction_New(&mark_def, NULL);
    shared_port = PyObject_New(PortObject, &Port_Type);
    live_modem = PyObject_New(ModemObject, &Modem_Type);
    dead_modem = PyObject_New(ModemObject, &Modem_Type);
    shared_sent = PyObject_New(SentObject, &Sent_Type);
    if (probe_failed == NULL || frame_mark == NULL || shared_port == NULL || live_modem == NULL ||
        dead_modem == NULL || shared_sent == NULL) {
        Py_DECREF(module);
        return NULL;
    }
    live_modem->dead = 0;
    dead_modem->dead = 1;
    shared_sent->status = PyLong_FromLong(0);
    Py_INCREF(&Port_Type);
    Py_INCREF(&Modem_Type);
    Py_INCREF(probe_failed);
    Py_INCREF(&Sink_Type);
    if (shared_sent->status == NULL ||
        PyModule_AddObject(module, "Port", (PyObject*)&Port_Type) < 0 ||
        PyModule_AddObject(module, "Modem", (PyObject*)&Modem_Type) < 0 ||
        PyModule_AddObject(module, "ProbeFailed", probe_failed) < 0 ||
        PyModule_AddObject(module, "Sink", (PyObject*)&Sink_Type) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
