#!/usr/bin/env python3
"""What Windows and a host read from the built PE files, checked without running them.

    pe_checks.py SYSTEM32 UNSTRIPPED_FOLDER MODULE.vst3 PROGRAM.exe EXPORT...

For each file: a PE32+ x86-64 image; ASLR with high entropy and DEP in its DLL
characteristics; imports from Windows' own DLLs only (each present in Wine's
system32, none of MinGW's runtime DLLs); the version record (read back with
icoutils' wrestool) naming "Quillon Audio", "Brask Overdrive" and "1.0.0". The
module exports exactly the given entry points; the program carries the icon.

The files ship stripped; the build keeps each one's unstripped copy (same name)
in UNSTRIPPED_FOLDER. Every section of the shipped file must be byte for byte
the copy's, so what the copy's symbols show holds for the shipped code: the
stack protector is in effect (its guard and its failure handler are linked, and
the code calls the handler from many functions), and no aligned or non-temporal
vector access to the stack in 32- or 64-byte registers is left (Win64 keeps
16-byte stack alignment only)."""
import re
import struct
import subprocess
import sys
import os

OBJDUMP = "x86_64-w64-mingw32-objdump"
failed = False


def check(ok, what, detail=""):
    global failed
    print(("PASS  " if ok else "FAIL  ") + what + (f" ({detail})" if detail and not ok else ""))
    failed = failed or not ok


def headers(path):
    return subprocess.run([OBJDUMP, "-p", path], check=True, capture_output=True, text=True, timeout=120).stdout


def exports_of(dump):
    table = dump.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) < 2:
        return []
    names = []
    for line in table[1].splitlines()[1:]:
        m = re.match(r"\s*\[\s*\d+\]\s+(\S+)", line)
        if not m:
            break
        names.append(m.group(1))
    return names


