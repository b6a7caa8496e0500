"""The smsline benchmark suite: smsline.send_sms against the same code as plain
Python and as a Cython build, on the same inputs.

Run it through `bash benchmarks/run` (which sets everything up first); run
directly, it expects the extension to be built already:

    .venv/bin/python benchmarks/suite.py [--quick] [--json PATH] [--extension SO]

It prints a table and writes the figures to a JSON file (build/benchmarks.json
by default).  It measures and reports; nothing here passes or fails on a
figure.
"""
import argparse
import datetime
import gc
import io
import itertools
import json
import os
import platform
import py_compile
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
import timeit
import types

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PYTHON_DIR = os.path.join(ROOT, 'python')
# The Python text that the extension's function bodies mirror, line for line.
REFERENCE = os.path.join(ROOT, 'smsline', 'send_sms.py')
EXT_SUFFIX = sysconfig.get_config_var('EXT_SUFFIX')
EXTENSION_NAME = 'smsline' + EXT_SUFFIX
# What users get: the Release build (link-time optimised) that scripts/setup
# installs into the project's environment with `pip install .`, in the
# site-packages of the environment whose interpreter runs the suite.
INSTALLED_EXTENSION = os.path.join(sysconfig.get_paths()['platlib'], EXTENSION_NAME)
CONTENDERS = ('smsline', 'python', 'cython', 'floor')
MODULES = {'smsline': 'smsline.send_sms', 'python': 'reference_send_sms', 'cython': 'cython_send_sms',
           'floor': 'floor_send_sms'}
# The contenders compiled into an extension module of their own, whose own
# machine code the instruction runs can tell from the code they call: the
# module's file name in build_dir (smsline's is the extension measured).
COMPILED_MODULES = {'cython': 'cython_send_sms', 'floor': 'floor_send_sms'}
NUMBER, TEXT = '+15551234567', 'Hello from the benchmarks'

# The in-memory cases, in table order: (key, title).  The callees (serial
# ports, modems, sys, glob) are C stand-ins (benchmarks/standins.c) unless
# the key ends in "_py": then the ports and modems are ordinary Python
# classes with an instance dictionary (benchmarks/python_standins.py).
IN_MEMORY_CASES = (
    ('serial_ports_com256', 'serial_ports(), 256 COM candidates'),
    ('serial_ports_glob32', 'serial_ports(), 32 candidates from glob'),
    ('serial_ports_com256_refused', 'serial_ports(), 256 COM candidates, none opens'),
    ('send_sms_1port', 'send_sms, 1 port'),
    ('send_sms_8ports', 'send_sms, 8 ports, first 7 probes fail'),
    ('send_sms_all_fail', 'send_sms, 8 ports, every probe fails'),
    ('send_sms_no_port', 'send_sms, no port ("Gsm Device Not Found")'),
    ('serial_ports_com256_py', 'serial_ports(), 256 COM candidates, Python Serial'),
    ('serial_ports_com256_refused_py', 'serial_ports(), 256 COM candidates, none opens, Python Serial'),
    ('send_sms_1port_py', 'send_sms, 1 port, Python GsmModem'),
    ('send_sms_8ports_py', 'send_sms, 8 ports, first 7 probes fail, Python GsmModem'),
    ('send_sms_all_fail_py', 'send_sms, 8 ports, every probe fails, Python GsmModem'),
)
# Cases that end in an exception (the timing loop catches it).
FAILING_CASES = ('send_sms_all_fail', 'send_sms_no_port', 'send_sms_all_fail_py')
SUCCESSFUL_CASES = tuple(key for key, _ in IN_MEMORY_CASES if key not in FAILING_CASES)


def python_callees(key):
    """Whether the case's ports and modems are Python objects (else C)."""
    return key.endswith('_py')


IMPORT_CASES = (
    ('import_total', 'import in a fresh interpreter (with serial, smsline_gsm.modem)'),
    ('import_own', 'import after serial and smsline_gsm.modem'),
)
END_TO_END_CASE = ('end_to_end', 'end to end: one message through the simulator (pty, pyserial)')
# The same with a text that goes in 3 concatenated parts (PDU mode): (key, title, text).
LONG_TEXT = ('A text too long for one message goes in linked parts. ' * 8)[:400]
END_TO_END_LONG_CASE = ('end_to_end_3parts',
                        'end to end: a 3-part message (400 characters) through the simulator',
                        LONG_TEXT)


# ---- building the contenders --------------------------------------------

def log(message):
    print('bench: %s' % message, file=sys.stderr, flush=True)


def compile_extension(source, module_name, build_dir, extra_flags=()):
    """Compiles one C file into an extension module for this interpreter; returns its path."""
    target = os.path.join(build_dir, module_name + EXT_SUFFIX)
    if os.path.exists(target) and os.path.getmtime(target) >= os.path.getmtime(source):
        return target
    include = sysconfig.get_paths()['include']
    flags = sysconfig.get_config_var('CFLAGS').split()
    command = (['gcc', '-shared', '-fPIC', '-pthread'] + flags + list(extra_flags) +
               ['-I' + include, source, '-o', target + '.tmp'])
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    if done.returncode != 0:
        raise RuntimeError('compiling %s failed:\n%s' % (source, done.stdout))
    os.replace(target + '.tmp', target)
    return target


def build_reference(build_dir):
    """Copies the reference module into the build folder with its bytecode cached."""
    target = os.path.join(build_dir, 'reference_send_sms.py')
    shutil.copyfile(REFERENCE, target)
    py_compile.compile(target, doraise=True)
    return target


def build_cython(build_dir):
    """The reference source through Debian's cython3, compiled with gcc; None without cython3."""
    cython = shutil.which('cython3') or shutil.which('cython')
    if cython is None:
        return None
    source = os.path.join(build_dir, 'cython_send_sms.py')
    generated = os.path.join(build_dir, 'cython_send_sms.c')
    target = os.path.join(build_dir, 'cython_send_sms' + EXT_SUFFIX)
    reference = REFERENCE
    if os.path.exists(target) and os.path.getmtime(target) >= os.path.getmtime(reference):
        return target
    shutil.copyfile(reference, source)
    # Annotations stay metadata, as in the interpreter: with annotation typing
    # Cython would turn `phone_number: str` into a type check.
    command = [cython, '-3', '--directive', 'annotation_typing=False', '-o', generated, source]
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    if done.returncode != 0:
        raise RuntimeError('cython failed:\n%s' % done.stdout)
    return compile_extension(generated, 'cython_send_sms', build_dir, ['-Wno-unused-function'])


