#!/usr/bin/env python3
"""Checks a driver package folder before the build takes it, and takes it.

    check-driver-package.py --package DIR --expected-inf FILE --program-files LIST
                            --out DIR --list FILE [--ca FILE] [--test]

DIR holds the package: crvnv6.inf, the catalog it names, and the files it
copies, each architecture's in the folder the INF names. FILE is the INF the
build generates from the program's model catalogue: its hardware ids are the
ones the program computes. LIST (separated by ';') names the files that the
program itself installs on the manual road, which the package must hold
under those very names.

The checks, in this order; the first that fails ends the script with one
line on standard error that names what is wrong, and exit code 1:
  - the INF is there, and names a catalog (CatalogFile=) that is there;
  - every file the INF copies or lists for an architecture is in the folder
    the INF names for it, and every file the program installs is there;
  - the INF's hardware ids, for each architecture, are exactly the
    expected INF's: no more, no fewer;
  - the INF's DriverVer (date and version) is the expected INF's, the
    build's (CORVANE_DRIVER_DATE, CORVANE_DRIVER_VERSION): Windows installs
    the version the INF names, and the program registers, compares and logs
    the build's;
  - unless --test: the catalog is a signed PKCS #7 file (openssl), and the
    hash of the INF and of each file it names is in it (osslsigncode for the
    PE files, the file's SHA-1 or SHA-256 for the others).
What could not be checked is said in one line on standard output. Then the
files are copied, unchanged, to the --out folder, and --list names them, one
a line, relative to it with forward slashes.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

INF_NAME = 'crvnv6.inf'
ARCHITECTURES = ['x86', 'amd64', 'arm', 'arm64']
FOLDER_OF = {'x86': 'i386', 'amd64': 'amd64', 'arm': 'arm', 'arm64': 'arm64'}


class Failure(Exception):
    pass


# --- reading an INF ----------------------------------------------------------

def decode(raw):
    if raw.startswith(b'\xff\xfe'):
        return raw[2:].decode('utf-16-le')
    if raw.startswith(b'\xef\xbb\xbf'):
        return raw[3:].decode('utf-8')
    return raw.decode('cp1252', errors='replace')


def strip_comment(line):
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ';' and not quoted:
            return line[:i]
    return line


def split_fields(text):
    fields, current, quoted = [], '', False
    for c in text:
        if c == '"':
            quoted = not quoted
        elif c == ',' and not quoted:
            fields.append(current.strip())
            current = ''
        else:
            current += c
    fields.append(current.strip())
    return fields


class Inf:
    """Sections by lower-case name, each a list of (key or None, value)."""

    def __init__(self, path):
        self.sections = {}
        section = None
        pending = ''
        for raw in decode(open(path, 'rb').read()).splitlines():
            line = strip_comment(pending + raw).rstrip()
            pending = ''
            if line.endswith('\\') and not line.startswith('['):
                pending = line[:-1]
                continue
            line = line.strip()
            if not line:
                continue
            if line.startswith('[') and ']' in line:
                section = self.sections.setdefault(line[1:line.index(']')].strip().lower(), [])
                continue
            if section is None:
                continue
            key, value = None, line
            quoted = False
            for i, c in enumerate(line):
                if c == '"':
                    quoted = not quoted
                elif c == '=' and not quoted:
                    key, value = line[:i].strip(), line[i + 1:].strip()
                    break
            section.append((key, value))
        self.strings = {}
        for key, value in self.sections.get('strings', []):
            if key is not None:
                self.strings[key.strip('"').lower()] = value.strip().strip('"')

    def expand(self, text):
        out, i = '', 0
        while i < len(text):
            if text[i] == '%':
                end = text.find('%', i + 1)
                if end < 0:
                    out += text[i:]
                    break
                token = text[i + 1:end]
                out += '%' if token == '' else self.strings.get(token.lower(), '%' + token + '%')
                i = end + 1
            else:
                out += text[i]
                i += 1
        return out

    def entries(self, name):
        return [(k, [self.expand(f) for f in split_fields(v)]) for k, v in self.sections.get(name.lower(), [])]

    def values(self, section, key):
        return [fields[0] for k, fields in self.entries(section) if k is not None and k.lower() == key.lower()]


def applies_to(decoration, architecture):
    """Whether a models-section decoration (NTamd64, NTamd64.10.0, NT, none) serves the architecture."""
    platform = decoration.split('.')[0].lower() if decoration else ''
    if platform in ('', 'nt'):
        return architecture == 'x86'
    return platform == 'nt' + architecture


def models_sections(inf, architecture):
    sections = []
    for _, fields in inf.entries('Manufacturer'):
        base, decorations = fields[0], [d for d in fields[1:] if d]
        if not decorations:
            decorations = ['']
        for decoration in decorations:
            if applies_to(decoration, architecture):
                sections.append(base + ('.' + decoration if decoration else ''))
    return sections


def hardware_ids(inf, architecture):
    """{models section: set of ids} for the architecture; each line's hardware and compatible ids."""
    found = {}
    for section in models_sections(inf, architecture):
        ids = set()
        for key, fields in inf.entries(section):
            if key is not None:
                ids.update(f.lower() for f in fields[1:] if f)
        found[section] = ids
    return found


