"""smsline as a package among others, judged by what fresh environments hold:
which GSM library send_sms and smsline-send use beside a gsmmodem library of
the user's; the sdist; the manylinux2014 check; installing and uninstalling
beside a foreign gsmmodem distribution in both orders."""
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

from tests import support

sys.path.insert(0, os.path.join(support.ROOT, 'scripts'))
import distribution  # noqa: E402  (scripts/distribution.py)

VENV = os.path.join(support.ROOT, '.venv' if sys.version_info[:2] == (3, 6) else '.venv-%d.%d' % sys.version_info[:2])
# What a stand-in gsmmodem library's modem module holds: one that works (with
# a GsmModem of another signature, as python-gsmmodem-new's), one that fails.
WORKING_MODEM = ('class GsmModem(object):\n'
                 '    def __init__(self, port, baudrate=115200, smsReceivedCallbackFunc=None):\n'
                 '        raise RuntimeError("the stand-in gsmmodem was used")\n'
                 'class SentSms(object):\n'
                 '    ENROUTE, DELIVERED, FAILED = 0, 1, 2\n')
BROKEN_MODEM = 'import gsmmodem_transport\n'
NUMBER = '+15551234567'


def newest_installed():
    """The newest supported CPython version installed here, as the scripts find them."""
    done = subprocess.run(['bash', '-c', 'source scripts/pythons.sh; for ((i = ${#SMSLINE_PYTHONS[@]} - 1; '
                           'i >= 0; i--)); do find_python_version ${SMSLINE_PYTHONS[i]} >/dev/null && '
                           'echo ${SMSLINE_PYTHONS[i]} && break; done'],
                          cwd=support.ROOT, stdout=subprocess.PIPE, universal_newlines=True)
    return tuple(int(part) for part in done.stdout.split('.')) if done.stdout.strip() else None


NEWEST = newest_installed()


def stand_in_gsmmodem(modem_text):
    """A directory holding a package gsmmodem whose modem module is `modem_text`."""
    root = tempfile.mkdtemp(prefix='smsline-gsmmodem-')
    os.mkdir(os.path.join(root, 'gsmmodem'))
    for name, text in (('__init__.py', ''), ('modem.py', modem_text)):
        with open(os.path.join(root, 'gsmmodem', name), 'w') as handle:
            handle.write(text)
    return root


def run(argv, path=None, stdin=None, cwd=None):
    env = dict(os.environ)
    env.pop('PYTHONPATH', None)     # the installed packages, not the source tree
    env['PIP_ROOT_USER_ACTION'] = 'ignore'
    if path:
        env['PYTHONPATH'] = path
    return subprocess.run(argv, env=env, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=600, cwd=cwd or tempfile.gettempdir())


class ModemLibraryChoiceTests(unittest.TestCase):
    """In the installed environment, with a stand-in gsmmodem on the path: a
    program's send_sms takes that gsmmodem, smsline-send always smsline_gsm."""

    def test_programs_take_gsmmodem_and_the_command_its_own(self):
        for label, modem_text in (('working', WORKING_MODEM), ('broken', BROKEN_MODEM), ('none', None)):
            with self.subTest(label):
                path = stand_in_gsmmodem(modem_text) if modem_text else None
                program = run([os.path.join(VENV, 'bin', 'python'), '-c',
                               'import smsline.send_sms as m; print(m.GsmModem.__module__)'], path)
                expected = {'working': 'gsmmodem.modem', 'none': 'smsline_gsm.modem'}.get(label)
                if expected:
                    self.assertEqual(program.stdout, expected + '\n', program.stderr)
                else:   # the user's broken library fails loudly, at line 7
                    self.assertIn('line 7, in <module smsline.send_sms>', program.stderr)
                    self.assertIn("No module named 'gsmmodem_transport'", program.stderr)
                sent = run([os.path.join(VENV, 'bin', 'smsline-send'), '--simulate', NUMBER, 'hi'], path)
                self.assertEqual(sent.returncode, 0, sent.stderr)
                self.assertIn('simulator received: to=%s text=hi' % NUMBER, sent.stdout)
                version = run([os.path.join(VENV, 'bin', 'smsline-send'), '--version'], path).stdout
                self.assertEqual(version.splitlines()[1], 'send_sms uses ' + (
                    "smsline_gsm, smsline's own (no gsmmodem library is installed)" if path is None else
                    'gsmmodem from %s/gsmmodem, installed beside smsline (smsline-send uses smsline_gsm)' % path))


