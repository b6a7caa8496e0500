"""The packaging steps of scripts/wheels, also used by tests/test_packaging.py.

  python distribution.py sdist OUT_DIR        the source distribution, made from
                                             the tracked files alone
  python distribution.py check EXTENSION...   the manylinux2014 check of built
                                             extensions (readelf)
  python distribution.py wheel SDIST OUT_DIR  the wheel of the running interpreter,
                                             built from the sdist and checked
  python distribution.py verify WHEEL         installs the wheel into a fresh
                                             environment of the running
                                             interpreter, sends through the
                                             simulator, uninstalls
  python distribution.py describe WHEEL       the check's line for its extension

Runs on CPython 3.6 to 3.13 with the standard library; building needs
setuptools in the running environment.  No package index is used.
"""
import base64
import email.parser
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# ---- the manylinux2014 check ------------------------------------------------

# The libraries a manylinux2014 extension may need (PEP 599): those every
# glibc-based x86-64 Linux of that age or later has.
ALLOWED_LIBRARIES = frozenset([
    'libgcc_s.so.1', 'libstdc++.so.6', 'libm.so.6', 'libdl.so.2', 'librt.so.1', 'libc.so.6',
    'libnsl.so.1', 'libutil.so.1', 'libpthread.so.0', 'libresolv.so.2', 'libX11.so.6',
    'libXext.so.6', 'libXrender.so.1', 'libICE.so.6', 'libSM.so.6', 'libGL.so.1',
    'libgobject-2.0.so.0', 'libgthread-2.0.so.0', 'libglib-2.0.so.0'])
# The newest symbol version it may ask for, per family.  Versions of the C++
# runtime (GLIBCXX_, CXXABI_) are refused outright: the extension is built
# to need none of it (cmake/PortableLinking.cmake).
NEWEST_VERSIONS = {'GLIBC': (2, 17), 'GCC': (4, 8, 0)}
PLATFORM_TAG = 'manylinux2014_x86_64'


def readelf(path, option):
    done = subprocess.run(['readelf', option, '--wide', path], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)
    if done.returncode != 0:
        raise RuntimeError('readelf %s %s failed: %s' % (option, path, done.stderr.strip()))
    return done.stdout


def dynamic_needs(path):
    """(NEEDED libraries, {library: [symbol versions asked of it]}) of an ELF file."""
    needed = re.findall(r'\(NEEDED\)\s+Shared library: \[([^\]]+)\]', readelf(path, '-d'))
    versions, current = {}, None
    in_needs = False
    for line in readelf(path, '-V').splitlines():
        if line.startswith('Version needs section'):
            in_needs = True
        elif line.startswith('Version ') and 'section' in line:
            in_needs = False
        elif in_needs:
            found = re.search(r'File: (\S+)', line)
            if found:
                current = versions.setdefault(found.group(1), [])
            found = re.search(r'Name: (\S+)', line)
            if found and current is not None:
                current.append(found.group(1))
    return needed, versions


def version_problem(name):
    """Why the symbol version `name` is not allowed, or None."""
    family, _, number = name.partition('_')
    if family in ('GLIBCXX', 'CXXABI'):
        return '%s: the C++ runtime is not to be needed at all' % name
    newest = NEWEST_VERSIONS.get(family)
    if newest is None or not re.match(r'^\d+(\.\d+)*$', number):
        return '%s: not a version manylinux2014 allows' % name
    if tuple(int(part) for part in number.split('.')) > newest:
        return '%s: newer than %s_%s' % (name, family, '.'.join(map(str, newest)))
    return None


def policy_problems(path):
    """What keeps the extension at `path` from being manylinux2014, as lines; none when it is."""
    needed, versions = dynamic_needs(path)
    problems = ['needs %s, which is not on the manylinux2014 list' % library
                for library in needed if library not in ALLOWED_LIBRARIES]
    for library, names in sorted(versions.items()):
        problems.extend('%s (from %s)' % (problem, library)
                        for problem in map(version_problem, names) if problem)
    return problems


def policy_summary(path):
    """One line: what the extension needs, and whether that is manylinux2014."""
    needed, versions = dynamic_needs(path)
    names = sorted(set(name for listed in versions.values() for name in listed))
    problems = policy_problems(path)
    return '%s: %s (NEEDED %s; versions %s)' % (
        os.path.basename(path), 'manylinux2014: passed' if not problems else
        'manylinux2014: FAILED: ' + '; '.join(problems), ', '.join(needed) or 'none', ', '.join(names) or 'none')


# ---- the source distribution -------------------------------------------------

# Tracked files the sdist leaves out: the CI and git settings.
NOT_IN_SDIST = ('.ci/', '.gitignore')