def install_sections(inf, architecture):
    names = set()
    for section in models_sections(inf, architecture):
        for key, fields in inf.entries(section):
            if key is not None and fields and fields[0]:
                names.add(fields[0])
    chosen = []
    for name in sorted(names):
        for candidate in (name + '.NT' + architecture, name + '.NT', name):
            if candidate.lower() in inf.sections:
                chosen.append(candidate)
                break
    return chosen


def platform_section(inf, base, architecture):
    """An undecorated section, overridden entry by entry by the architecture's."""
    merged = {}
    for name in (base, base + '.' + architecture):
        for key, fields in inf.entries(name):
            if key is not None:
                merged[key.lower()] = fields
    return merged


def files_named(inf, architecture):
    """{relative path in lower case: why} of every file the INF copies or lists for the architecture."""
    disks = platform_section(inf, 'SourceDisksNames', architecture)
    placed = platform_section(inf, 'SourceDisksFiles', architecture)
    included = bool(inf.values('Version', 'Include')) or any(
        inf.values(s, 'Include') for s in install_sections(inf, architecture))
    wanted = {name: 'SourceDisksFiles' for name in placed}
    for section in install_sections(inf, architecture):
        for copy in inf.values(section, 'CopyFiles'):
            for item in split_fields(copy):
                item = inf.expand(item)
                if item.startswith('@'):
                    wanted.setdefault(item[1:].lower(), section)
                elif item:
                    for key, fields in inf.entries(item):
                        source = fields[1] if len(fields) > 1 and fields[1] else (key if key is not None else fields[0])
                        wanted.setdefault(source.lower(), item)
    paths = {}
    for name, why in wanted.items():
        if name not in placed:
            if included:
                continue  # a file of the INF it includes, which Windows has
            raise Failure('%s copies %s (%s) for %s, but no SourceDisksFiles section places it'
                          % (INF_NAME, name, why, architecture))
        disk = placed[name][0]
        if disk.lower() not in disks:
            raise Failure('%s places %s on disk %s, which SourceDisksNames.%s does not name'
                          % (INF_NAME, name, disk, architecture))
        disk_fields = disks[disk.lower()]
        folder = disk_fields[3] if len(disk_fields) > 3 else ''
        subfolder = placed[name][1] if len(placed[name]) > 1 else ''
        parts = [p for p in (folder + '\\' + subfolder + '\\' + name).replace('/', '\\').split('\\') if p]
        paths['/'.join(parts).lower()] = '%s for %s' % (why, architecture)
    return paths


# --- the checks --------------------------------------------------------------

