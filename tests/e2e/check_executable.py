#!/usr/bin/env python3
"""Checks the built quolin-service.exe: a PE32+ console program carrying an icon, a version
block with file and product version 0.6.1, a manifest that asks for Common Controls 6, and the
Event Log messages of src/main/resources/quolin-messages.mc (which the table of events in
docs/operator-guide.md must repeat word for word);
hardened (ASLR with high entropy and relocations to apply it, DEP, GCC's stack protector with
a guard drawn without CryptoAPI, imports from system DLLs only) and reproducible (no time stamp, no build folder).

Reads the file's own headers and resource tree; needs nothing but Python.
Usage: check_executable.py PATH-TO-EXE [FOLDER...]   (folders whose path must not be in it)
"""
import os
import re
import struct
import sys

RT_MESSAGETABLE, RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 11, 3, 14, 16, 24
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The .mc's severities, by the top two bits of a message identifier, as the guide names them.
SEVERITIES = {"Informational": (1, "Information"), "Warning": (2, "Warning"), "Error": (3, "Error")}
HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT = 0x20, 0x40, 0x100
# What the service may load: DLLs that ship with Windows. Anything else (a MinGW runtime DLL, a
# library of ours) would be looked for beside the executable first.
SYSTEM_DLLS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll", "userenv.dll",
               "wtsapi32.dll"}


def need(ok, msg):
    if not ok:
        print(f"FAIL: {msg}")
        sys.exit(1)


def read_text(*parts):
    with open(os.path.join(ROOT, *parts), encoding="utf-8") as f:
        return f.read()


def check_messages(tables):
    """The executable's one message table (MESSAGE_RESOURCE_DATA) is the .mc's, and so are the
    guide's rows of events."""
    need(len(tables) == 1, f"{len(tables)} message tables, want 1")
    mc = {}  # {message identifier: (ID, type name, text)}
    for m in re.finditer(r"^MessageId=(\d+)\nSeverity=(\w+)\nSymbolicName=\w+\nLanguage=English\n"
                         r"(.*?)\n\.$", read_text("src", "main", "resources", "quolin-messages.mc"),
                         re.M | re.S):
        bits, name = SEVERITIES[m.group(2)]
        mc[bits << 30 | int(m.group(1))] = (int(m.group(1)), name, m.group(3))
    need(mc, "no message in quolin-messages.mc")
    blob, table = tables[0], {}
    for i in range(struct.unpack_from("<I", blob)[0]):
        low, high, at = struct.unpack_from("<III", blob, 4 + 12 * i)
        for message in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", blob, at)
            raw = blob[at + 4:at + length]
            table[message] = raw.decode("utf-16-le" if flags & 1 else "cp1252").rstrip("\0\r\n")
            at += length
    need(table == {k: text for k, (_, _, text) in mc.items()},
         "the message table is not quolin-messages.mc's")
    guide = {int(m.group(1)): (m.group(2), m.group(3)) for m in re.finditer(
        r"^\| (\d{4}) \| (\w+) \| (.*?) \| .* \|$", read_text("docs", "operator-guide.md"), re.M)}
    need(guide == {id_: (name, text) for id_, name, text in mc.values()},
         "the guide's table of events is not quolin-messages.mc's: "
         f"{sorted(set(guide.items()) ^ {(i, (n, t)) for i, n, t in mc.values()})}")