def cython_version():
    cython = shutil.which('cython3') or shutil.which('cython')
    if cython is None:
        return None
    done = subprocess.run([cython, '--version'], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    return done.stdout.strip()


def build_all(options):
    os.makedirs(options.build_dir, exist_ok=True)
    flags = ['-DWITH_CALLGRIND'] if os.path.exists('/usr/include/valgrind/callgrind.h') else []
    compile_extension(os.path.join(HERE, 'standins.c'), 'bench_standins', options.build_dir, flags)
    compile_extension(os.path.join(HERE, 'floor.c'), COMPILED_MODULES['floor'], options.build_dir)
    build_reference(options.build_dir)
    if not options.no_cython:
        started = time.perf_counter()
        try:
            built = build_cython(options.build_dir)
        except RuntimeError as error:
            # Debian's cython3 generates C for the interpreters it knows;
            # for a later one (3.12 and on) its code does not compile.
            options.cython_left_out = '%s cannot build for Python %d.%d' % (
                cython_version(), sys.version_info[0], sys.version_info[1])
            log('%s: the Cython contender is left out (%s)' % (options.cython_left_out,
                                                              str(error).splitlines()[0]))
            options.no_cython = True
        else:
            if built is None:
                options.cython_left_out = 'cython3 not found'
                log('cython3 not found: the Cython contender is left out')
                options.no_cython = True
            else:
                log('Cython build ready (%.1f s)' % (time.perf_counter() - started))


def import_path(options):
    return [os.path.dirname(options.extension), options.build_dir, HERE, PYTHON_DIR]


def load_contenders(options):
    """Imports the contender modules; returns {name: module}."""
    for entry in reversed(import_path(options)):
        if entry not in sys.path:
            sys.path.insert(0, entry)
    import importlib
    modules = {}
    for name in CONTENDERS:
        if name == 'cython' and options.no_cython:
            continue
        modules[name] = importlib.import_module(MODULES[name])
    # The floor's globals are what the Python source imports (the modem
    # class: the one smsline.send_sms uses).
    import glob, serial
    modules['floor'].__dict__.update(sys=sys, glob=glob, serial=serial, GsmModem=modules['smsline'].GsmModem)
    import smsline
    loaded = os.path.realpath(smsline.__file__)
    if loaded != os.path.realpath(options.extension):
        raise RuntimeError('imported %s instead of %s' % (loaded, options.extension))
    return modules


# ---- stand-ins ------------------------------------------------------------

class StandIns(object):
    """The in-memory world of each case, bound into a contender module's globals."""

    def __init__(self):
        import serial
        import bench_standins
        import python_standins
        self.c = bench_standins
        self.py = python_standins
        self.serial = self._module('serial', Serial=bench_standins.Port,
                                   SerialException=serial.SerialException)
        self.refusing_serial = self._module('serial', Serial=bench_standins.refuse_port,
                                            SerialException=serial.SerialException)
        self.python_serial = self._module('serial', Serial=python_standins.Serial,
                                          SerialException=python_standins.SerialException)
        self.python_refusing_serial = self._module('serial', Serial=python_standins.RefusingSerial,
                                                   SerialException=python_standins.SerialException)
        self.windows = self._module('sys', platform='win32')
        self.linux = self._module('sys', platform='linux')
        names = ['/dev/ttyUSB%d' % i for i in range(32)]
        self.glob = self._module('glob', glob={'/dev/tty[A-Za-z]*': names}.get)
        self.eight_ports = ['/dev/ttyUSB%d' % i for i in range(8)]

    @staticmethod
    def _module(name, **attributes):
        module = types.ModuleType(name)
        module.__dict__.update(attributes)
        return module

    @staticmethod
    def returning(value):
        """A C callable without arguments that returns `value`."""
        return itertools.repeat(value).__next__

    def set_dead_ports(self, ports):
        """Modems (C and Python) made for these ports fail to connect."""
        self.c.set_dead_ports(ports)
        self.py.set_dead_ports(ports)

    def case(self, key):
        """(globals to bind, dead ports, positional arguments) of one case."""
        python = python_callees(key)
        modem = self.py.GsmModem if python else self.c.Modem
        base = key[:-len('_py')] if python else key
        if base == 'serial_ports_com256':
            return dict(sys=self.windows, serial=self.python_serial if python else self.serial), (), ()
        if base == 'serial_ports_glob32':
            return dict(sys=self.linux, glob=self.glob, serial=self.serial), (), ()
        if base == 'serial_ports_com256_refused':
            return (dict(sys=self.windows, serial=self.python_refusing_serial if python else self.refusing_serial),
                    (), ())
        if base == 'send_sms_1port':
            return (dict(serial_ports=self.returning(['/dev/ttyUSB0']), GsmModem=modem), (),
                    (NUMBER, TEXT))
        if base == 'send_sms_8ports':
            return (dict(serial_ports=self.returning(self.eight_ports), GsmModem=modem),
                    self.eight_ports[:7], (NUMBER, TEXT))
        if base == 'send_sms_all_fail':
            return (dict(serial_ports=self.returning(self.eight_ports), GsmModem=modem),
                    self.eight_ports, (NUMBER, TEXT))
        if base == 'send_sms_no_port':
            return dict(serial_ports=self.returning([]), GsmModem=modem), (), (NUMBER, TEXT)
        raise KeyError(key)


class Bound(object):
    """Binds names into module globals for a while, then puts the old values back."""
    _missing = object()

    def __init__(self, modules, names):
        self.modules, self.names, self.saved = modules, names, []

    def __enter__(self):
        for module in self.modules:
            for name, value in self.names.items():
                self.saved.append((module, name, module.__dict__.get(name, self._missing)))
                module.__dict__[name] = value
        return self

    def __exit__(self, *exc):
        for module, name, value in reversed(self.saved):
            if value is self._missing:
                module.__dict__.pop(name, None)
            else:
                module.__dict__[name] = value
        self.saved = []


class Stdout(object):
    """sys.stdout replaced for a while (print goes through the builtin to it)."""

    def __init__(self, stream):
        self.stream = stream

    def __enter__(self):
        self.saved, sys.stdout = sys.stdout, self.stream
        return self.stream

    def __exit__(self, *exc):
        sys.stdout = self.saved


def function_of(module, key):
    return module.serial_ports if key.startswith('serial_ports') else module.send_sms


def statement(key):
    """The timed statement of a case (the failure paths catch their exception)."""
    if key in FAILING_CASES:
        return 'try:\n    f(*a)\nexcept Exception:\n    pass'
    return 'f(*a)'


def run_once(module, key, args):
    """One call with its printed output caught: (result or exception, output, traceback line)."""
    out = io.StringIO()
    with Stdout(out):
        try:
            outcome = ('result', function_of(module, key)(*args))
            line = None
        except Exception as error:
            outcome = ('raised', type(error).__name__, str(error))
            tb, line = error.__traceback__, None
            while tb is not None:
                if tb.tb_frame.f_code.co_name.endswith('send_sms'):  # Cython: module.send_sms
                    line = tb.tb_lineno
                tb = tb.tb_next
    return outcome, out.getvalue(), line


def agrees(name, check, reference):
    """Whether a contender's run_once agrees with smsline's: result, output
    and traceback line; the floor has no frames, so no traceback line."""
    return check[:2] == reference[:2] if name == 'floor' else check == reference


# ---- figures ----------------------------------------------------------------

def quantile(ordered, q):
    position = (len(ordered) - 1) * q
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


def summary(samples, scale=1.0):
    ordered = sorted(s * scale for s in samples)
    return {'median': quantile(ordered, 0.5), 'q1': quantile(ordered, 0.25), 'q3': quantile(ordered, 0.75),
            'min': ordered[0], 'max': ordered[-1], 'samples': len(ordered)}


def calibrate(timer, target):
    """Loops per repeat so that one repeat takes at least `target` seconds."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= target or number >= 10 ** 7:
            return number
        number = number * 10 if elapsed < target / 20 else max(number + 1, int(number * target * 1.2 / elapsed))


# ---- the in-memory cases ----------------------------------------------------

def time_in_memory_cases(modules, standins, options, results):
    devnull = open(os.devnull, 'w')
    for key, title in IN_MEMORY_CASES:
        names, dead, args = standins.case(key)
        standins.set_dead_ports(dead)
        with Bound(modules.values(), names):
            checks = {name: run_once(module, key, args) for name, module in modules.items()}
            timers, loops, samples = {}, {}, {}
            with Stdout(devnull):
                for name, module in modules.items():
                    timers[name] = timeit.Timer(statement(key), globals={'f': function_of(module, key), 'a': args})
                    timers[name].timeit(3)  # warm-up: caches, the first-call frame
                    loops[name] = calibrate(timers[name], options.target_time)
                    samples[name] = []
                order = list(modules)
                for repeat in range(options.repeats):
                    # rotate so that no contender always runs first
                    for name in order[repeat % len(order):] + order[:repeat % len(order)]:
                        samples[name].append(timers[name].timeit(loops[name]) / loops[name])
                devnull.flush()
        entry = {'title': title, 'unit': 'us', 'contenders': {}}
        for name in modules:
            figures = summary(samples[name], 1e6)
            figures['loops'] = loops[name]
            entry['contenders'][name] = figures
        reference_check = checks['smsline']
        entry['same_behaviour'] = all(agrees(name, check, reference_check) for name, check in checks.items())
        entry['outcome'] = {'smsline': repr(reference_check[0])[:120], 'traceback_line': reference_check[2]}
        if not entry['same_behaviour']:
            entry['outcomes'] = {name: repr(check)[:300] for name, check in checks.items()}
            log('%s: the contenders disagree: %r' % (key, entry['outcomes']))
        add_ratios(entry)
        results['cases'][key] = entry
        log('%-28s done' % key)
    standins.set_dead_ports(())
    devnull.close()


def add_ratios(entry):
    """Each contender's median over smsline's: above 1 means smsline is faster."""
    base = entry['contenders']['smsline']['median']
    entry['ratios'] = {name: (figures['median'] / base if base > 0 else None)
                       for name, figures in entry['contenders'].items() if name != 'smsline'}


# ---- imports in fresh interpreters -----------------------------------------

IMPORT_CODE = {
    'baseline': 'import time\nt = time.perf_counter()\nimport serial, smsline_gsm.modem\n'
                'print(time.perf_counter() - t)',
    'total': 'import time\nt = time.perf_counter()\nimport {module}\nprint(time.perf_counter() - t)',
    'own': 'import time, serial, smsline_gsm.modem\nt = time.perf_counter()\nimport {module}\n'
           'print(time.perf_counter() - t)',
}


def time_imports(options, contenders, results):
    environment = dict(os.environ)
    environment.pop('TARVIK_PACKAGE_smsline', None)
    environment.pop('PYTHONDONTWRITEBYTECODE', None)   # bytecode is cached and used
    environment['PYTHONPATH'] = os.pathsep.join(import_path(options))
    variants = [('baseline', None)] + [(kind, name) for name in contenders for kind in ('total', 'own')]

    def run(kind, name):
        code = IMPORT_CODE[kind].format(module=MODULES.get(name, ''))
        started = time.perf_counter()
        done = subprocess.run([sys.executable, '-c', code], env=environment, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True)
        wall = time.perf_counter() - started
        if done.returncode != 0:
            raise RuntimeError('import run failed: %s' % done.stderr)
        return float(done.stdout.split()[-1]), wall

    subprocess.run([sys.executable, '-m', 'compileall', '-q', os.path.join(PYTHON_DIR, 'smsline_gsm')],
                   stdout=subprocess.DEVNULL)
    for kind, name in variants:   # writes any missing bytecode (serial's too) before timing
        run(kind, name)
    inside = {variant: [] for variant in variants}
    wall = {variant: [] for variant in variants}
    for run_index in range(options.import_runs):
        for variant in variants[run_index % len(variants):] + variants[:run_index % len(variants)]:
            seconds, elapsed = run(*variant)
            inside[variant].append(seconds)
            wall[variant].append(elapsed)
    baseline = summary(inside[('baseline', None)], 1e3)
    results['import_baseline'] = {'title': 'import serial, smsline_gsm.modem alone', 'unit': 'ms',
                                  'inside': baseline, 'wall': summary(wall[('baseline', None)], 1e3)}
    for kind, title in (('total', IMPORT_CASES[0][1]), ('own', IMPORT_CASES[1][1])):
        entry = {'title': title, 'unit': 'ms', 'contenders': {}}
        for name in contenders:
            figures = summary(inside[(kind, name)], 1e3)
            if kind == 'total':
                figures['over_baseline'] = figures['median'] - baseline['median']
                figures['wall'] = summary(wall[(kind, name)], 1e3)
            entry['contenders'][name] = figures
        add_ratios(entry)
        results['cases']['import_' + kind] = entry
    log('imports done')


# ---- end to end -----------------------------------------------------------

def time_end_to_end(modules, options, results):
    for key, title, text in (END_TO_END_CASE + (TEXT,), END_TO_END_LONG_CASE):
        time_one_end_to_end(modules, options, results, key, title, text)


def time_one_end_to_end(modules, options, results, key, title, text):
    from smsline_tools.modem_sim import ModemSimulator
    samples = {name: [] for name in modules}
    devnull = open(os.devnull, 'w')
    with ModemSimulator() as sim:
        ports = StandIns.returning([sim.port])
        with Bound(modules.values(), {'serial_ports': ports}), Stdout(devnull):
            for name, module in modules.items():     # warm-up
                module.send_sms(NUMBER, text)
            order = list(modules)
            for send in range(options.sends):
                for name in order[send % len(order):] + order[:send % len(order)]:
                    started = time.perf_counter()
                    modules[name].send_sms(NUMBER, text)
                    samples[name].append(time.perf_counter() - started)
        whole = [m for m in sim.messages if m['text'] == text]
        received, parts = len(whole), sorted(set(m['parts'] for m in whole))
    devnull.close()
    expected = len(modules) * (options.sends + 1)
    entry = {'title': title, 'unit': 'ms', 'messages_received': received,
             'messages_sent': expected, 'parts_per_message': parts, 'contenders': {}}
    for name in modules:
        entry['contenders'][name] = summary(samples[name], 1e3)
    add_ratios(entry)
    results['cases'][key] = entry
    log('%s done (%d of %d messages received whole)' % (key, received, expected))


# ---- memory: allocations and frames, in a fresh interpreter ------------------

def call_many(f, args, count):
    """`count` calls of f(*args); an Exception (the failure path) is dropped."""
    for _ in range(count):
        try:
            f(*args)
        except Exception:
            pass


def keeps_nothing(*args):
    return None


class Traced(object):
    """Blocks left behind by calls, as tracemalloc sees them."""

    def __init__(self):
        import tracemalloc
        self.tracemalloc = tracemalloc
        self.own = [tracemalloc.Filter(False, tracemalloc.__file__)]

    def now(self):
        """(blocks, bytes) traced now, less tracemalloc's own; the snapshot is
        gone again before the next call."""
        traces = self.tracemalloc.take_snapshot().filter_traces(self.own).traces
        return len(traces), sum(trace.size for trace in traces)

    def growth(self, f, args, count):
        """(blocks, bytes) gained over `count` calls, after `count` calls that
        fill whatever the calls and the first snapshot cache."""
        self.now()
        call_many(f, args, count)
        first = self.now()
        call_many(f, args, count)
        second = self.now()
        return second[0] - first[0], second[1] - first[1]

    def kept(self, f, args, count):
        """(blocks, bytes) that `count` calls leave behind: the growth less
        that of as many calls of a function that keeps nothing, since taking
        the figures leaves a few blocks of its own."""
        self.tracemalloc.start()
        try:
            blocks, size = self.growth(f, args, count)
            null_blocks, null_size = self.growth(keeps_nothing, args, count)
            where = []
            if blocks > null_blocks:
                before = self.tracemalloc.take_snapshot().filter_traces(self.own)
                call_many(f, args, count)
                after = self.tracemalloc.take_snapshot().filter_traces(self.own)
                where = ['%s:%d %+d blocks' % (stat.traceback[0].filename, stat.traceback[0].lineno,
                                               stat.count_diff)
                         for stat in after.compare_to(before, 'lineno')[:3] if stat.count_diff]
            return blocks - null_blocks, size - null_size, where
        finally:
            self.tracemalloc.stop()


def memory_child(options):
    """Runs in its own interpreter: the allocator hook and the frame marks must
    not touch the timed runs.  Prints the figures as JSON."""
    modules = load_contenders(options)
    standins = StandIns()
    c = standins.c
    traced = Traced()
    calls = options.memory_calls
    figures = {}
    for key, _ in IN_MEMORY_CASES:
        names, dead, args = standins.case(key)
        standins.set_dead_ports(dead)
        figures[key] = {}
        # print goes to a sink that keeps nothing, so that only the
        # functions' own allocations show
        with Bound(modules.values(), names), Stdout(c.Sink()):
            for name, module in modules.items():
                f = function_of(module, key)
                call_many(f, args, 5)
                gc.collect()
                gc.disable()
                c.count_allocations(True)
                call_many(f, args, calls)
                c.count_allocations(False)
                mallocs, callocs, reallocs, frees = c.allocations()

                c.note_frames(True)
                call_many(f, args, 1)
                first, _ = c.new_frames()
                call_many(f, args, calls)
                noted, looks = c.new_frames()
                c.note_frames(False)

                kept_blocks, kept_bytes, where = traced.kept(f, args, calls)
                gc.enable()
                figures[key][name] = {
                    'calls': calls,
                    'allocations_per_call': (mallocs + callocs) / calls,
                    'reallocations_per_call': reallocs / calls,
                    'frees_per_call': frees / calls,
                    'outstanding_blocks': kept_blocks,
                    'outstanding_blocks_per_call': kept_blocks / calls,
                    'outstanding_bytes_per_call': kept_bytes / calls,
                    'new_frames_first_call': first,
                    # None: no stand-in ran (no port), so no frame could be seen
                    'new_frames_per_call': (noted - first) / calls if looks else None,
                    'where': where,
                }
    standins.set_dead_ports(())
    print(json.dumps(figures))


def measure_memory(options, results):
    command = child_command(options, '--memory-child')
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    if done.returncode != 0:
        raise RuntimeError('memory run failed:\n%s' % done.stderr)
    results['memory'] = json.loads(done.stdout.splitlines()[-1])
    log('memory done')


def child_command(options, mode, interpreter=None):
    command = (interpreter or []) + [sys.executable, os.path.abspath(__file__), mode,
                                     '--extension', options.extension, '--build-dir', options.build_dir,
                                     '--memory-calls', str(options.memory_calls),
                                     '--instruction-calls', str(options.instruction_calls)]
    if options.no_cython:
        command.append('--no-cython')
    return command


# ---- instructions per call, under callgrind -----------------------------------

def instructions_child(options):
    """Runs under valgrind --tool=callgrind --instr-atstart=no: instruments
    only the measured calls of each case and contender and dumps their counts."""
    modules = load_contenders(options)
    standins = StandIns()
    c = standins.c
    calls = options.instruction_calls
    for key, _ in IN_MEMORY_CASES:
        names, dead, args = standins.case(key)
        standins.set_dead_ports(dead)
        with Bound(modules.values(), names), Stdout(c.Sink()):
            # Every contender runs the case first, so that the stand-ins'
            # Python code, which they share, has settled (the interpreter
            # adapts its instructions as they run) before any is measured.
            for module in modules.values():
                call_many(function_of(module, key), args, WARM_UP_CALLS)
            for name, module in modules.items():
                f = function_of(module, key)
                gc.disable()
                call_many(f, args, 3)
                c.callgrind_start()
                call_many(f, args, 3)   # warms the simulated caches
                c.callgrind_zero()
                call_many(f, args, calls)
                c.callgrind_dump('%s %s' % (key, name))
                c.callgrind_stop()
                gc.enable()
    standins.set_dead_ports(())


DUMP_LABEL = 'desc: Trigger: Client Request: '
# Calls of each contender on a case before any is measured.
WARM_UP_CALLS = 20


def own_code_instructions(dump_path, object_names):
    """Instructions that ran in the machine code of each named object (file
    base names), from a callgrind dump: the self cost of every function that
    the object holds, so that what it calls (the interpreter, libc, the
    stand-ins) is left out.  Returns {base name: instructions}."""
    objects = {}          # compressed id -> base name
    own = dict.fromkeys(object_names, 0)
    current = None        # base name of the object of the function at hand
    call_cost_follows = False
    def object_named(reference):
        # "(id) name" defines a compressed name (on an ob= or a cob= line,
        # whichever comes first), "(id)" refers to one.
        if not reference.startswith('('):
            return os.path.basename(reference)
        identifier, _, name = reference.partition(')')
        if name.strip():
            objects[identifier] = os.path.basename(name.strip())
        return objects.get(identifier)

    with open(dump_path) as dump:
        for line in dump:
            if line.startswith('ob='):
                current = object_named(line[3:].strip())
            elif line.startswith('cob='):
                object_named(line[4:].strip())
            elif line.startswith('calls='):
                call_cost_follows = True  # the next cost line is the call's inclusive cost
            elif line[:1].isdigit() or line[:1] in '+-*':
                if call_cost_follows:
                    call_cost_follows = False
                elif current in own:
                    fields = line.split()
                    if len(fields) >= 2:
                        own[current] += int(fields[1])
    return own


def count_instructions(options, results):
    valgrind = shutil.which('valgrind')
    if valgrind is None:
        log('valgrind not found: no instruction counts')
        return
    keep = options.keep_callgrind
    out_dir = os.path.abspath(keep) if keep else tempfile.mkdtemp(prefix='bench-callgrind-')
    if keep:
        os.makedirs(out_dir, exist_ok=True)
        for file_name in os.listdir(out_dir):
            if file_name.startswith('callgrind.out'):
                os.remove(os.path.join(out_dir, file_name))
    try:
        interpreter = [valgrind, '--tool=callgrind', '--instr-atstart=no',
                       '--callgrind-out-file=' + os.path.join(out_dir, 'callgrind.out')]
        # A fixed hash seed: string hashes decide dictionary probes, and so
        # instruction counts, from one run to the next.
        environment = dict(os.environ, PYTHONHASHSEED='0')
        done = subprocess.run(child_command(options, '--instructions-child', interpreter), env=environment,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        if done.returncode != 0:
            raise RuntimeError('callgrind run failed:\n%s' % done.stderr[-3000:])
        counts, own = {}, {}
        objects = {'smsline': os.path.basename(options.extension)}
        objects.update({name: module + EXT_SUFFIX for name, module in COMPILED_MODULES.items()})
        for file_name in os.listdir(out_dir):
            label, total = None, None
            path = os.path.join(out_dir, file_name)
            with open(path) as dump:
                for line in dump:
                    if line.startswith(DUMP_LABEL):
                        label = line[len(DUMP_LABEL):].strip()
                    elif line.startswith('summary: '):
                        total = int(line.split()[1])
            if label and total is not None:
                key, name = label.split()
                counts.setdefault(key, {})[name] = total / options.instruction_calls
                if name in objects:
                    cost = own_code_instructions(path, [objects[name]])[objects[name]]
                    own.setdefault(key, {})[name] = cost / options.instruction_calls
        titles = dict(IN_MEMORY_CASES)
        for key, per_contender in counts.items():
            if key in titles:
                entry = results['cases'].setdefault(key, {'title': titles[key], 'unit': 'us', 'contenders': {},
                                                          'ratios': {}})
                entry['instructions'] = per_contender
                entry['own_instructions'] = own.get(key, {})
                entry['callees'] = 'Python' if python_callees(key) else 'C'
                base = per_contender.get('smsline')
                entry['instruction_ratios'] = {name: value / base for name, value in per_contender.items()
                                               if name != 'smsline' and base}
        log('instruction counts done')
    finally:
        if not keep:
            shutil.rmtree(out_dir, ignore_errors=True)


# ---- targets, table, report ---------------------------------------------------

# Blocks kept per call from which a call is taken to leave something behind.
LEAK_THRESHOLD = 0.01


def evaluate_targets(results):
    cases = {key: entry for key, entry in results['cases'].items() if entry['contenders']}
    targets = []

    def add(name, met, detail):
        targets.append({'target': name, 'met': met, 'detail': detail})

    com = cases.get('serial_ports_com256')
    if com:
        ratio = com['ratios'].get('python')
        add('smsline >= 1.5x faster than the interpreter on serial_ports() with 256 candidates',
            ratio is not None and ratio >= 1.5, 'python/smsline = %.2f' % ratio)
    in_memory = [key for key, _ in IN_MEMORY_CASES if key in cases]
    if in_memory and all('cython' in cases[key]['ratios'] for key in in_memory):
        slower = ['%s (%.2f)' % (key, cases[key]['ratios']['cython']) for key in in_memory
                  if cases[key]['ratios']['cython'] <= 1.0]
        add('smsline faster than the Cython build on every in-memory case', not slower,
            'cython/smsline: ' + ', '.join('%s %.2f' % (key, cases[key]['ratios']['cython']) for key in in_memory))
    memory = results.get('memory')
    if memory:
        leaks, frames = [], []
        for key in SUCCESSFUL_CASES:
            figures = memory.get(key, {}).get('smsline')
            if figures is None:
                continue
            # A block left by every call shows as N blocks over N calls; a
            # couple of blocks in all is the measurement's own (caches that
            # tracemalloc's snapshots fill), the same for every contender.
            if figures['outstanding_blocks_per_call'] >= LEAK_THRESHOLD:
                leaks.append('%s: %.3f blocks/call' % (key, figures['outstanding_blocks_per_call']))
            if figures['new_frames_per_call']:
                frames.append('%s: %.3f frames/call' % (key, figures['new_frames_per_call']))
        add('a successful call allocates nothing that outlives it', not leaks, '; '.join(leaks) or
            'blocks kept after %d calls: %s' % (
                memory[SUCCESSFUL_CASES[0]]['smsline']['calls'],
                ', '.join('%s %d' % (key, memory[key]['smsline']['outstanding_blocks'])
                          for key in SUCCESSFUL_CASES if key in memory)))
        add('a successful call creates no frame object after the first call', not frames,
            '; '.join(frames) or 'the first call\'s frame is reused')
    end = cases.get('end_to_end')
    if end:
        median = end['contenders']['smsline']['median']
        add('one message end to end under 50 ms median', median < 50.0, 'median %.2f ms' % median)
    targets.extend(instruction_targets(results))
    results['targets'] = targets


# How far above the floor smsline may be where the callees are Python code.
FLOOR_MARGIN = 1.03


def instruction_targets(results):
    """The verdicts on the instruction counts of one run: smsline below
    Cython on every case (where Cython builds), below the interpreted twin on
    every case whose callees are C, and within FLOOR_MARGIN of the frameless
    C floor where they are Python.  A list of {'target', 'met', 'detail'}."""
    counted = [(key, results['cases'][key]['instructions']) for key, _ in IN_MEMORY_CASES
               if results['cases'].get(key, {}).get('instructions', {}).get('smsline')]
    targets = []

    def judge(target, keys, contender, passes):
        figures = [(key, counts['smsline'], counts[contender]) for key, counts in counted
                   if key in keys and contender in counts]
        if not figures:
            return
        missed = ['%s %.0f vs %.0f' % (key, mine, theirs) for key, mine, theirs in figures if not passes(mine, theirs)]
        targets.append({'target': target, 'met': not missed,
                        'detail': ('missed on ' + '; '.join(missed)) if missed else
                        '%d cases' % len(figures)})

    every = [key for key, _ in counted]
    c_callees = [key for key in every if not python_callees(key)]
    python = [key for key in every if python_callees(key)]
    judge('smsline below Cython in instructions on every case', every, 'cython', lambda mine, theirs: mine < theirs)
    judge('smsline below the interpreter in instructions where the callees are C', c_callees, 'python',
          lambda mine, theirs: mine < theirs)
    judge('smsline within %d%% of the C floor in instructions where the callees are Python' %
          round((FLOOR_MARGIN - 1) * 100), python, 'floor', lambda mine, theirs: mine <= theirs * FLOOR_MARGIN)
    return targets


def machine_info():
    model = None
    try:
        with open('/proc/cpuinfo') as cpuinfo:
            for line in cpuinfo:
                if line.startswith('model name'):
                    model = line.split(':', 1)[1].strip()
                    break
    except OSError:
        pass
    gcc = subprocess.run(['gcc', '--version'], stdout=subprocess.PIPE, universal_newlines=True).stdout
    return {'nproc': os.cpu_count(), 'cpu': model, 'date': datetime.datetime.now().strftime('%Y-%m-%d %H:%M'),
            'python': platform.python_version(), 'gcc': gcc.splitlines()[0] if gcc else None,
            'cython': cython_version(), 'kernel': platform.release()}


def extension_build_type(extension):
    """The CMake build type of the extension: from the CMake build it sits in, or from the
    record that `pip install .` leaves beside it (smsline_tools/build_info.json)."""
    folder = os.path.dirname(extension)
    cache = {}
    try:
        with open(os.path.join(folder, 'CMakeCache.txt')) as lines:
            for line in lines:
                name, _, value = line.partition('=')
                cache[name.split(':')[0]] = value.strip()
    except OSError:
        pass
    if cache.get('CMAKE_BUILD_TYPE'):
        return cache['CMAKE_BUILD_TYPE']
    if 'CMAKE_BUILD_TYPE' in cache:
        # None given: the default that the project's CMakeLists.txt sets.
        try:
            with open(os.path.join(cache.get('CMAKE_HOME_DIRECTORY', ROOT), 'CMakeLists.txt')) as lists:
                default = re.search(r'if\(NOT CMAKE_BUILD_TYPE\)\s*set\(CMAKE_BUILD_TYPE (\w+)\)',
                                    lists.read())
        except OSError:
            default = None
        return default.group(1) if default else 'none given'

    try:
        with open(os.path.join(folder, 'smsline_tools', 'build_info.json')) as record:
            return '%s (installed by pip)' % json.load(record)['build_type']
    except (OSError, ValueError, KeyError):
        return 'unknown (no CMake cache or install record beside the extension)'


def spread(figures, digits):
    return '%.*f [%.*f-%.*f]' % (digits, figures['median'], digits, figures['q1'], digits, figures['q3'])


def table_rows(results):
    """Rows of the timing table: [case, unit, smsline, python, x, cython, x]."""
    rows = []
    keys = [key for key, _ in IN_MEMORY_CASES] + ['import_total', 'import_own', 'end_to_end',
                                                  END_TO_END_LONG_CASE[0]]
    for key in keys:
        entry = results['cases'].get(key)
        if entry is None or not entry['contenders']:
            continue
        digits = 2 if entry['unit'] == 'us' else 3 if key.startswith('end_to_end') else 2
        row = [entry['title'], entry['unit']]
        for name in CONTENDERS:
            figures = entry['contenders'].get(name)
            if figures is None:
                row += ['-'] if name == 'smsline' else ['-', '-']
                continue
            row.append(spread(figures, digits))
            if name != 'smsline':
                row.append('%.2f' % entry['ratios'][name])
        rows.append(row)
    return rows


HEADER = ['case', 'unit', 'smsline median [IQR]', 'python median [IQR]', 'python/smsline',
          'cython median [IQR]', 'cython/smsline', 'floor median [IQR]', 'floor/smsline']


def text_table(header, rows):
    widths = [max(len(str(row[i])) for row in [header] + rows) for i in range(len(header))]
    lines = ['  '.join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip()
             for row in [header] + rows]
    lines.insert(1, '  '.join('-' * width for width in widths))
    return '\n'.join(lines)


def markdown_table(header, rows):
    lines = ['| ' + ' | '.join(header) + ' |', '|' + '---|' * len(header)]
    lines += ['| ' + ' | '.join(str(cell) for cell in row) + ' |' for row in rows]
    return '\n'.join(lines)


def memory_rows(results):
    rows = []
    for key, title in IN_MEMORY_CASES:
        for name, figures in sorted(results.get('memory', {}).get(key, {}).items(),
                                    key=lambda item: CONTENDERS.index(item[0])):
            rows.append([title, name, '%.2f' % figures['allocations_per_call'],
                         '%.3f' % figures['outstanding_blocks_per_call'],
                         '%.1f' % figures['outstanding_bytes_per_call'],
                         # no stand-in ran (the no-port case): no frame could be seen
                         'n/a' if figures['new_frames_per_call'] is None else '%.2f' % figures['new_frames_per_call']])
    return rows


MEMORY_HEADER = ['case', 'contender', 'allocations/call', 'blocks kept/call', 'bytes kept/call',
                 'new frames/call']


def instruction_cells(entry):
    """The instruction cells of one case's row: the callees, smsline's count
    and its own share, the interpreter's and Cython's counts with their ratio
    over smsline's (above 1: smsline cheaper), and the floor's with
    smsline's over it (at most 1.03 is the mark where the callees are Python)."""
    counts = entry['instructions']
    ratios = entry['instruction_ratios']
    own = entry.get('own_instructions', {}).get('smsline')
    cells = [entry.get('callees', '-'), '%.0f' % counts.get('smsline', 0), '-' if own is None else '%.0f' % own]
    for name in ('python', 'cython'):
        cells += ['%.0f' % counts[name], '%.2f' % ratios[name]] if name in counts else ['-', '-']
    floor = counts.get('floor')
    cells += ['%.0f' % floor, '%.3f' % (counts['smsline'] / floor)] if floor else ['-', '-']
    return cells


def instruction_rows(results):
    rows = []
    for key, title in IN_MEMORY_CASES:
        entry = results['cases'].get(key, {})
        if entry.get('instructions'):
            rows.append([title] + instruction_cells(entry))
    return rows


INSTRUCTION_COLUMNS = ['callees', 'smsline Ir/call', 'smsline own', 'python Ir/call', 'python/smsline',
                       'cython Ir/call', 'cython/smsline', 'floor Ir/call', 'smsline/floor']
INSTRUCTION_HEADER = ['case'] + INSTRUCTION_COLUMNS


def report(results, markdown_path):
    machine = results['machine']
    lines = ['Machine: %s, %s cores, %s; CPython %s; %s; %s; extension build type %s' % (
        machine['cpu'], machine['nproc'], machine['date'], machine['python'], machine['gcc'],
        machine['cython'] or 'no Cython', results['settings']['extension_build_type'])]
    lines += ['', 'Times (median [interquartile range]); ratios are contender median / smsline median '
              '(above 1: smsline faster)', '', text_table(HEADER, table_rows(results))]
    baseline = results.get('import_baseline')
    if baseline:
        lines.append('import serial, smsline_gsm.modem alone: %s ms' % spread(baseline['inside'], 2))
    for key, label in (('end_to_end', 'end to end'), (END_TO_END_LONG_CASE[0], 'end to end, long')):
        end = results['cases'].get(key)
        if end:
            lines.append('%s: %d of %d messages received whole by the simulator (parts each: %s)'
                         % (label, end['messages_received'], end['messages_sent'],
                            ', '.join(str(n) for n in end['parts_per_message'])))
    if instruction_rows(results):
        lines += ['', 'Instructions per call (callgrind)', '', text_table(INSTRUCTION_HEADER, instruction_rows(results))]
    if memory_rows(results):
        lines += ['', 'Memory per call after warm-up', '', text_table(MEMORY_HEADER, memory_rows(results))]
    if results['settings']['quick']:
        lines += ['', 'Targets: not judged in a quick run (it only checks that everything runs)']
    else:
        lines += ['', 'Targets']
        for target in results['targets']:
            lines.append('  [%s] %s: %s' % ('met' if target['met'] else 'MISSED', target['target'],
                                             target['detail']))
    disagreements = [key for key, entry in results['cases'].items() if entry.get('same_behaviour') is False]
    if disagreements:
        lines.append('WARNING: the contenders behaved differently on: ' + ', '.join(disagreements))
    print('\n'.join(lines))

    if markdown_path:
        parts = [markdown_table(HEADER, table_rows(results))]
        if instruction_rows(results):
            parts.append(markdown_table(INSTRUCTION_HEADER, instruction_rows(results)))
        if memory_rows(results):
            parts.append(markdown_table(MEMORY_HEADER, memory_rows(results)))
        if results['targets']:
            parts.append('\n'.join('- %s: **%s** (%s)' % (t['target'], 'met' if t['met'] else 'missed',
                                                         t['detail']) for t in results['targets']))
        with open(markdown_path, 'w') as out:
            out.write(lines[0] + '\n\n' + '\n\n'.join(parts) + '\n')


# ---- one table per interpreter version -----------------------------------------

VERSION_TIME_HEADER = ['case', 'version', 'smsline median (us)', 'python median (us)', 'python/smsline',
                       'cython median (us)', 'cython/smsline', 'floor median (us)', 'floor/smsline']


def version_of(results):
    return '.'.join(results['machine']['python'].split('.')[:2])


def version_tables(runs):
    """The figures of several runs (one per interpreter version, each the
    JSON a run wrote) as Markdown: for each version its table of
    instructions per call with the verdicts on them, then the median times
    where the runs timed the in-memory cases (rows by case, then version).
    Returns the text."""
    runs = sorted(runs, key=lambda results: tuple(int(part) for part in version_of(results).split('.')))
    parts = []
    for results in runs:
        rows = instruction_rows(results)
        if not rows:
            continue
        verdicts = ['- %s: **%s** (%s)' % (target['target'], 'met' if target['met'] else 'missed', target['detail'])
                    for target in instruction_targets(results)]
        parts.append('\n\n'.join(['#### CPython %s' % results['machine']['python'],
                                   markdown_table(INSTRUCTION_HEADER, rows)] + (['\n'.join(verdicts)] if verdicts else [])))
    times = []
    for key, title in IN_MEMORY_CASES:
        for results in runs:
            entry = results['cases'].get(key, {})
            medians = {name: figures['median'] for name, figures in entry.get('contenders', {}).items()}
            if 'smsline' not in medians:
                continue
            row = [title, version_of(results), '%.2f' % medians['smsline']]
            for name in ('python', 'cython', 'floor'):
                row += ['%.2f' % medians[name], '%.2f' % entry['ratios'][name]] if name in medians else ['-', '-']
            times.append(row)
    if times:
        parts.append(markdown_table(VERSION_TIME_HEADER, times))
    left_out = ['%s (%s)' % (version_of(results), results['settings']['cython_left_out']) for results in runs
                if results['settings'].get('cython_left_out')]
    if left_out:
        parts.append('Cython left out on: ' + '; '.join(left_out) + '.')
    machine = runs[0]['machine'] if runs else {}
    parts.insert(0, 'Machine: %s, %s cores, %s; %s; %s; CPython %s.' % (
        machine.get('cpu'), machine.get('nproc'), machine.get('date'), machine.get('gcc'),
        machine.get('cython') or 'no Cython', ', '.join(results['machine']['python'] for results in runs)))
    return '\n\n'.join(parts) + '\n'


def write_version_tables(paths, markdown_path):
    runs = []
    for path in paths:
        with open(path) as figures:
            runs.append(json.load(figures))
    text = version_tables(runs)
    print(text, end='')
    if markdown_path:
        with open(markdown_path, 'w') as out:
            out.write(text)


# ---- main ---------------------------------------------------------------------

def parse_arguments(argv):
    parser = argparse.ArgumentParser(description='Benchmarks of smsline.send_sms against plain Python and Cython.')
    parser.add_argument('--quick', action='store_true', help='few repeats: checks that everything runs')
    parser.add_argument('--json', default=os.path.join(ROOT, 'build', 'benchmarks.json'),
                        help='where the figures go (default build/benchmarks.json)')
    parser.add_argument('--markdown', help='also write the tables as Markdown to this file')
    parser.add_argument('--build-dir', default=os.path.join(ROOT, 'build', 'benchmarks'),
                        help='where the Cython build, the stand-ins and the reference copy go')
    parser.add_argument('--extension', default=os.environ.get('SMSLINE_EXTENSION') or INSTALLED_EXTENSION,
                        help='the smsline extension to measure (default: $SMSLINE_EXTENSION, else the Release '
                             'build that `pip install .` put into .venv)')
    parser.add_argument('--no-cython', action='store_true', help='leave the Cython contender out')
    parser.add_argument('--no-instructions', action='store_true', help='skip the callgrind instruction counts')
    parser.add_argument('--keep-callgrind', metavar='DIR',
                        help='keep the callgrind dumps in DIR (one per case and contender) for callgrind_annotate')
    parser.add_argument('--parts', default='timing,imports,end-to-end,memory,instructions',
                        help='comma-separated parts to run (default: all)')
    parser.add_argument('--repeats', type=int, help='timed repeats per case and contender')
    parser.add_argument('--memory-calls', type=int, default=None)
    parser.add_argument('--instruction-calls', type=int, default=None)
    parser.add_argument('--versions-table', nargs='+', metavar='JSON',
                        help='print (and with --markdown write) the per-version tables of these runs\' '
                             'figures, one run per interpreter version, and measure nothing')
    parser.add_argument('--memory-child', action='store_true', help=argparse.SUPPRESS)
    parser.add_argument('--instructions-child', action='store_true', help=argparse.SUPPRESS)
    options = parser.parse_args(argv)
    options.extension = os.path.abspath(options.extension)
    options.cython_left_out = 'left out by --no-cython' if options.no_cython else None
    options.build_dir = os.path.abspath(options.build_dir)
    quick = options.quick
    options.repeats = options.repeats or (3 if quick else 9)
    options.target_time = 0.005 if quick else 0.2
    options.import_runs = 3 if quick else 40
    options.sends = 5 if quick else 30
    options.memory_calls = options.memory_calls or (100 if quick else 2000)
    options.instruction_calls = options.instruction_calls or 50
    if quick:
        options.no_instructions = True
    return options


def main(argv=None):
    options = parse_arguments(argv)
    if options.versions_table:
        write_version_tables(options.versions_table, options.markdown)
        return 0
    if options.memory_child:
        memory_child(options)
        return 0
    if options.instructions_child:
        instructions_child(options)
        return 0
    if not os.path.exists(options.extension):
        log('no extension at %s: build it first (bash scripts/setup)' % options.extension)
        return 2
    build_all(options)
    modules = load_contenders(options)
    results = {
        'machine': machine_info(),
        'settings': {'quick': options.quick, 'repeats': options.repeats, 'target_time_s': options.target_time,
                     'import_runs': options.import_runs, 'sends': options.sends,
                     'memory_calls': options.memory_calls, 'instruction_calls': options.instruction_calls,
                     'extension': options.extension,
                     'extension_build_type': extension_build_type(options.extension),
                     'contenders': list(modules), 'cflags': sysconfig.get_config_var('CFLAGS'),
                     'cython_left_out': options.cython_left_out},
        'cases': {},
    }
    parts = set(options.parts.split(','))
    if 'timing' in parts:
        time_in_memory_cases(modules, StandIns(), options, results)
    if 'imports' in parts:
        # the floor is made to be measured in memory, not imported for use
        time_imports(options, [name for name in modules if name != 'floor'], results)
    if 'end-to-end' in parts:
        time_end_to_end(modules, options, results)
    if 'memory' in parts:
        measure_memory(options, results)
    if 'instructions' in parts and not options.no_instructions:
        count_instructions(options, results)
    if options.quick:
        results['targets'] = []     # few repeats: figures too rough to judge
    else:
        evaluate_targets(results)
    os.makedirs(os.path.dirname(os.path.abspath(options.json)), exist_ok=True)
    with open(options.json, 'w') as out:
        json.dump(results, out, indent=1, sort_keys=True)
    report(results, options.markdown)
    log('figures written to %s' % options.json)
    return 0


if __name__ == '__main__':
    sys.exit(main())