def package_files(root):
    """{relative path in lower case: relative path as it is} of every file under root."""
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            rel = os.path.relpath(os.path.join(folder, name), root).replace(os.sep, '/')
            found[rel.lower()] = rel
    return found


def check_ids(inf, expected):
    for architecture in ARCHITECTURES:
        want = set()
        for ids in hardware_ids(expected, architecture).values():
            want |= ids
        sections = hardware_ids(inf, architecture)
        if want and not sections:
            raise Failure('%s has no models section for %s; the program knows %d hardware ids there'
                          % (INF_NAME, architecture, len(want)))
        for section, ids in sections.items():
            more, fewer = sorted(ids - want), sorted(want - ids)
            if more or fewer:
                raise Failure("%s's hardware ids for %s [%s] are not the program's: %d more%s, %d fewer%s"
                              % (INF_NAME, architecture, section, len(more), ' (%s)' % more[0] if more else '',
                                 len(fewer), ' (%s)' % fewer[0] if fewer else ''))


def driver_ver(inf):
    """DriverVer as ((month, day, year), (a, b, c, d)), or None when it is missing or malformed."""
    values = [v for k, v in inf.sections.get('version', []) if k is not None and k.lower() == 'driverver']
    if len(values) != 1:
        return None
    fields = split_fields(inf.expand(values[0]))
    try:
        date = tuple(int(p) for p in fields[0].split('/'))
        version = tuple(int(p) for p in fields[1].split('.')) if len(fields) > 1 and fields[1] else ()
    except ValueError:
        return None
    version = (version + (0, 0, 0, 0))[:4]
    if len(date) != 3 or len(fields) > 2 or any(p > 65535 for p in version):
        return None
    return date, version


def check_driver_ver(inf, expected):
    got, want = driver_ver(inf), driver_ver(expected)
    if want is None:
        raise Failure('the expected INF has no DriverVer of its own')
    if got != want:
        def show(v):
            return '%02d/%02d/%04d,%s' % (v[0] + ('.'.join(str(p) for p in v[1]),)) if v else 'none'
        raise Failure('%s has DriverVer %s, the build %s: build with -DCORVANE_DRIVER_DATE and '
                      '-DCORVANE_DRIVER_VERSION set to the maker\'s' % (INF_NAME, show(got), show(want)))


def is_pe(path):
    with open(path, 'rb') as f:
        head = f.read(0x40)
        if head[:2] != b'MZ' or len(head) < 0x40:
            return False
        f.seek(int.from_bytes(head[0x3C:0x40], 'little'))
        return f.read(4) == b'PE\0\0'


def run(*command):
    try:
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    except FileNotFoundError:
        return None, ''
    return result.returncode, result.stdout


def check_catalog(root, catalog, covered, ca, notes):
    path = os.path.join(root, catalog)
    status, out = run('openssl', 'cms', '-verify', '-noverify', '-binary', '-inform', 'DER', '-in', path,
                      '-out', os.devnull)
    if status is None:
        notes.append('openssl is not here: whether %s is signed, and what it covers, was not checked' % catalog)
        return
    if status != 0:
        raise Failure('%s is not a signed PKCS #7 file: %s' % (catalog, (out.strip().splitlines() or ['?'])[0]))
    data = open(path, 'rb').read()
    with tempfile.TemporaryDirectory() as work:
        anchors = ca
        if not anchors:
            # The catalog's own certificates stand in for the trust the PCs have.
            anchors = os.path.join(work, 'signers.pem')
            run('openssl', 'pkcs7', '-inform', 'DER', '-in', path, '-print_certs', '-out', anchors)
            notes.append('whether the PCs trust the signer of %s (Microsoft, or a publisher in their Trusted '
                         'Publishers) was not checked: CORVANE_DRIVER_PACKAGE_CA names the certificate to check it '
                         'against' % catalog)
        else:
            status, out = run('osslsigncode', 'verify', '-CAfile', anchors, '-in', path)
            if status != 0:
                raise Failure('the signature of %s does not verify against %s' % (catalog, ca))
        status, usage = run('osslsigncode', '--help')
        pe_checked = status is not None and '-catalog' in usage
        unchecked = []
        for rel in covered:
            file = os.path.join(root, rel)
            if is_pe(file):
                if not pe_checked:
                    unchecked.append(rel)
                    continue
                status, _ = run('osslsigncode', 'verify', '-CAfile', anchors, '-catalog', path, '-in', file)
                ok = status == 0
            else:
                content = open(file, 'rb').read()
                ok = hashlib.sha256(content).digest() in data or hashlib.sha1(content).digest() in data
            if not ok:
                raise Failure('the hash of %s is not in %s' % (rel, catalog))
        if unchecked:
            notes.append('osslsigncode with -catalog (2.6 or later) is not here: the hashes of %s in %s were not '
                         'checked' % (', '.join(unchecked), catalog))


