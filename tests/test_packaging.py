"""smsline as a package among others, judged by what fresh environments hold:
which GSM library send_sms and smsline-send use beside a gsmmodem library of
the user's; the manylinux2014 check; the sdist; installing and uninstalling
beside a foreign gsmmodem distribution in both orders; the README's
commands; the interpreter the two commands take."""
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
# A stand-in gsmmodem library's modules: one that works (its GsmModem takes
# other arguments, as python-gsmmodem-new's), one that fails to import.
WORKING = {'__init__.py': 'from gsmmodem.modem import GsmModem, SentSms\n',
           'modem.py': 'class GsmModem(object):\n'
                       '    def __init__(self, port, baudrate=115200, smsReceivedCallbackFunc=None):\n'
                       '        raise RuntimeError("the stand-in gsmmodem was used")\n'
                       'class SentSms(object):\n    ENROUTE, DELIVERED, FAILED = 0, 1, 2\n',
           'exceptions.py': 'class GsmModemException(Exception): pass\n', 'pdu.py': ''}
BROKEN = {'__init__.py': '', 'modem.py': 'import gsmmodem_transport\n'}
NUMBER = '+15551234567'
SANITIZED = bool(os.environ.get('SMSLINE_SANITIZED'))


def stand_in_gsmmodem(files):
    """A directory holding a package gsmmodem made of `files`."""
    root = tempfile.mkdtemp(prefix='smsline-gsmmodem-')
    os.mkdir(os.path.join(root, 'gsmmodem'))
    for name, text in files.items():
        with open(os.path.join(root, 'gsmmodem', name), 'w') as handle:
            handle.write(text)
    return root


def run(argv, path=None, cwd=None):
    env = dict(os.environ, PIP_ROOT_USER_ACTION='ignore')
    env.pop('PYTHONPATH', None)     # the installed packages, not the source tree
    if path:
        env['PYTHONPATH'] = path
    return subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=900, cwd=cwd or tempfile.gettempdir())


def newest_installed():
    """The newest supported CPython version installed here, as the scripts find them."""
    done = subprocess.run(['bash', '-c', 'source scripts/pythons.sh; for ((i = ${#SMSLINE_PYTHONS[@]} - 1; '
                           'i >= 0; i--)); do find_python_version ${SMSLINE_PYTHONS[i]} >/dev/null && '
                           'echo ${SMSLINE_PYTHONS[i]} && break; done'],
                          cwd=support.ROOT, stdout=subprocess.PIPE, universal_newlines=True)
    return tuple(int(part) for part in done.stdout.split('.')) if done.stdout.strip() else None


NEWEST = newest_installed()
newest_only = unittest.skipUnless(sys.version_info[:2] == NEWEST, 'runs with the newest CPython installed here')


@unittest.skipIf(SANITIZED, 'packaging, not memory safety')
class ModemLibraryChoiceTests(unittest.TestCase):

    def test_programs_take_gsmmodem_and_the_command_its_own(self):
        # The version's environment with a stand-in gsmmodem (or none) on the path.
        for label, files, uses in (('working', WORKING, 'gsmmodem.modem\n'), ('broken', BROKEN, ''),
                                   ('none', None, 'smsline_gsm.modem\n')):
            with self.subTest(label):
                path = stand_in_gsmmodem(files) if files else None
                program = run([os.path.join(VENV, 'bin', 'python'), '-c',
                               'import smsline.send_sms as m; print(m.GsmModem.__module__)'], path)
                self.assertEqual(program.stdout, uses, program.stderr)
                if not uses:   # a broken gsmmodem fails loudly, at line 7
                    self.assertRegex(program.stderr, "line 7, in <module smsline.send_sms>(.|\n)*'gsmmodem_transport'")
                sent = run([os.path.join(VENV, 'bin', 'smsline-send'), '--simulate', NUMBER, 'hi'], path)
                self.assertIn('simulator received: to=%s text=hi' % NUMBER, sent.stdout, sent.stderr)
                version = run([os.path.join(VENV, 'bin', 'smsline-send'), '--version'], path).stdout
                self.assertEqual(version.splitlines()[1], 'send_sms uses ' + (
                    "smsline_gsm, smsline's own (no gsmmodem library is installed)" if path is None else
                    'gsmmodem from %s/gsmmodem, installed beside smsline (smsline-send uses smsline_gsm)' % path))