class PolicyCheckTests(unittest.TestCase):
    """The manylinux2014 check reads what an extension needs with readelf:
    each kind of fault in a library made to have it, and the real extension."""

    def library(self, soname, version, symbol='needed_function'):
        """A shared library named `soname` that defines `symbol` at `version`."""
        directory = tempfile.mkdtemp(prefix='smsline-policy-')
        self.addCleanup(shutil.rmtree, directory, True)
        source, script = os.path.join(directory, 'lib.c'), os.path.join(directory, 'lib.map')
        with open(source, 'w') as handle:
            handle.write('void %s(void) {}\n' % symbol)
        with open(script, 'w') as handle:
            handle.write('%s { global: %s; local: *; };\n' % (version, symbol) if version else '{ global: *; };\n')
        path = os.path.join(directory, 'provider.so')
        subprocess.run(['gcc', '-shared', '-fPIC', '-o', path, source, '-Wl,-soname,' + soname,
                        '-Wl,--version-script=' + script], check=True)
        return path

    def extension(self, provider, symbol='needed_function'):
        """An extension that calls `symbol` of `provider`."""
        directory = os.path.dirname(provider)
        source = os.path.join(directory, 'ext.c')
        with open(source, 'w') as handle:
            handle.write('void %s(void);\nvoid PyInit_ext(void) { %s(); }\n' % (symbol, symbol))
        path = os.path.join(directory, 'ext.so')
        subprocess.run(['gcc', '-shared', '-fPIC', '-o', path, source, provider], check=True)
        return path

    def test_what_an_extension_needs(self):
        cases = [  # soname, version, what the check says (None: allowed)
            ('libm.so.6', 'GLIBC_2.17', None),
            ('libdl.so.2', 'GLIBC_2.2.5', None),
            ('libgcc_s.so.1', 'GCC_4.8.0', None),
            ('libc.so.6', 'GLIBC_2.34', 'GLIBC_2.34: newer than GLIBC_2.17 (from libc.so.6)'),
            ('libc.so.6', 'GLIBC_2.18', 'GLIBC_2.18: newer than GLIBC_2.17 (from libc.so.6)'),
            ('libgcc_s.so.1', 'GCC_7.0.0', 'GCC_7.0.0: newer than GCC_4.8.0 (from libgcc_s.so.1)'),
            ('libstdc++.so.6', 'GLIBCXX_3.4', 'GLIBCXX_3.4: the C++ runtime is not to be needed at all (from libstdc++.so.6)'),
            ('libstdc++.so.6', 'CXXABI_1.3', 'CXXABI_1.3: the C++ runtime is not to be needed at all (from libstdc++.so.6)'),
            ('libc.so.6', 'GLIBC_PRIVATE', 'GLIBC_PRIVATE: not a version manylinux2014 allows (from libc.so.6)'),
            ('libpython3.so', None, 'needs libpython3.so, which is not on the manylinux2014 list'),
        ]
        for soname, version, problem in cases:
            with self.subTest(soname=soname, version=version):
                path = self.extension(self.library(soname, version))
                self.assertEqual(distribution.policy_problems(path), [problem] if problem else [])

    def test_the_extension_built_here_passes(self):
        needed, versions = distribution.dynamic_needs(support.EXTENSION)
        if any(library.startswith(('libasan', 'libubsan')) for library in needed):
            self.skipTest('a sanitizer build links the sanitizer runtimes')
        self.assertEqual(distribution.policy_problems(support.EXTENSION), [])
        self.assertEqual(sorted(needed), ['libc.so.6', 'libdl.so.2'])
        self.assertEqual(versions['libdl.so.2'], ['GLIBC_2.2.5'])


def file_hashes(directory):
    """{path: sha256} of the files under `directory`, bytecode caches left out."""
    found = {}
    for folder, subfolders, names in os.walk(directory):
        subfolders[:] = [name for name in subfolders if name != '__pycache__']
        for name in names:
            path = os.path.join(folder, name)
            with open(path, 'rb') as handle:
                found[os.path.relpath(path, directory)] = hashlib.sha256(handle.read()).hexdigest()
    return found