def take(args):
    root = args.package
    present = package_files(root)
    if INF_NAME not in present:
        raise Failure('%s is not there' % INF_NAME)
    inf = Inf(os.path.join(root, present[INF_NAME]))
    catalogs = []
    for key in ['CatalogFile'] + ['CatalogFile.NT' + a for a in [''] + ARCHITECTURES]:
        catalogs += [c for c in inf.values('Version', key) if c and c not in catalogs]
    if not catalogs:
        raise Failure('%s names no catalog (CatalogFile= in [Version])' % INF_NAME)
    for catalog in catalogs:
        if catalog.lower() not in present:
            raise Failure('the catalog %s that %s names is not there' % (catalog, INF_NAME))
    named = {}
    for architecture in ARCHITECTURES:
        for rel, why in files_named(inf, architecture).items():
            if rel not in present:
                raise Failure('%s copies %s (%s), which is not there' % (INF_NAME, rel.replace('/', '\\'), why))
            named.setdefault(rel, why)
    for rel in args.program_files.split(';'):
        if rel and rel not in present.values():
            raise Failure('the program installs %s itself, on the manual road, and it is not there'
                          % rel.replace('/', '\\'))
    expected = Inf(args.expected_inf)
    check_ids(inf, expected)
    check_driver_ver(inf, expected)
    notes = []
    covered = [present[INF_NAME]] + [present[rel] for rel in sorted(named)]
    if args.test:
        notes.append('This is a test package (stand-in driver files, an unsigned stand-in catalog): Windows will not '
                     'stage it. A release is built from the maker\'s signed package (CORVANE_DRIVER_PACKAGE).')
    else:
        for catalog in catalogs:
            check_catalog(root, present[catalog.lower()], covered, args.ca, notes)
    taken = sorted(set(covered) | {present[c.lower()] for c in catalogs} |
                   {r for r in args.program_files.split(';') if r})
    shutil.rmtree(args.out, ignore_errors=True)
    for rel in taken:
        os.makedirs(os.path.dirname(os.path.join(args.out, rel)), exist_ok=True)
        shutil.copyfile(os.path.join(root, rel), os.path.join(args.out, rel))
    with open(args.list, 'w') as f:
        f.write(''.join(rel + '\n' for rel in taken))
    for note in notes:
        print('Driver package: ' + note)


def main():
    parser = argparse.ArgumentParser(description='Checks and takes a driver package folder.')
    parser.add_argument('--package', required=True)
    parser.add_argument('--expected-inf', required=True)
    parser.add_argument('--program-files', required=True)
    parser.add_argument('--out', required=True)
    parser.add_argument('--list', required=True)
    parser.add_argument('--ca', default='')
    parser.add_argument('--test', action='store_true')
    args = parser.parse_args()
    try:
        take(args)
    except Failure as failure:
        sys.stderr.write('Driver package %s: %s\n' % (args.package, failure))
        sys.exit(1)


if __name__ == '__main__':
    main()