def tracked_files(root=ROOT):
    """The files of the source tree: git's tracked files, or in an unpacked
    sdist the files its SOURCES.txt lists."""
    done = subprocess.run(['git', '-C', root, 'ls-files', '-z'], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL)
    if done.returncode == 0:
        return sorted(name for name in done.stdout.decode('utf-8').split('\0') if name)
    listed = glob.glob(os.path.join(root, 'python', '*.egg-info', 'SOURCES.txt'))
    if not listed:
        raise RuntimeError('%s is neither a git checkout nor an unpacked sdist' % root)
    with open(listed[0], encoding='utf-8') as handle:
        return sorted(line.strip() for line in handle if line.strip() and '.egg-info/' not in line)


def build_sdist(out_dir, root=ROOT, python=sys.executable):
    """Builds smsline-VERSION.tar.gz into `out_dir` from a copy of the tracked
    files, so that nothing else in the tree (builds, environments, caches)
    can get in; returns its path."""
    stage = tempfile.mkdtemp(prefix='smsline-sdist-')
    try:
        for name in tracked_files(root):
            if name.startswith(NOT_IN_SDIST) or not os.path.isfile(os.path.join(root, name)):
                continue
            os.makedirs(os.path.dirname(os.path.join(stage, name)), exist_ok=True)
            shutil.copy2(os.path.join(root, name), os.path.join(stage, name))
        os.makedirs(out_dir, exist_ok=True)
        before = set(os.listdir(out_dir))
        run([python, 'setup.py', '-q', 'sdist', '--formats=gztar', '-d', os.path.abspath(out_dir)], cwd=stage,
            capture=True)
        made = [name for name in os.listdir(out_dir) if name.endswith('.tar.gz') and name not in before]
        if not made:   # rebuilt under the same name
            made = [name for name in os.listdir(out_dir) if name.endswith('.tar.gz')]
        return os.path.join(out_dir, sorted(made)[-1])
    finally:
        shutil.rmtree(stage, ignore_errors=True)


def unpack_sdist(sdist, into):
    with tarfile.open(sdist) as archive:
        for member in archive.getmembers():
            if member.name.startswith('/') or '..' in member.name.split('/'):
                raise RuntimeError('%s holds an unsafe path: %s' % (sdist, member.name))
        archive.extractall(into)
    (top,) = os.listdir(into)
    return os.path.join(into, top)


# ---- wheels ------------------------------------------------------------------

# Prints the wheel's interpreter and ABI tags of the CPython running it: cp36-cp36m, cp312-cp312.
INTERPRETER_TAG = ("import sys; version = 'cp%d%d' % sys.version_info[:2]; "
                   "print('%s-%s%s' % (version, version, sys.abiflags))")


def record_hash(data):
    return 'sha256=' + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=').decode('ascii')


def write_wheel(out_dir, metadata, files, tag, extra_dist_info=()):
    """Writes a wheel: `metadata` is the core metadata text (Name, Version,
    ...), `files` (path in the wheel, local path) its contents,
    `extra_dist_info` (name, text) more files of its .dist-info.  Entries are
    sorted and dated 1980-01-01, so the same input gives the same bytes."""
    headers = email.parser.Parser().parsestr(metadata, headersonly=True)
    name, version = re.sub(r'[-_.]+', '_', headers['Name']), headers['Version']
    dist_info = '%s-%s.dist-info' % (name, version)
    wheel_text = ('Wheel-Version: 1.0\nGenerator: smsline scripts/distribution.py\n'
                  'Root-Is-Purelib: %s\nTag: %s\n' % ('true' if tag.endswith('-none-any') else 'false', tag))
    contents = []
    for arcname, path in files:
        with open(path, 'rb') as handle:
            contents.append((arcname, handle.read(), os.stat(path).st_mode & 0o111))
    for filename, text in (('METADATA', metadata), ('WHEEL', wheel_text)) + tuple(extra_dist_info):
        contents.append(('%s/%s' % (dist_info, filename), text.encode('utf-8'), 0))
    record = ''.join('%s,%s,%d\n' % (arcname, record_hash(data), len(data)) for arcname, data, _ in contents)
    contents.append(('%s/RECORD' % dist_info, (record + '%s/RECORD,,\n' % dist_info).encode('utf-8'), 0))
    path = os.path.join(out_dir, '%s-%s-%s.whl' % (name, version, tag))
    os.makedirs(out_dir, exist_ok=True)
    with zipfile.ZipFile(path + '.part', 'w', zipfile.ZIP_DEFLATED) as archive:
        for arcname, data, executable in sorted(contents[:-1]) + contents[-1:]:
            entry = zipfile.ZipInfo(arcname, date_time=(1980, 1, 1, 0, 0, 0))
            entry.external_attr = (0o100755 if executable else 0o100644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data)
    os.replace(path + '.part', path)
    return path


