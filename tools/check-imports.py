#!/usr/bin/env python3
"""Checks the imports of a built Windows executable without running it.

    tools/check-imports.py [--slots] [--dlls] [--cmake CMakeLists.txt] EXE...

--slots: every indirect call or jump through a slot of the import sections
(`call *ADDR`, `jmp *ADDR`, RIP-relative on x64), and every load of such a
slot into a register, reaches a slot the loader fills (one of an import
descriptor's address table) or a slot whose stored value points into the
program's own code (a delay-load slot whose thunk was linked in). A slot that
holds 0, or anything else, would be called as that address.

--dlls: the import directory names exactly PRODUCT_STATIC_DLLS of
CMakeLists.txt; the delay-loaded DLLs are exactly PRODUCT_DELAY_DLLS, or none
when that list does not exist; no DLL of PRODUCT_RUNTIME_DLLS (loaded at run
time) is imported either way. Names compare case-insensitively.

Without --slots or --dlls it does both. The instructions of x86 and x64
files come from the mingw-w64 objdump of the file's machine (OBJDUMP
overrides it); those of an ARM64 file are decoded here: a slot is reached by
an ADRP of its page and a 64-bit LDR from it (`adrp x16, ...; ldr x16,
[x16, #...]`). Prints what it found and a "FAIL" line for each fault; exits
1 when there is one.
"""
import os
import re
import struct
import subprocess
import sys

MACHINES = {0x14C: ("i386", "i686-w64-mingw32-objdump"), 0x8664: ("x86-64", "x86_64-w64-mingw32-objdump"),
            0xAA64: ("aarch64", None)}
# How far apart (in instructions) an ADRP and the LDR that uses its page may be.
ARM64_PAIR_WINDOW = 8
IMAGE_SCN_CNT_CODE = 0x20
IMAGE_SCN_MEM_EXECUTE = 0x20000000