class PolicyCheckTests(unittest.TestCase):

    def extension_needing(self, soname, version):
        """An extension that calls a function of a library `soname`, defined there at `version`."""
        work = tempfile.mkdtemp(prefix='smsline-policy-')
        self.addCleanup(shutil.rmtree, work, True)
        with open(os.path.join(work, 'lib.map'), 'w') as handle:
            handle.write('%s { global: needed; local: *; };\n' % version if version else '{ global: *; };\n')
        with open(os.path.join(work, 'lib.c'), 'w') as handle:
            handle.write('void needed(void) {}\n')
        with open(os.path.join(work, 'ext.c'), 'w') as handle:
            handle.write('void needed(void);\nvoid PyInit_ext(void) { needed(); }\n')
        subprocess.run(['gcc', '-shared', '-fPIC', '-o', 'lib.so', 'lib.c', '-Wl,-soname,' + soname,
                        '-Wl,--version-script=lib.map'], cwd=work, check=True)
        subprocess.run(['gcc', '-shared', '-fPIC', '-o', 'ext.so', 'ext.c', 'lib.so'], cwd=work, check=True)
        return os.path.join(work, 'ext.so')

    def test_what_an_extension_needs(self):
        cases = [  # soname, version, what the check says (None: allowed)
            ('libm.so.6', 'GLIBC_2.17', None),
            ('libgcc_s.so.1', 'GCC_4.8.0', None),
            ('libc.so.6', 'GLIBC_2.18', 'GLIBC_2.18: newer than GLIBC_2.17 (from libc.so.6)'),
            ('libgcc_s.so.1', 'GCC_7.0.0', 'GCC_7.0.0: newer than GCC_4.8.0 (from libgcc_s.so.1)'),
            ('libstdc++.so.6', 'GLIBCXX_3.4', 'GLIBCXX_3.4: the C++ runtime is not to be needed at all'
                                              ' (from libstdc++.so.6)'),
            ('libc.so.6', 'GLIBC_PRIVATE', 'GLIBC_PRIVATE: not a version manylinux2014 allows (from libc.so.6)'),
            ('libpython3.so', None, 'needs libpython3.so, which is not on the manylinux2014 list'),
        ]
        for soname, version, problem in cases:
            with self.subTest(soname=soname, version=version):
                path = self.extension_needing(soname, version)
                self.assertEqual(distribution.policy_problems(path), [problem] if problem else [])

    @unittest.skipIf(SANITIZED, 'a sanitizer build links the sanitizer runtimes')
    def test_the_extension_built_here_passes(self):
        needed, versions = distribution.dynamic_needs(support.EXTENSION)
        self.assertEqual(distribution.policy_problems(support.EXTENSION), [])
        self.assertEqual((sorted(needed), versions['libdl.so.2']), (['libc.so.6', 'libdl.so.2'], ['GLIBC_2.2.5']))


def file_hashes(directory):
    """{path: sha256} of the files under `directory`, bytecode caches left out."""
    found = {}
    for folder, subfolders, names in os.walk(directory):
        subfolders[:] = [name for name in subfolders if name != '__pycache__']
        for name in names:
            with open(os.path.join(folder, name), 'rb') as handle:
                found[os.path.relpath(os.path.join(folder, name), directory)] = hashlib.sha256(handle.read()).digest()
    return found