def wheel_metadata(pkg_info, requires):
    """The wheel's METADATA: the sdist's PKG-INFO with the requirements,
    which setuptools keeps in the egg-info's requires.txt, as Requires-Dist."""
    if '[' in requires:
        raise RuntimeError('requires.txt has sections (extras, markers), which this does not convert')
    lines = ''.join('Requires-Dist: %s\n' % line.strip() for line in requires.splitlines() if line.strip())
    headers, _, body = pkg_info.partition('\n\n')
    return headers + '\n' + lines + '\n' + body


def build_wheel(sdist, out_dir, python=sys.executable):
    """Builds the extension and the packages from `sdist` with `python`'s
    setuptools (Release, as pip builds them), checks the extension, and
    writes SMSLINE-VERSION-TAG-manylinux2014_x86_64.whl into `out_dir`.
    Raises RuntimeError naming what the check found.  Returns the path."""
    work = tempfile.mkdtemp(prefix='smsline-wheel-')
    try:
        source = unpack_sdist(sdist, os.path.join(work, 'source'))
        lib = os.path.join(work, 'lib')
        run([python, 'setup.py', '-q', 'build', '--build-lib', lib,
             '--build-temp', os.path.join(work, 'temp')], cwd=source)
        extensions = glob.glob(os.path.join(lib, 'smsline*.so'))
        if len(extensions) != 1:
            raise RuntimeError('the build made %d extensions: %s' % (len(extensions), extensions))
        problems = policy_problems(extensions[0])
        if problems:
            raise RuntimeError('%s is not manylinux2014, so no wheel is tagged:\n  %s' % (
                os.path.basename(extensions[0]), '\n  '.join(problems)))
        files = []
        for directory, subdirectories, names in os.walk(lib):
            subdirectories[:] = [entry for entry in subdirectories if entry != '__pycache__']
            for filename in names:
                path = os.path.join(directory, filename)
                files.append((os.path.relpath(path, lib).replace(os.sep, '/'), path))
        (egg_info,) = glob.glob(os.path.join(source, 'python', '*.egg-info'))
        extra = [(filename, read_text(os.path.join(egg_info, filename)))
                 for filename in ('entry_points.txt', 'top_level.txt')]
        extra.append(('LICENSE', read_text(os.path.join(source, 'LICENSE'))))
        metadata = wheel_metadata(read_text(os.path.join(source, 'PKG-INFO')),
                                  read_text(os.path.join(egg_info, 'requires.txt')))
        tag_python = subprocess.run([python, '-c', INTERPRETER_TAG], stdout=subprocess.PIPE,
                                    universal_newlines=True, check=True).stdout.strip()
        return write_wheel(out_dir, metadata, files, '%s-%s' % (tag_python, PLATFORM_TAG), extra)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def describe_wheel(wheel):
    """The check's line for the extension inside `wheel`."""
    work = tempfile.mkdtemp(prefix='smsline-describe-')
    try:
        with zipfile.ZipFile(wheel) as archive:
            (name,) = [entry for entry in archive.namelist() if re.match(r'^smsline[^/]*\.so$', entry)]
            path = archive.extract(name, work)
        return policy_summary(path)
    finally:
        shutil.rmtree(work, ignore_errors=True)


# ---- fresh environments -------------------------------------------------------

SERIAL = '/usr/lib/python3/dist-packages/serial'