def main(path, folders):
    data = open(path, "rb").read()
    need(data[:2] == b"MZ", "no MZ header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    need(data[pe:pe + 4] == b"PE\0\0", "no PE signature")
    machine, nsections, stamp, _, _, opt_size, chars = struct.unpack_from("<HHIIIHH", data, pe + 4)
    opt = pe + 24
    magic, subsystem, dll_chars = (struct.unpack_from("<H", data, opt + at)[0] for at in (0, 68, 70))
    need((magic, machine, subsystem) == (0x20B, 0x8664, 3),
         f"magic {magic:#x}, machine {machine:#x}, subsystem {subsystem}; want a PE32+ (0x20b) "
         "x64 (0x8664) console (3) program")
    # PE32+ data directories start at offset 112: 1 imports, 2 resources, 5 base relocations.
    directory = lambda n: struct.unpack_from("<II", data, opt + 112 + 8 * n)  # noqa: E731
    sections = [struct.unpack_from("<8sIIII", data, opt + opt_size + 40 * i)[1:] for i in range(nsections)]

    def offset(rva):
        for vsize, vaddr, rawsize, rawptr in sections:
            if vaddr <= rva < vaddr + max(vsize, rawsize):
                return rawptr + rva - vaddr
        need(False, f"rva {rva:#x} outside every section")

    need(directory(2)[0] != 0, "no resource table")
    base = offset(directory(2)[0])

    def entries(dir_off):
        named, ids = struct.unpack_from("<HH", data, dir_off + 12)
        return [struct.unpack_from("<II", data, dir_off + 16 + 8 * i) for i in range(named + ids)]

    def leaves(type_id):
        out = []
        for name, target in entries(base):
            if name == type_id and target & 0x80000000:
                for _, t2 in entries(base + (target & 0x7FFFFFFF)):
                    for _, t3 in entries(base + (t2 & 0x7FFFFFFF)):
                        rva, size = struct.unpack_from("<II", data, base + t3)
                        out.append(data[offset(rva):offset(rva) + size])
        return out

    need(leaves(RT_ICON) and leaves(RT_GROUP_ICON), "no icon")
    v = (leaves(RT_VERSION) or [b""])[0]
    sig = v.find(struct.pack("<I", 0xFEEF04BD))
    need(sig >= 0, "no version block with VS_FIXEDFILEINFO")
    fms, fls, pms, pls = struct.unpack_from("<IIII", v, sig + 8)
    versions = [f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}" for ms, ls in ((fms, fls), (pms, pls))]
    versions += [m.group(1) if m else None for m in (
        re.search(key + r"\x00+([^\x00]*)", v.decode("utf-16-le", errors="replace"))
        for key in ("FileVersion", "ProductVersion"))]
    need(versions == ["0.6.1.0", "0.6.1.0", "0.6.1", "0.6.1"],
         f"file, product version {versions[:2]}, strings {versions[2:]}; want 0.6.1(.0)")
    for folder in folders:
        need(folder.encode() not in data and folder.encode("utf-16-le") not in data,
             f"the build folder {folder} is in the file")
    manifest = b"".join(leaves(RT_MANIFEST)).decode("utf-8", errors="replace")
    dep = re.search(r'<dependentAssembly>.*?</dependentAssembly>', manifest, re.S)
    need(dep and 'name="Microsoft.Windows.Common-Controls"' in dep.group(0)
         and 'version="6.0.0.0"' in dep.group(0),
         "no manifest asking for Microsoft.Windows.Common-Controls 6.0.0.0")
    check_messages(leaves(RT_MESSAGETABLE))

    for bit, name in ((HIGH_ENTROPY_VA, "HIGH_ENTROPY_VA"), (DYNAMIC_BASE, "DYNAMIC_BASE"),
                      (NX_COMPAT, "NX_COMPAT")):
        need(dll_chars & bit, f"DllCharacteristics {dll_chars:#x} lacks {name}")
    # ASLR moves the image only if it keeps its base relocations (IMAGE_FILE_RELOCS_STRIPPED, 1).
    need(not chars & 1 and directory(5)[1], "no base relocations: the image cannot be moved")
    imports = set()  # (dll, function) pairs
    at = offset(directory(1)[0])
    while (descriptor := struct.unpack_from("<5I", data, at))[3] != 0:
        dll = data[offset(descriptor[3]):].split(b"\0", 1)[0].decode("ascii").lower()
        thunk = offset(descriptor[0] or descriptor[4])
        while (entry := struct.unpack_from("<Q", data, thunk)[0]) != 0:
            if not entry >> 63:  # by name: a hint, then the name
                imports.add((dll, data[offset(entry) + 2:].split(b"\0", 1)[0].decode("ascii")))
            thunk += 8
        imports.add((dll, None))
        at += 20
    dlls = {dll for dll, _ in imports}
    need(dlls and not dlls - SYSTEM_DLLS,
         f"imports from DLLs that are not Windows' own: {sorted(dlls - SYSTEM_DLLS)}")
    # GCC's stack protector reads a guard that src/platform/stack_guard_win32.cpp draws with
    # RtlGenRandom (SystemFunction036); the linker takes that file only when compiled code refers
    # to the guard. libssp's guard would come through CryptoAPI, whose DLLs then stay loaded.
    need(("advapi32.dll", "SystemFunction036") in imports,
         "no stack protector (the guard drawn with RtlGenRandom is not linked in)")
    crypto = sorted(f for _, f in imports if f and f.startswith("Crypt"))
    need(not crypto, f"CryptoAPI imported ({', '.join(crypto)}): its DLLs would stay loaded")
    need(stamp == 0, f"PE time stamp {stamp:#x}: two builds would differ")
    print("ok: PE32+ x64 console program with icon, version 0.6.1, manifest and the Event Log "
          "messages of the .mc and the guide; hardened; no time stamp or build path")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2:])