@unittest.skipIf(SANITIZED, 'packaging, not memory safety')
class DistributionTests(unittest.TestCase):
    """The sdist and this version's wheel in fresh environments beside a
    foreign distribution owning a package gsmmodem, in both orders."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix='smsline-distribution-')
        cls.sdist = distribution.build_sdist(cls.work)
        stand_in = stand_in_gsmmodem(WORKING)
        cls.foreign = distribution.write_wheel(
            cls.work, 'Metadata-Version: 2.1\nName: gsmmodem-standin\nVersion: 1.0\n\n',
            [('gsmmodem/' + name, os.path.join(stand_in, 'gsmmodem', name)) for name in WORKING], 'py3-none-any')
        cls.built_wheel = None

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def wheel(cls):
        """This version's wheel, built from the sdist once."""
        cls.built_wheel = cls.built_wheel or distribution.build_wheel(cls.sdist, os.path.join(cls.work, 'wheels'))
        return cls.built_wheel

    def test_sdist_holds_every_tracked_file(self):
        with tarfile.open(self.sdist) as archive:
            names = set(member.name.split('/', 1)[1] for member in archive.getmembers() if member.isfile())
        own = set(name for name in names if name == 'PKG-INFO' or '.egg-info/' in name)
        self.assertEqual(sorted(names - own), [name for name in distribution.tracked_files()
                                               if not name.startswith(distribution.NOT_IN_SDIST)])

    def environment(self, label, build_tools=False):
        """A fresh environment of this version with pyserial; with `build_tools`,
        setuptools and wheel where it lacks them (the README's offline table)."""
        self.venv_python = distribution.make_environment(os.path.join(self.work, label), sys.executable)
        self.site_packages = run([self.venv_python, '-c', 'import site; print(site.getsitepackages()[0])']).stdout.strip()
        for module in ('setuptools', 'wheel') if build_tools and sys.version_info >= (3, 7) else ():
            if run([self.venv_python, '-c', 'import ' + module]).returncode != 0:
                self.pip('install', *glob.glob('/usr/share/python-wheels/%s-*.whl' % module))

    def pip(self, command, *args):
        """pip, which must succeed and warn of nothing, then pip check must be clean."""
        options = ['--disable-pip-version-check', '--no-cache-dir'] + (['--no-index'] if command == 'install' else [])
        for argv in ([command] + options + list(args), ['check']):
            done = run(distribution.pip_command(self.venv_python) + argv)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertNotRegex(done.stdout + done.stderr, '(?i)warning|deprecat', argv)

    def files(self, prefix=''):
        return {path: digest for path, digest in file_hashes(self.site_packages).items() if path.startswith(prefix)}

    def check_sends(self, uses):
        """The installed smsline-send sends through the simulator; a program's send_sms uses `uses`."""
        sent = run([os.path.join(os.path.dirname(self.venv_python), 'smsline-send'), '--simulate', NUMBER, 'hi'])
        self.assertIn('simulator received: to=%s text=hi ref=1' % NUMBER, sent.stdout, sent.stderr)
        program = run([self.venv_python, '-c', 'import smsline.send_sms as m; print(m.GsmModem.__module__)'])
        self.assertEqual(program.stdout, uses + '\n', program.stderr)

    def check_foreign(self, files):
        """The foreign distribution's files are as it installed them, and it imports."""
        self.assertEqual(self.files('gsmmodem'), files)
        done = run([self.venv_python, '-c', 'import gsmmodem; print(gsmmodem.GsmModem.__init__.__code__.co_varnames)'])
        self.assertIn('smsReceivedCallbackFunc', done.stdout, done.stderr)

    def test_sdist_then_foreign_then_foreign_removed(self):
        self.environment('sdist-first', build_tools=True)
        bare = self.files()
        self.pip('install', '--no-build-isolation', self.sdist)
        self.check_sends('smsline_gsm.modem')
        ours = {path: digest for path, digest in self.files().items() if path not in bare}
        self.assertFalse(self.files('gsmmodem'))
        self.pip('install', self.foreign)
        foreign = self.files('gsmmodem')
        self.check_foreign(foreign)
        self.check_sends('gsmmodem.modem')
        self.pip('uninstall', '--yes', 'gsmmodem-standin')
        self.assertEqual({path: self.files().get(path) for path in ours}, ours)
        self.check_sends('smsline_gsm.modem')

    def test_foreign_then_wheel_then_wheel_removed(self):
        self.environment('foreign-first')
        self.pip('install', self.foreign)
        foreign, before = self.files('gsmmodem'), self.files()
        self.assertEqual(len([path for path in foreign if path.endswith('.py')]), 4, foreign)
        self.pip('install', '--no-deps', self.wheel())
        self.check_foreign(foreign)
        self.check_sends('gsmmodem.modem')
        self.pip('uninstall', '--yes', 'smsline')
        self.check_foreign(foreign)
        self.assertEqual(self.files(), before)   # nothing of smsline left, nothing else changed
        self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.venv_python), 'smsline-send')))

    @newest_only
    def test_a_build_in_the_tree_takes_nothing_an_earlier_one_left(self):
        # pip builds in the source tree: a package an earlier build left in
        # build_lib (one since renamed), under either of its names, stays out.
        source = distribution.unpack_sdist(self.sdist, os.path.join(self.work, 'in-tree'))
        for build_lib in ('lib.linux-x86_64-%d.%d' % sys.version_info[:2],
                          'lib.linux-x86_64-cpython-%d%d' % sys.version_info[:2]):
            shutil.copytree(os.path.join(stand_in_gsmmodem(BROKEN), 'gsmmodem'),
                            os.path.join(source, 'build', build_lib, 'gsmmodem'))
        self.environment('in-tree', build_tools=True)
        self.pip('install', '--no-build-isolation', source)
        self.assertFalse(self.files('gsmmodem'))
        self.check_sends('smsline_gsm.modem')

    @newest_only
    def test_readme_commands_run_as_written(self):
        """The README's blocks marked runnable, in one shell as a reader types
        them: in the checkout, with a home of their own, python3 this
        version, `sudo apt-get install` only simulated, and a package index
        holding this version's wheel and pyserial (rewrapped from Debian's
        python3-serial), given to pip by environment as a pip.conf would."""
        with open(os.path.join(support.ROOT, 'README.md'), encoding='utf-8') as handle:
            blocks = re.findall(r'<!-- runnable -->\n```(sh|python)\n(.*?)```', handle.read(), re.S)
        self.assertGreaterEqual(len(blocks), 5)
        index, home, bin_dir = (os.path.join(self.work, name) for name in ('index', 'home', 'bin'))
        for directory in (index, home, bin_dir):
            os.makedirs(directory)
        shutil.copy(self.wheel(), index)
        serial_info = glob.glob('/usr/lib/python3/dist-packages/pyserial-*.egg-info')[0]
        distribution.write_wheel(
            index, distribution.read_text(os.path.join(serial_info, 'PKG-INFO')),
            [(os.path.relpath(path, os.path.dirname(distribution.SERIAL)), path)
             for path in glob.glob(distribution.SERIAL + '/**/*.py', recursive=True)], 'py2.py3-none-any')
        os.symlink(os.path.realpath(sys.executable), os.path.join(bin_dir, 'python3'))
        script = ['set -e'] + [("python - <<'README_PYTHON'\n%sREADME_PYTHON" % text) if language == 'python' else
                               text.replace('sudo apt-get install', 'apt-get install --simulate')
                               for language, text in blocks]
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
    """What the two commands take when told none (scripts/pythons.sh)."""

    def choose(self, versions, python=None):
        """(status, chosen version, stderr) with only fake interpreters of `versions` in pyenv."""
        root = tempfile.mkdtemp(prefix='smsline-pythons-')
        self.addCleanup(shutil.rmtree, root, True)
        os.mkdir(os.path.join(root, 'tools'))
        for tool in ('ls', 'sort'):
            os.symlink(shutil.which(tool), os.path.join(root, 'tools', tool))
        paths = {}
        for version in versions:   # each answers the version questions only
            paths[version] = os.path.join(root, 'pyenv', 'versions', version + '.1', 'bin', 'python' + version)
            os.makedirs(os.path.dirname(paths[version]))
            with open(paths[version], 'w') as script:
                script.write('#!/bin/sh\ncase "$2" in *realpath*) echo %s "$0" ;; *) echo %s ;; esac\n'
                             % (version, version))
            os.chmod(paths[version], 0o755)
        env = dict(PATH=os.path.join(root, 'tools'), PYENV_ROOT=os.path.join(root, 'pyenv'), HOME=root,
                   **({'PYTHON': paths[python]} if python else {}))
        done = subprocess.run(['/bin/bash', '-c', 'source scripts/pythons.sh && default_python && echo $version $python'],
                              cwd=support.ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)
        chosen = done.stdout.split()
        self.assertEqual(chosen[1:], [paths[chosen[0]]] if chosen else [])
        return done.returncode, chosen[0] if chosen else None, done.stderr

    def test_choice(self):
        cases = [  # installed, $PYTHON, chosen, words on stderr
            (['3.6', '3.9', '3.13'], None, '3.6', ''),
            (['3.9', '3.13', '3.14'], None, '3.13', 'no CPython 3.6 here: using CPython 3.13'),
            (['3.6', '3.9'], '3.9', '3.9', ''),
            (['3.14'], None, None, 'no supported CPython'),
            ([], None, None, 'sudo apt-get install python3-dev python3-venv'),
        ]
        for installed, python, chosen, words in cases:
            with self.subTest(installed=installed, python=python):
                status, version, stderr = self.choose(installed, python)
                self.assertEqual((status, version), (0 if chosen else 1, chosen), stderr)
                self.assertIn(words, stderr) if words else self.assertEqual(stderr, '')


if __name__ == '__main__':
    unittest.main()