def make_environment(directory, python=sys.executable):
    """A fresh venv of `python` at `directory`, with Debian's pyserial linked
    in as scripts/setup links it.  Returns its python."""
    run([python, '-m', 'venv', directory])
    venv_python = os.path.join(directory, 'bin', 'python')
    site_packages = subprocess.run([venv_python, '-c', 'import site; print(site.getsitepackages()[0])'],
                                   stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout.strip()
    os.symlink(SERIAL, os.path.join(site_packages, 'serial'))
    for metadata in glob.glob('/usr/lib/python3/dist-packages/pyserial-*.*-info'):
        os.symlink(metadata, os.path.join(site_packages, os.path.basename(metadata)))
    return venv_python


# pip before 19.3 (3.6's pip 18.1) knows no manylinux2014 tag and refuses
# such a wheel as "not supported on this platform".  pip 19.3 and later
# accept it on glibc 2.17 or later; this runs pip with that rule added.
_PIP_WITH_MANYLINUX2014 = '''
import sys
from pip._internal import pep425tags
plain = pep425tags.get_supported
def get_supported(*args, **kwargs):
    tags = plain(*args, **kwargs)
    return tags + [(python, abi, "manylinux2014_x86_64") for python, abi, platform in tags
                   if platform == "linux_x86_64"]
pep425tags.get_supported = get_supported
from pip._internal import main
sys.exit(main(sys.argv[1:]))
'''


def pip_command(venv_python):
    """The command that runs the environment's pip, accepting manylinux2014 wheels."""
    version = subprocess.run([venv_python, '-c', 'import pip; print(pip.__version__)'],
                             stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout.strip()
    if tuple(int(part) for part in re.findall(r'\d+', version)[:2]) < (19, 3):
        return [venv_python, '-c', _PIP_WITH_MANYLINUX2014]
    return [venv_python, '-m', 'pip']


def pip(venv_python, *args):
    return run(pip_command(venv_python) + ['--disable-pip-version-check', '--no-cache-dir'] + list(args),
               capture=True)


def verify_wheel(wheel, python=sys.executable, number='+15551234567'):
    """Installs `wheel` into a fresh environment of `python`, checks that pip
    sees every requirement met, sends one message through the simulator with
    the installed smsline-send from outside the source tree, and uninstalls
    it: nothing of smsline may be left.  Returns what the simulator received."""
    work = tempfile.mkdtemp(prefix='smsline-verify-')
    try:
        venv = os.path.join(work, 'venv')
        venv_python = make_environment(venv, python)
        before = installed_files(venv)
        pip(venv_python, 'install', '--no-index', '--no-deps', wheel)
        checked = pip(venv_python, 'check')
        if 'No broken requirements found' not in checked:
            raise RuntimeError('pip check after installing %s: %s' % (wheel, checked))
        text = 'from the %s wheel' % os.path.basename(wheel).split('-')[2]
        sent = run([os.path.join(venv, 'bin', 'smsline-send'), '--simulate', number, text], cwd=work,
                   capture=True, env={'PYTHONPATH': None})
        received = [line for line in sent.splitlines() if line.startswith('simulator received: ')]
        if received != ['simulator received: to=%s text=%s ref=1' % (number, text)]:
            raise RuntimeError('smsline-send --simulate from %s: %s' % (wheel, sent))
        pip(venv_python, 'uninstall', '--yes', 'smsline')
        left = installed_files(venv) - before
        if left:
            raise RuntimeError('left behind by pip uninstall smsline: %s' % ', '.join(sorted(left)))
        return received[0]
    finally:
        shutil.rmtree(work, ignore_errors=True)


def installed_files(venv):
    """The files under an environment, but for bytecode caches."""
    return set(os.path.relpath(os.path.join(directory, name), venv)
               for directory, subdirectories, names in os.walk(venv)
               for name in names if '__pycache__' not in directory)


# ---- helpers -------------------------------------------------------------------

def read_text(path):
    with open(path, encoding='utf-8') as handle:
        return handle.read()


def run(command, cwd=None, capture=False, env=None):
    """Runs `command`; its output goes to standard error (standard output
    carries only results), or is returned with `capture`.  A failure raises
    RuntimeError with the command and its output."""
    environment = dict(os.environ)
    for key, value in (env or {}).items():
        if value is None:
            environment.pop(key, None)
        else:
            environment[key] = value
    done = subprocess.run(command, cwd=cwd, env=environment, universal_newlines=True,
                          stdout=subprocess.PIPE if capture else sys.stderr,
                          stderr=subprocess.STDOUT if capture else None)
    if done.returncode != 0:
        raise RuntimeError('%s failed (status %d)%s' % (
            ' '.join(command[:4]) + (' ...' if len(command) > 4 else ''), done.returncode,
            ':\n' + done.stdout if capture else ''))
    return done.stdout if capture else ''


def main(argv):
    if len(argv) >= 2 and argv[0] == 'sdist':
        print(build_sdist(argv[1]))
    elif len(argv) >= 2 and argv[0] == 'check':
        results = [(path, policy_problems(path)) for path in argv[1:]]
        for path, _ in results:
            print(policy_summary(path))
        return 1 if any(problems for _, problems in results) else 0
    elif len(argv) == 3 and argv[0] == 'wheel':
        print(build_wheel(argv[1], argv[2]))
    elif len(argv) == 2 and argv[0] == 'verify':
        print(verify_wheel(argv[1]))
    elif len(argv) == 2 and argv[0] == 'describe':
        print(describe_wheel(argv[1]))
    else:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    return 0


if __name__ == '__main__':
    try:
        sys.exit(main(sys.argv[1:]))
    except RuntimeError as error:
        print('distribution: %s' % error, file=sys.stderr)
        sys.exit(1)