class Image:
    def __init__(self, path):
        self.path = path
        d = self.data = open(path, "rb").read()
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[:2] != b"MZ" or d[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        machine, nsect, _, _, _, optsize = struct.unpack_from("<HHIIIH", d, pe + 4)
        if machine not in MACHINES:
            raise ValueError("machine 0x%x" % machine)
        self.arch, self.objdump = MACHINES[machine]
        opt = pe + 24
        pe32plus = struct.unpack_from("<H", d, opt)[0] == 0x20B
        self.ptr = 8 if pe32plus else 4
        self.base = struct.unpack_from("<Q", d, opt + 24)[0] if pe32plus else struct.unpack_from("<I", d, opt + 28)[0]
        ndirs = struct.unpack_from("<I", d, opt + (108 if pe32plus else 92))[0]
        dirs = opt + (112 if pe32plus else 96)
        self.dirs = [struct.unpack_from("<II", d, dirs + 8 * i) for i in range(ndirs)]
        self.sections = []
        for i in range(nsect):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", d, opt + optsize + 40 * i)
            flags = struct.unpack_from("<I", d, opt + optsize + 40 * i + 36)[0]
            self.sections.append((name.rstrip(b"\0").decode(), va, max(vsize, rawsize), rawsize, rawptr,
                                  bool(flags & (IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE))))

    def section(self, rva):
        for s in self.sections:
            if s[1] <= rva < s[1] + s[2]:
                return s
        return None

    def read(self, rva, size):
        s = self.section(rva)
        if s is None:
            return None
        at = rva - s[1]
        raw = self.data[s[4] + at:s[4] + min(at + size, s[3])] if at < s[3] else b""
        return raw + b"\0" * (size - len(raw))

    def word(self, rva, size=4):
        raw = self.read(rva, size)
        return None if raw is None else int.from_bytes(raw, "little")

    def text(self, rva, limit=256):
        raw = self.read(rva, limit)
        return None if raw is None or b"\0" not in raw else raw[:raw.index(b"\0")].decode("latin-1")

    def in_code(self, va):
        s = self.section(va - self.base) if va >= self.base else None
        return s is not None and s[5]

    def thunks(self, table, slot_table):
        """(slot RVA, imported name) of a null-terminated thunk table."""
        out = []
        for i in range(100000):
            entry = self.word(table + i * self.ptr, self.ptr)
            if not entry:
                break
            if entry >> (self.ptr * 8 - 1):
                name = "#%d" % (entry & 0xFFFF)
            else:
                name = self.text(entry + 2) or "?"
            out.append((slot_table + i * self.ptr, name))
        return out

    def imports(self):
        """[(DLL name, [(slot RVA, function)])] of the import directory."""
        rva, size = self.dirs[1] if len(self.dirs) > 1 else (0, 0)
        out = []
        while rva and size:
            lookup, _, _, name, first = struct.unpack("<IIIII", self.read(rva, 20))
            if not (lookup or name or first):
                break
            out.append((self.text(name), self.thunks(lookup or first, first)))
            rva += 20
        return out

    def delay_descriptor(self, at):
        """(DLL name, IAT RVA, INT RVA) of the delay-load descriptor at RVA `at`, or None."""
        raw = self.read(at, 32)
        if raw is None:
            return None
        attrs, name, handle, iat, names = struct.unpack_from("<IIIII", raw)
        if attrs & 1 == 0:  # the old layout holds addresses, not RVAs
            name, handle, iat, names = (x - self.base if x >= self.base else 0 for x in (name, handle, iat, names))
        text = self.text(name, 64) if name else None
        if (attrs > 1 or not text or not re.fullmatch(r"[\w.-]+\.(dll|drv|exe|ocx|cpl|sys)", text, re.I)
                or not all(self.section(x) for x in (handle, iat, names))):
            return None
        return text, iat, names

    def delay_imports(self):
        """([(DLL name, [(slot RVA, function)])], where the descriptors were found)."""
        rva, size = self.dirs[13] if len(self.dirs) > 13 else (0, 0)
        found = []
        if rva and size:
            where = "the header's delay-import directory"
            while True:
                desc = self.delay_descriptor(rva)
                if desc is None:
                    break
                found.append(desc)
                rva += 32
        else:
            # GNU ld leaves the header's entry empty for dlltool's delay-load
            # descriptors: look for them by their shape in every section.
            where = set()
            for s in self.sections:
                for at in range(s[1], s[1] + s[3] - 31, 4):
                    desc = self.delay_descriptor(at) if self.data[s[4] + at - s[1]] == 1 else None
                    if desc:
                        found.append(desc)
                        where.add(s[0])
            where = ("descriptors found in %s, the header's delay-import entry is empty" % ", ".join(sorted(where))
                     if where else "")
        return [(name, self.thunks(names, iat)) for name, iat, names in found], where


def cmake_list(cmakelists, var):
    """The values of set(VAR ...) in CMakeLists.txt, or None when it has none."""
    text = re.sub(r"#[^\n]*", "", open(cmakelists).read())
    m = re.search(r"\bset\(\s*%s\b([^)]*)\)" % var, text)
    return None if m is None else m.group(1).split()


SITE = re.compile(r"^\s*([0-9a-f]+):\t[0-9a-f ]+\t(?:\w+\.?\w* )?(call|jmp|mov)\s+"
                  r"(?:\*0x([0-9a-f]+)|0x([0-9a-f]+),%\w+"
                  r"|\*?0x[0-9a-f]+\(%rip\)(?:,%\w+)?\s+# (?:0x)?([0-9a-f]+))\s*(?:<.*>)?$")


def x86_sites(img):
    """{address: [how it is reached]} of every indirect call, jump and load, from objdump."""
    tool = os.environ.get("OBJDUMP", img.objdump)
    listing = subprocess.run([tool, "-d", img.path], check=True, capture_output=True, text=True).stdout
    sites = {}
    for line in listing.splitlines():
        m = SITE.match(line)
        if m:
            kind = "load" if m.group(2) == "mov" else m.group(2)
            sites.setdefault(int(m.group(3) or m.group(4) or m.group(5), 16), []).append(
                "%s at 0x%s" % (kind, m.group(1)))
    return sites


def arm64_sites(img):
    """{address: [how it is loaded]} of every 64-bit LDR from a page an ADRP shortly before named."""
    sites = {}
    for name, va, _, rawsize, rawptr, code in img.sections:
        if not code:
            continue
        pages = {}  # register -> (page, index of the ADRP)
        for i in range(rawsize // 4):
            insn = struct.unpack_from("<I", img.data, rawptr + 4 * i)[0]
            pc = img.base + va + 4 * i
            if insn & 0x9F000000 == 0x90000000:  # ADRP Xd, label
                imm = ((insn >> 5) & 0x7FFFF) << 2 | (insn >> 29) & 3
                imm -= (1 << 21) if imm & (1 << 20) else 0
                pages[insn & 31] = ((pc & ~0xFFF) + (imm << 12), i)
            elif insn & 0xFFC00000 == 0xF9400000:  # LDR Xt, [Xn, #imm12 * 8]
                base = pages.get((insn >> 5) & 31)
                if base and i - base[1] <= ARM64_PAIR_WINDOW:
                    target = base[0] + ((insn >> 10) & 0xFFF) * 8
                    sites.setdefault(target, []).append("load at 0x%x" % pc)
    return sites


def check_slots(img):
    """The faults of every call, jump and load through a slot of the import sections."""
    imports, (delays, _) = img.imports(), img.delay_imports()
    filled = {rva: "%s!%s" % (dll, fn) for dll, slots in imports for rva, fn in slots}
    delay_slots = {rva: "%s!%s, delay-loaded" % (dll, fn) for dll, slots in delays for rva, fn in slots}
    tables = list(filled) + list(delay_slots) + ([img.dirs[12][0]] if len(img.dirs) > 12 and img.dirs[12][0] else [])
    region = {img.section(rva)[0] for rva in tables if img.section(rva)}
    # GNU ld keeps the import tables in a section of their own; lld puts them
    # into .rdata among the program's constants, so there only the tables'
    # own extent (each with its terminating slot) counts.
    spans = [(min(t), max(t) + img.ptr) for t in
             ([rva for rva, _ in slots] for _, slots in imports + delays) if t]
    if len(img.dirs) > 12 and img.dirs[12][0]:
        spans.append((img.dirs[12][0], img.dirs[12][0] + img.dirs[12][1] - img.ptr))
    sites = {}
    for va, how in (arm64_sites(img) if img.objdump is None else x86_sites(img)).items():
        s = img.section(va - img.base) if va >= img.base else None
        if s is None or s[0] not in region:
            continue
        if s[0] == ".rdata" and not any(a <= va - img.base <= b for a, b in spans):
            continue
        sites[va] = how
    faults, thunked = [], 0
    for va in sorted(sites):
        rva = va - img.base
        if rva in filled:
            continue
        value = img.word(rva, img.ptr)
        if img.in_code(value):
            thunked += 1
            continue
        faults.append("slot 0x%x (%s) in %s holds 0x%0*x, not an address in the program's code; reached by %s"
                      % (va, delay_slots.get(rva, "in no import table"), img.section(rva)[0], img.ptr * 2, value,
                         ", ".join(sites[va][:4]) + (" and %d more" % (len(sites[va]) - 4) if len(sites[va]) > 4 else "")))
    uses = sum(len(v) for v in sites.values())
    print("  %d calls, jumps and loads through %d slots of %s: %d filled by the loader, %d holding a thunk of the program"
          % (uses, len(sites), ", ".join(sorted(region)), len(sites) - thunked - len(faults), thunked))
    if not sites:
        faults.append("no call through an import slot found: the disassembly was not understood")
    return faults


def check_dlls(img, cmakelists):
    """The faults of the imported and delay-loaded DLL names against the CMake lists."""
    faults = []
    static = cmake_list(cmakelists, "PRODUCT_STATIC_DLLS")
    delay = cmake_list(cmakelists, "PRODUCT_DELAY_DLLS")
    runtime = cmake_list(cmakelists, "PRODUCT_RUNTIME_DLLS")
    imported = [dll for dll, _ in img.imports()]
    delays, where = img.delay_imports()
    delayed = [dll for dll, _ in delays]
    print("  imports: %s" % (" ".join(imported) or "none"))
    print("  delay-loaded: %s%s" % (" ".join(delayed) or "none", " (%s)" % where if where else ""))
    if runtime is not None:
        print("  loaded at run time (PRODUCT_RUNTIME_DLLS): %s" % (" ".join(runtime) or "none"))

    def compare(what, names, listname, expected):
        have = {n.lower() for n in names}
        want = {n.lower() for n in expected}
        if have != want:
            faults.append("%s %s, %s is %s: %s" % (
                what, " ".join(sorted(have)) or "nothing", listname, " ".join(sorted(want)) or "empty",
                "; ".join(x for x in ("not listed: " + " ".join(sorted(have - want)) if have - want else "",
                                      "not imported: " + " ".join(sorted(want - have)) if want - have else "") if x)))
    if static is None:
        faults.append("%s sets no PRODUCT_STATIC_DLLS" % cmakelists)
    else:
        compare("the import directory names", imported, "PRODUCT_STATIC_DLLS", static)
    compare("the program delay-loads", delayed, "PRODUCT_DELAY_DLLS" + ("" if delay is not None else " (not set)"),
            delay or [])
    if runtime is not None:
        both = {n.lower() for n in imported + delayed} & {n.lower() for n in runtime}
        if both:
            faults.append("%s of PRODUCT_RUNTIME_DLLS (loaded at run time) %s imported or delay-loaded"
                          % (" ".join(sorted(both)), "is" if len(both) == 1 else "are"))
    return faults


def main(argv):
    modes = {a for a in argv if a in ("--slots", "--dlls")} or {"--slots", "--dlls"}
    cmakelists = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "CMakeLists.txt")
    if "--cmake" in argv:
        cmakelists = argv[argv.index("--cmake") + 1]
        argv = argv[:argv.index("--cmake")] + argv[argv.index("--cmake") + 2:]
    files = [a for a in argv if not a.startswith("--")]
    if not files:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    bad = 0
    for path in files:
        try:
            img = Image(path)
        except (OSError, ValueError, struct.error) as e:
            print("FAIL  %s: cannot read it as a Windows executable: %s" % (path, e))
            bad += 1
            continue
        print("%s (%s)" % (path, img.arch))
        faults = (check_dlls(img, cmakelists) if "--dlls" in modes else []) + \
                 (check_slots(img) if "--slots" in modes else [])
        for f in faults:
            print("FAIL  %s: %s" % (path, f))
        bad += len(faults)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