class DistributionTests(unittest.TestCase):
    """The sdist and a wheel of this version, installed into fresh
    environments beside a foreign distribution that also owns a top-level
    package gsmmodem, in both orders, each then uninstalled."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix='smsline-distribution-')
        cls.sdist = distribution.build_sdist(cls.work)
        cls.foreign = distribution.write_wheel(
            cls.work, 'Metadata-Version: 2.1\nName: gsmmodem-standin\nVersion: 1.0\n'
                      'Summary: A foreign gsmmodem library (test stand-in)\n\n',
            [('gsmmodem/%s' % name, cls.write(name, text)) for name, text in (
                ('__init__.py', 'from gsmmodem.modem import GsmModem, SentSms\n'),
                ('modem.py', WORKING_MODEM), ('exceptions.py', 'class GsmModemException(Exception): pass\n'),
                ('pdu.py', 'def encodeSmsSubmitPdu(*args): return []\n'))],
            'py3-none-any')

    @classmethod
    def write(cls, name, text):
        path = os.path.join(cls.work, 'stand-in-' + name)
        with open(path, 'w') as handle:
            handle.write(text)
        return path

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_sdist_holds_every_tracked_file(self):
        with tarfile.open(self.sdist) as archive:
            names = [member.name.split('/', 1)[1] for member in archive.getmembers() if member.isfile()]
        own = [name for name in names if name == 'PKG-INFO' or '.egg-info/' in name]
        tracked = [name for name in distribution.tracked_files() if not name.startswith(distribution.NOT_IN_SDIST)]
        self.assertEqual(sorted(set(names) - set(own)), tracked)

    def environment(self, label):
        """A fresh environment of this version with pyserial, as the README's recipe makes it."""
        venv = os.path.join(self.work, label)
        venv_python = distribution.make_environment(venv, sys.executable)
        self.site_packages = run([venv_python, '-c', 'import site; print(site.getsitepackages()[0])']).stdout.strip()
        return venv_python

    def pip(self, venv_python, *args):
        command, options = args[0], ['--disable-pip-version-check', '--no-cache-dir']
        if command == 'install':
            options.append('--no-index')
        done = run(distribution.pip_command(venv_python) + [command] + options + list(args[1:]))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        # pip warns about nothing: no file of another distribution is touched.
        self.assertNotRegex(done.stdout + done.stderr, '(?i)warning|deprecat', args)
        return done.stdout

    def check_clean(self, venv_python):
        self.assertIn('No broken requirements found', self.pip(venv_python, 'check'))

    def check_sends(self, venv_python, uses):
        """The installed smsline-send sends through the simulator; send_sms in a program uses `uses`."""
        bin_dir = os.path.dirname(venv_python)
        sent = run([os.path.join(bin_dir, 'smsline-send'), '--simulate', NUMBER, 'beside gsmmodem'])
        self.assertEqual(sent.returncode, 0, sent.stderr)
        self.assertIn('simulator received: to=%s text=beside gsmmodem ref=1' % NUMBER, sent.stdout)
        program = run([venv_python, '-c', 'import smsline.send_sms as m; print(m.GsmModem.__module__)'])
        self.assertEqual(program.stdout, uses + '\n', program.stderr)

    def check_foreign(self, venv_python, files):
        """The foreign distribution's files are as it installed them, and import."""
        self.assertEqual({path: digest for path, digest in file_hashes(self.site_packages).items()
                          if path in files}, files)
        done = run([venv_python, '-c', 'import gsmmodem; print(gsmmodem.GsmModem.__init__.__code__.co_varnames)'])
        self.assertIn('smsReceivedCallbackFunc', done.stdout, done.stderr)

    def build_tools(self, venv_python):
        """setuptools and wheel where the environment lacks them, from Debian's wheels (the README's table)."""
        for module in ('setuptools', 'wheel'):
            if run([venv_python, '-c', 'import ' + module]).returncode != 0 and sys.version_info >= (3, 7):
                self.pip(venv_python, 'install', *glob.glob('/usr/share/python-wheels/%s-*.whl' % module))

    def test_sdist_then_foreign_then_foreign_removed(self):
        venv_python = self.environment('sdist-first')
        self.build_tools(venv_python)
        bare = file_hashes(self.site_packages)
        self.pip(venv_python, 'install', '--no-build-isolation', self.sdist)
        self.check_clean(venv_python)
        self.check_sends(venv_python, 'smsline_gsm.modem')
        ours = {path: digest for path, digest in file_hashes(self.site_packages).items() if path not in bare}
        self.assertFalse([path for path in ours if path.startswith('gsmmodem')], ours)
        self.pip(venv_python, 'install', self.foreign)
        self.check_clean(venv_python)
        foreign = {path: digest for path, digest in file_hashes(self.site_packages).items()
                   if path.startswith('gsmmodem')}
        self.check_foreign(venv_python, foreign)
        self.check_sends(venv_python, 'gsmmodem.modem')
        self.pip(venv_python, 'uninstall', '--yes', 'gsmmodem-standin')
        self.check_clean(venv_python)
        after = file_hashes(self.site_packages)
        self.assertEqual({path: after.get(path) for path in ours}, ours)
        self.check_sends(venv_python, 'smsline_gsm.modem')

    @classmethod
    def wheel(cls):
        """This version's wheel, built from the sdist once."""
        if not getattr(cls, 'built_wheel', None):
            cls.built_wheel = distribution.build_wheel(cls.sdist, os.path.join(cls.work, 'wheels'))
        return cls.built_wheel

    def test_foreign_then_wheel_then_wheel_removed(self):
        wheel = self.wheel()
        venv_python = self.environment('foreign-first')
        self.pip(venv_python, 'install', self.foreign)
        foreign = {path: digest for path, digest in file_hashes(self.site_packages).items()
                   if path.startswith('gsmmodem')}
        self.assertEqual(len([path for path in foreign if path.endswith('.py')]), 4, foreign)
        before = file_hashes(self.site_packages)
        self.pip(venv_python, 'install', '--no-deps', wheel)
        self.check_clean(venv_python)
        self.check_foreign(venv_python, foreign)
        self.check_sends(venv_python, 'gsmmodem.modem')
        self.pip(venv_python, 'uninstall', '--yes', 'smsline')
        self.check_clean(venv_python)
        self.check_foreign(venv_python, foreign)
        # Nothing of smsline is left, nor anything else changed.
        self.assertEqual(file_hashes(self.site_packages), before)
        self.assertFalse(os.path.exists(os.path.join(os.path.dirname(venv_python), 'smsline-send')))


    @unittest.skipUnless(sys.version_info[:2] == NEWEST, 'run with the newest supported CPython installed here')
    def test_a_build_in_the_tree_takes_nothing_an_earlier_one_left(self):
        # pip builds in the source tree; what an earlier build of another
        # tree left in the build folder (a package since renamed) stays out.
        source = distribution.unpack_sdist(self.sdist, os.path.join(self.work, 'in-tree'))
        for build_lib in ('lib.linux-x86_64-%d.%d' % sys.version_info[:2],
                          'lib.linux-x86_64-cpython-%d%d' % sys.version_info[:2]):
            os.makedirs(os.path.join(source, 'build', build_lib, 'gsmmodem'))
            with open(os.path.join(source, 'build', build_lib, 'gsmmodem', '__init__.py'), 'w') as handle:
                handle.write('raise ImportError("left by an earlier build")\n')
        venv_python = self.environment('in-tree')
        self.build_tools(venv_python)
        self.pip(venv_python, 'install', '--no-build-isolation', source)
        self.assertFalse([path for path in file_hashes(self.site_packages) if path.startswith('gsmmodem')])
        self.check_sends(venv_python, 'smsline_gsm.modem')

    @unittest.skipUnless(sys.version_info[:2] == NEWEST, 'run with the newest supported CPython installed here')
    def test_readme_commands_run_as_written(self):
        """The README's blocks marked runnable, in one shell as a reader types
        them: in the checkout, with a home of their own, python3 this
        version, `sudo apt-get install` only simulated, and a package index
        that holds this version's wheel and pyserial (made from Debian's
        python3-serial), given to pip as a pip.conf would."""
        with open(os.path.join(support.ROOT, 'README.md'), encoding='utf-8') as handle:
            blocks = re.findall(r'<!-- runnable -->\n```(sh|python)\n(.*?)```', handle.read(), re.S)
        self.assertGreaterEqual(len(blocks), 5)
        index = os.path.join(self.work, 'index')
        os.makedirs(index)
        shutil.copy(self.wheel(), index)
        serial_info = glob.glob('/usr/lib/python3/dist-packages/pyserial-*.egg-info')[0]
        distribution.write_wheel(
            index, distribution.read_text(os.path.join(serial_info, 'PKG-INFO')),
            [(os.path.relpath(path, os.path.dirname(distribution.SERIAL)), path)
             for path in glob.glob(distribution.SERIAL + '/**/*.py', recursive=True)],
            'py2.py3-none-any', [('entry_points.txt', distribution.read_text(os.path.join(serial_info, 'entry_points.txt')))])
        home, bin_dir = os.path.join(self.work, 'home'), os.path.join(self.work, 'bin')
        os.makedirs(home)
        os.makedirs(bin_dir)
        os.symlink(os.path.realpath(sys.executable), os.path.join(bin_dir, 'python3'))
        script = ['set -e']
        for language, text in blocks:
            if language == 'python':
                script.append("python - <<'README_PYTHON'\n%sREADME_PYTHON" % text)
            else:
                script.append(text.replace('sudo apt-get install', 'apt-get install --simulate'))
        env = dict(os.environ, HOME=home, PATH=bin_dir + os.pathsep + os.environ['PATH'], PIP_NO_INDEX='1',
                   PIP_FIND_LINKS=index, PIP_DISABLE_PIP_VERSION_CHECK='1', PIP_ROOT_USER_ACTION='ignore')
        for name in ('PYTHONPATH', 'PYTHON', 'VIRTUAL_ENV', 'CI'):
            env.pop(name, None)
        done = subprocess.run(['bash', '-c', '\n'.join(script)], cwd=support.ROOT, env=env, timeout=1200,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
        self.assertEqual(done.returncode, 0, done.stdout[-4000:])
        self.assertIn('simulator received: to=+15551234567 text=Hello from smsline ref=1', done.stdout)
        self.assertIn("'text': 'Hello from smsline'", done.stdout)


class InterpreterChoiceTests(unittest.TestCase):
    """The interpreter the two commands take when told none (scripts/pythons.sh):
    3.6, else the newest supported one, saying which; $PYTHON first."""

    def choose(self, versions, python=None):
        """(status, chosen version, stderr) with only fake interpreters of `versions` installed."""
        root = tempfile.mkdtemp(prefix='smsline-pythons-')
        self.addCleanup(shutil.rmtree, root, True)
        tools = os.path.join(root, 'tools')
        os.mkdir(tools)
        for tool in ('ls', 'sort'):
            os.symlink(shutil.which(tool), os.path.join(tools, tool))
        paths = {}
        for version in versions:   # each answers the version questions only
            bin_dir = os.path.join(root, 'pyenv', 'versions', version + '.1', 'bin')
            os.makedirs(bin_dir)
            paths[version] = os.path.join(bin_dir, 'python' + version)
            with open(paths[version], 'w') as script:
                script.write('#!/bin/sh\ncase "$2" in *realpath*) echo %s "$0" ;; *) echo %s ;; esac\n'
                             % (version, version))
            os.chmod(paths[version], 0o755)
        env = {'PATH': tools, 'PYENV_ROOT': os.path.join(root, 'pyenv'), 'HOME': root}
        if python:
            env['PYTHON'] = paths[python]
        done = subprocess.run(['/bin/bash', '-c', 'source scripts/pythons.sh && default_python && echo "$version $python"'],
                              cwd=support.ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)
        chosen = done.stdout.split()
        if chosen:
            self.assertEqual(chosen[1], paths[chosen[0]])
        return done.returncode, chosen[0] if chosen else None, done.stderr

    def test_choice(self):
        cases = [  # installed, $PYTHON, chosen, words on stderr
            (['3.6', '3.9', '3.13'], None, '3.6', ''),
            (['3.9', '3.13', '3.14'], None, '3.13', 'no CPython 3.6 here: using CPython 3.13'),
            (['3.7'], None, '3.7', 'no CPython 3.6 here: using CPython 3.7'),
            (['3.6', '3.9'], '3.9', '3.9', ''),
            (['3.14'], None, None, 'no supported CPython'),
            ([], None, None, 'sudo apt-get install python3-dev python3-venv'),
        ]
        for installed, python, chosen, words in cases:
            with self.subTest(installed=installed, python=python):
                status, version, stderr = self.choose(installed, python)
                self.assertEqual((status, version), (0 if chosen else 1, chosen), stderr)
                self.assertIn(words, stderr)
                if not words:
                    self.assertEqual(stderr, '')


if __name__ == '__main__':
    unittest.main()