def version_record(path):
    """The StringFileInfo pairs and the fixed file version of the VS_VERSIONINFO resource."""
    raw = subprocess.run(["wrestool", "-x", "--raw", "-t", "16", path], check=True, capture_output=True,
                         timeout=60).stdout
    strings = {}

    def block(offset, end):
        length, value_length, kind = struct.unpack_from("<HHH", raw, offset)
        key_end = offset + 6
        while raw[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = raw[offset + 6:key_end].decode("utf-16-le")
        value_start = (key_end + 2 + 3) & ~3
        block_end = min(offset + length, end)
        if kind == 1 and value_length:
            text = raw[value_start:value_start + 2 * value_length].decode("utf-16-le").rstrip("\0")
            strings[key] = text
            value_size = 2 * value_length
        else:
            value_size = value_length
        if key == "VS_VERSION_INFO":
            ms, ls = struct.unpack_from("<II", raw, value_start + 8)
            strings["(fixed file version)"] = f"{ms >> 16}.{ms & 0xffff}.{ls >> 16}.{ls & 0xffff}"
        child = (value_start + value_size + 3) & ~3
        while child + 6 <= block_end:
            child_length = struct.unpack_from("<H", raw, child)[0]
            if child_length == 0:
                break
            block(child, block_end)
            child = (child + child_length + 3) & ~3

    block(0, len(raw))
    return strings


def pe_layout(path):
    """From the PE file's COFF header: how many symbols its symbol table holds, and
    its sections (name, address, and the bytes the file holds for them)."""
    with open(path, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3c)[0]
    count, _, _, symbol_count, optional_size = struct.unpack_from("<HIIIH", data, pe + 6)
    table = pe + 24 + optional_size
    found = []
    for n in range(count):
        name, _, address, size, offset = struct.unpack_from("<8sIIII", data, table + 40 * n)
        found.append((name.rstrip(b"\0").decode(), address, data[offset:offset + size]))
    return symbol_count, found


STACK_ALIGNED = re.compile(r"\b(v?movnt\w+|vmova\w+|vmovdqa\w*|movntdqa)\b")


def read_disassembly(path):
    """In one pass over the code: the instructions that need 32/64-byte alignment and
    address the stack; how many 32/64-byte stack accesses there are at all (so that
    the check is seen to look); and the functions that call the stack protector's
    failure handler."""
    faults, wide_stack_accesses, protected = [], 0, set()
    function = None
    process = subprocess.Popen([OBJDUMP, "-d", "--no-show-raw-insn", path], stdout=subprocess.PIPE, text=True)
    for line in process.stdout:
        if line.endswith(">:\n"):
            function = line
            continue
        if "<__stack_chk_fail>" in line and "call" in line:
            protected.add(function)
            continue
        if "%rsp" not in line and "%rbp" not in line:
            continue
        if "%ymm" not in line and "%zmm" not in line:
            continue
        if not re.search(r"\(%r[sb]p", line):
            continue
        wide_stack_accesses += 1
        if STACK_ALIGNED.search(line):
            faults.append(line.strip())
    process.wait(timeout=600)
    return faults, wide_stack_accesses, protected


def main():
    system32, unstripped_folder, module, program, *expected_exports = sys.argv[1:]
    for path in (module, program):
        name = os.path.basename(path)
        dump = headers(path)
        unstripped = os.path.join(unstripped_folder, name)
        check("file format pei-x86-64" in dump and re.search(r"^Magic\s+020b", dump, re.M) is not None,
              f"{name} is a PE32+ x86-64 image")

        flags = int(re.search(r"^DllCharacteristics\s+([0-9a-fA-F]+)", dump, re.M).group(1), 16)
        print(f"      {name}: DllCharacteristics 0x{flags:04x}")
        for bit, meaning in ((0x20, "high-entropy ASLR"), (0x40, "ASLR (dynamic base)"), (0x100, "DEP (NX compatible)")):
            check(flags & bit != 0, f"{name} has {meaning}")

        imports = sorted(set(re.findall(r"DLL Name: (\S+)", dump)), key=str.lower)
        print(f"      {name} imports: {' '.join(imports)}")
        foreign = [dll for dll in imports
                   if dll.lower().startswith("lib") or not os.path.exists(os.path.join(system32, dll.lower()))]
        check(imports and not foreign, f"{name} imports Windows' own DLLs only", "not Windows': " + " ".join(foreign))

        record = version_record(path)
        for key, value in sorted(record.items()):
            print(f"      {name} version record: {key} = {value}")
        for key, value in (("CompanyName", "Quillon Audio"), ("FileDescription", "Brask Overdrive"),
                           ("ProductName", "Brask Overdrive"), ("FileVersion", "1.0.0"), ("ProductVersion", "1.0.0"),
                           ("(fixed file version)", "1.0.0.0")):
            check(record.get(key) == value, f"{name}'s version record has {key} \"{value}\"", f"reads {record.get(key)!r}")

        symbol_count, shipped_sections = pe_layout(path)
        check(symbol_count == 0, f"{name} ships stripped of its symbol table", f"{symbol_count} symbols")
        unstripped_sections = {(n, address): content for n, address, content in pe_layout(unstripped)[1]}
        different = [n for n, address, content in shipped_sections if unstripped_sections.get((n, address)) != content]
        print(f"      {name}: {os.path.getsize(path)} bytes shipped, {os.path.getsize(unstripped)} unstripped")
        check(shipped_sections and not different, f"{name}'s sections are its unstripped copy's, byte for byte",
              "differ: " + " ".join(different))

        # The protector's runtime comes in only when code calls it; a build without
        # -fstack-protector-strong has neither the guard nor any call.
        symbols = subprocess.run([OBJDUMP, "-t", unstripped], check=True, capture_output=True, text=True,
                                 timeout=120).stdout
        linked = [symbol for symbol in ("__stack_chk_guard", "__stack_chk_fail")
                  if re.search(rf"\s{symbol}$", symbols, re.M)]
        check(len(linked) == 2, f"{name} links the stack protector's guard and failure handler",
              "linked: " + (" ".join(linked) or "neither"))

        faults, looked_at, protected = read_disassembly(unstripped)
        ours = [f for f in protected if "Brask" in f or "AppGUI" in f or "Pedal" in f or "Overdrive" in f]
        print(f"      {name}: {len(protected)} functions check the stack canary, {len(ours)} of them the pedal's")
        check(len(ours) > 0, f"{name}: the pedal's own functions check the stack canary (-fstack-protector-strong)")
        print(f"      {name}: {looked_at} accesses to the stack in 32/64-byte registers")
        check(not faults, f"{name} has no aligned or non-temporal 32/64-byte access to the stack",
              "; ".join(faults[:5]))

        if path == module:
            exports = exports_of(dump)
            print(f"      {name} exports: {' '.join(exports)}")
            check(sorted(exports) == sorted(expected_exports), f"{name} exports exactly {' '.join(expected_exports)}",
                  "exports " + " ".join(exports))
        else:
            listing = subprocess.run(["wrestool", "-l", path], check=True, capture_output=True, text=True,
                                     timeout=60).stdout
            check("--type=14" in listing, f"{name} carries an icon", listing.strip())

    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
