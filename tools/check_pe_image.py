#!/usr/bin/python3
"""Checks a built tolvane.exe or tolvane-run.exe against what Windows must
find in it: a table of named rules, each reading the image with pefile.

    check_pe_image.py IMAGE --expect EXPECTATIONS.json [--program tolvane-run.exe] [--signed [--timestamped]]

The build writes the expectations (image-expectations.json): the release
number, build number and strings that the version resource must carry.

Prints one line per rule and exits 1 when any rule fails.  Windows refuses
to start an image that lacks the installer library or one of its names, and
starts a requireAdministrator image only elevated; Wine does neither, so
these rules are what shows the binding and the manifest."""

import argparse
import dataclasses
import hashlib
import json
import os
import re
import sys
from xml.dom import minidom
from xml.parsers.expat import ExpatError

import pefile
from asn1crypto import algos, cms, core, parser, tsp

INSTALLER_LIBRARY = "ZEL_Act_Installer.dll"
INSTALLER_OPERATIONS = {"zelActSvcInstallWin", "zelActSvcGetLastErrorWin", "zelActSvcStatusCodeToText"}
# The system libraries that the programs import from, and the functions they
# may import: each one is in Windows 5.2 x64 (Server 2003, XP x64).  By
# Microsoft's documentation every function here is in Windows 2000 or XP
# and Server 2003; SetDllDirectoryW came with XP SP1 and Server 2003.
# IsProcessorFeaturePresent is in all of them, but PF_FASTFAIL_AVAILABLE is
# present only from Windows 8 on: before, the stack check's failure ends the
# process with TerminateProcess.  A function of a later Windows,
# SetDefaultDllDirectories and InitializeProcThreadAttributeList above all,
# must be looked up at run time: imported, it keeps the program from
# starting where it is missing.
KERNEL32, ADVAPI32 = "KERNEL32.dll", "ADVAPI32.dll"
SYSTEM_FUNCTIONS = {
    KERNEL32: {
        "CloseHandle", "CreateFileW", "CreateProcessW", "ExitProcess", "FoldStringW", "GetACP", "GetCPInfoExW",
        "GetCommandLineW", "GetConsoleCP", "GetCurrentProcess", "GetCurrentProcessId", "GetCurrentThreadId",
        "GetEnvironmentVariableW", "GetExitCodeProcess", "GetFileSizeEx", "GetFileType", "GetHandleInformation",
        "GetLastError", "GetModuleFileNameW", "GetModuleHandleW", "GetProcAddress", "GetProcessHeap", "GetStdHandle",
        "GetStringTypeW", "GetSystemTimeAsFileTime", "HeapAlloc", "HeapFree", "IsProcessorFeaturePresent",
        "LocalFree", "MultiByteToWideChar", "QueryPerformanceCounter", "ReadFile", "SetConsoleCtrlHandler",
        "SetDllDirectoryW", "SetEndOfFile", "SetEnvironmentVariableW", "SetErrorMode", "SetFilePointer",
        "SetHandleInformation", "SetLastError", "TerminateProcess", "WaitForSingleObject", "WideCharToMultiByte",
        "WriteConsoleW", "WriteFile", "lstrcatW", "lstrcpynA", "lstrcpynW", "lstrlenW",
    },
    # tolvane-run.exe's check of who may change its folder
    ADVAPI32: {
        "ConvertSidToStringSidW", "EqualSid", "GetAce", "GetFileSecurityW", "GetSecurityDescriptorDacl",
        "GetSecurityDescriptorOwner", "GetTokenInformation", "LookupAccountSidW", "OpenProcessToken",
    },
}
# The project's programs: the execution level that each one's manifest
# asks for, the system libraries and the installer library's operations
# that it imports, and whether its code calls a function through a
# pointer, which the guard must check (both look up functions of later
# Windows at run time).
PROGRAMS = {
    "tolvane.exe": ("requireAdministrator", {KERNEL32}, INSTALLER_OPERATIONS, True),
    "tolvane-run.exe": ("asInvoker", {KERNEL32, ADVAPI32}, set(), True),
}
# C run-time libraries: the system's old one, the universal one and its API
# sets, and Visual C++'s.
C_RUN_TIME_LIBRARY = re.compile(r"(msvcrt|msvcr\d+|ucrtbased?|api-ms-win-crt-.+|vcruntime\d+)\.dll", re.IGNORECASE)

RT_VERSION, RT_MANIFEST = 16, 24
LANG_EN_US, LANG_NEUTRAL = 0x0409, 0
ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
VERSION_STRING_KEYS = ["CompanyName", "FileDescription", "FileVersion", "InternalName", "LegalCopyright",
                       "OriginalFilename", "ProductName", "ProductVersion"]

# LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32, at its
# place in IMAGE_LOAD_CONFIG_DIRECTORY64.
DEPENDENT_LOAD_FLAGS, DEPENDENT_LOAD_FLAGS_OFFSET = 0x200 | 0x800, 0x4E
# The other fields of IMAGE_LOAD_CONFIG_DIRECTORY64 that the rules read: (offset, size).
SECURITY_COOKIE = (0x58, 8)
GUARD_CHECK_FUNCTION_POINTER, GUARD_DISPATCH_FUNCTION_POINTER = (0x70, 8), (0x78, 8)
GUARD_FUNCTION_TABLE, GUARD_FUNCTION_COUNT, GUARD_FLAGS = (0x80, 8), (0x88, 8), (0x90, 4)
GUARD_CF_INSTRUMENTED, GUARD_CF_FUNCTION_TABLE_PRESENT = 0x100, 0x400
GUARD_SECURITY_COOKIE_UNUSED, GUARD_FUNCTION_TABLE_STRIDE_SHIFT = 0x800, 28
# What the guard's pointers lead to where Windows does not enforce the guard:
# a check that only returns, and a dispatch that jumps to the target, which
# the caller passes in rax.  Windows replaces both where it enforces it.
GUARD_DEFAULTS = {"check": b"\xc3", "dispatch": b"\xff\xe0"}  # ret; jmp rax
# An instrumented call or tail call: call or jmp through a pointer at a
# 32-bit displacement from the next instruction, there the dispatch pointer.
CALL_OR_JUMP_THROUGH = re.compile(rb"\xff[\x15\x25](.{4})", re.DOTALL)
# The default that Microsoft's C run-time gives a 64-bit image's stack cookie: Windows replaces
# only this value with a random one when it loads the image.
DEFAULT_SECURITY_COOKIE = 0x00002B992DDFA232
DEBUG = pefile.DEBUG_TYPE
EX_DLLCHARACTERISTICS_CET_COMPAT = 0x1

DLL = pefile.DLL_CHARACTERISTICS
IMAGE = pefile.IMAGE_CHARACTERISTICS


@dataclasses.dataclass
class Expected:
    version: str
    build: str
    company: str
    product: str
    copyright: str
    cet_compat: bool = True
    program: str = "tolvane.exe"
    signed: bool = False
    timestamped: bool = False


class RuleFailed(Exception):
    pass


def require(condition, message):
    if not condition:
        raise RuleFailed(message)


def dll_flag(name):
    def rule(pe, path, expected):
        require(pe.OPTIONAL_HEADER.DllCharacteristics & DLL[name], f"{name} is not set")
    return rule


def file_name(pe, path, expected):
    require(os.path.basename(path) == expected.program, f"the file is named {os.path.basename(path)!r}")


def machine(pe, path, expected):
    require(pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"],
            f"machine {pe.FILE_HEADER.Machine:#x}")
    require(pe.OPTIONAL_HEADER.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS, "not a PE32+ image")
    require(pe.FILE_HEADER.Characteristics & IMAGE["IMAGE_FILE_EXECUTABLE_IMAGE"], "not executable")
    require(not pe.FILE_HEADER.Characteristics & IMAGE["IMAGE_FILE_DLL"], "a DLL")


def console_subsystem(pe, path, expected):
    subsystem = pe.OPTIONAL_HEADER.Subsystem
    require(subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"], f"subsystem {subsystem}")


def os_version(pe, path, expected):
    header = pe.OPTIONAL_HEADER
    version = (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion)
    require(version == (5, 2), f"operating-system version {version}")


def subsystem_version(pe, path, expected):
    header = pe.OPTIONAL_HEADER
    version = (header.MajorSubsystemVersion, header.MinorSubsystemVersion)
    require(version == (5, 2), f"subsystem version {version}")


def relocations(pe, path, expected):
    """Windows moves an image to a random address only when it has relocations to apply."""
    require(not pe.FILE_HEADER.Characteristics & IMAGE["IMAGE_FILE_RELOCS_STRIPPED"], "relocations stripped")
    entries = [entry for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []) for entry in block.entries
               if entry.type != pefile.RELOCATION_TYPE["IMAGE_REL_BASED_ABSOLUTE"]]
    require(entries, "no base relocations")


def large_address_aware(pe, path, expected):
    require(pe.FILE_HEADER.Characteristics & IMAGE["IMAGE_FILE_LARGE_ADDRESS_AWARE"], "not large-address aware")


def debug_entries(pe, kind):
    return [entry for entry in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []) if entry.struct.Type == DEBUG[kind]]


def reproducible_time_stamp(pe, path, expected):
    """No time of the build: the header's time stamp is a hash of the image's
    content, which a REPRO debug entry declares, and the debug entries carry
    the same, so that each build has a symbol-server key of its own and the
    same sources give the same bytes."""
    stamp = pe.FILE_HEADER.TimeDateStamp
    require(debug_entries(pe, "IMAGE_DEBUG_TYPE_REPRO"), "no REPRO debug entry: the time stamp may be a time")
    require(stamp != 0, "the time stamp is 0: no key for a symbol server")
    stamps = {entry.struct.TimeDateStamp for entry in pe.DIRECTORY_ENTRY_DEBUG}
    require(stamps == {stamp}, f"debug entries stamped {sorted(map(hex, stamps))}, the header {stamp:#x}")


def symbols(pe, path, expected):
    """A CodeView entry that names the PDB without a folder, which a
    debugger and a symbol server find by that name and its GUID and age."""
    (entry,) = debug_entries(pe, "IMAGE_DEBUG_TYPE_CODEVIEW") or [None]
    require(entry is not None and getattr(entry, "entry", None) is not None, "no CodeView debug entry")
    record = entry.entry
    require(record.CvSignature == b"RSDS", f"CodeView signature {record.CvSignature!r}")
    name = record.PdbFileName.rstrip(b"\0").decode(errors="replace")
    wanted = os.path.splitext(expected.program)[0] + ".pdb"
    require(name == wanted, f"the image names its symbols {name!r}, not {wanted!r}")
    require(record.Age >= 1, f"PDB age {record.Age}")


def imports(pe, path, expected):
    """By name alone (an ordinal, "#1" here, may name another function in another version of a library)."""
    entries = getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    libraries = [entry.dll.decode() for entry in entries]
    _, system_libraries, operations, _ = PROGRAMS[expected.program]
    wanted = sorted(system_libraries) + ([INSTALLER_LIBRARY] if operations else [])
    require(sorted(libraries) == sorted(wanted), f"imports from {libraries}")
    names = {entry.dll.decode(): {f"#{symbol.ordinal}" if symbol.import_by_ordinal else symbol.name.decode()
                                  for symbol in entry.imports} for entry in entries}
    for library in sorted(system_libraries):
        require(names[library] <= SYSTEM_FUNCTIONS[library],
                f"imports {sorted(names[library] - SYSTEM_FUNCTIONS[library])} from {library}")
    require(names.get(INSTALLER_LIBRARY, set()) == operations,
            f"imports {sorted(names.get(INSTALLER_LIBRARY, set()))} from {INSTALLER_LIBRARY}")


def no_c_run_time(pe, path, expected):
    """No C run-time library has to be on the system, and none of MinGW's
    start-up code is in the image: it brings a TLS directory."""
    entries = getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    run_times = [entry.dll.decode() for entry in entries if C_RUN_TIME_LIBRARY.fullmatch(entry.dll.decode())]
    require(not run_times, f"imports from {run_times}")
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_TLS"]]
    require(directory.Size == 0, "a TLS directory")


def dependent_load_flags(pe, path, expected):
    """Windows 10 1607 and later take the installer library only from the
    program's folder or System32."""
    flags = field(load_config(pe), (DEPENDENT_LOAD_FLAGS_OFFSET, 2), "DependentLoadFlags")
    require(flags == DEPENDENT_LOAD_FLAGS, f"DependentLoadFlags {flags:#x}")


def load_config(pe):
    """The load configuration's bytes, which its directory and its own Size
    must agree on."""
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]]
    require(directory.VirtualAddress and directory.Size, "no load configuration directory")
    config = pe.get_data(directory.VirtualAddress, directory.Size)
    size = int.from_bytes(config[0:4], "little")
    require(size == directory.Size, f"the load configuration says it has {size} bytes, its directory {directory.Size}")
    return config


def field(config, place, name):
    offset, size = place
    require(len(config) >= offset + size, f"a load configuration of {len(config)} bytes ends before {name}")
    return int.from_bytes(config[offset:offset + size], "little")


def section_of(pe, address):
    """The section that holds a virtual address, or None."""
    rva = address - pe.OPTIONAL_HEADER.ImageBase
    return next((section for section in pe.sections if section.contains_rva(rva)), None)


def in_code(pe, address):
    section = section_of(pe, address)
    return section is not None and section.Characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]


def read_address(pe, address):
    return pe.get_qword_at_rva(address - pe.OPTIONAL_HEADER.ImageBase)


def calls_through(pe, pointer):
    """How many times the code calls or jumps through the pointer at that address."""
    rva, found = pointer - pe.OPTIONAL_HEADER.ImageBase, 0
    for section in pe.sections:
        if section.Characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]:
            code = section.get_data()
            found += sum(1 for match in CALL_OR_JUMP_THROUGH.finditer(code)
                         if section.VirtualAddress + match.end() + int.from_bytes(match[1], "little", signed=True) == rva)
    return found


def control_flow_guard(pe, path, expected):
    """Windows turns the guard on for the process only for an image that asks
    for it: the flag, the guard fields of the load configuration, and a table
    of valid call targets, each at a 16-byte boundary, the entry point among
    them; its check and dispatch pointers hold the defaults in the image's
    code, which Windows replaces where it enforces the guard.  The flag that
    says the code is instrumented is the load configuration's own words, so
    the code itself must call through the dispatch pointer where it calls a
    function through a pointer at all."""
    require(pe.OPTIONAL_HEADER.DllCharacteristics & DLL["IMAGE_DLLCHARACTERISTICS_GUARD_CF"], "GUARD_CF is not set")
    config = load_config(pe)
    flags = field(config, GUARD_FLAGS, "GuardFlags")
    wanted = GUARD_CF_INSTRUMENTED | GUARD_CF_FUNCTION_TABLE_PRESENT
    require(flags & wanted == wanted, f"GuardFlags {flags:#x}")
    for place, name in [(GUARD_CHECK_FUNCTION_POINTER, "check"), (GUARD_DISPATCH_FUNCTION_POINTER, "dispatch")]:
        pointer = field(config, place, f"the guard's {name} pointer")
        target = read_address(pe, pointer) if pointer and section_of(pe, pointer) else 0
        require(target and in_code(pe, target), f"the guard's {name} pointer at {pointer:#x} holds no target in the "
                                                f"image's code")
        default = GUARD_DEFAULTS[name]
        found = pe.get_data(target - pe.OPTIONAL_HEADER.ImageBase, len(default))
        require(found == default, f"the guard's {name} pointer leads to {found.hex()}, not {default.hex()}")
    dispatch = field(config, GUARD_DISPATCH_FUNCTION_POINTER, "the guard's dispatch pointer")
    require(calls_through(pe, dispatch) or not PROGRAMS[expected.program][3],
            "no call goes through the guard's dispatch pointer: the code is not instrumented")
    stride = 4 + (flags >> GUARD_FUNCTION_TABLE_STRIDE_SHIFT)
    table, count = field(config, GUARD_FUNCTION_TABLE, "GuardCFFunctionTable"), field(config, GUARD_FUNCTION_COUNT,
                                                                                          "GuardCFFunctionCount")
    require(table and count, "no valid call targets")
    data = pe.get_data(table - pe.OPTIONAL_HEADER.ImageBase, count * stride)
    targets = [int.from_bytes(data[index:index + 4], "little") for index in range(0, count * stride, stride)]
    require(targets == sorted(set(targets)), "the valid call targets are not sorted")
    base = pe.OPTIONAL_HEADER.ImageBase
    stray = [hex(target) for target in targets if target % 16 or not in_code(pe, base + target)]
    require(not stray, f"valid call targets off a 16-byte boundary or outside the code: {stray}")
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    require(entry in targets, f"the entry point {entry:#x} is no valid call target")


def cet_compatible(pe, path, expected):
    """User-mode shadow stacks stay off unless the image is marked
    compatible, in an extended-characteristics debug entry; a build made
    without the mark on purpose must not carry it."""
    entries = debug_entries(pe, "IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS")
    bits = int.from_bytes(pe.get_data(entries[0].struct.AddressOfRawData, 4), "little") if entries else 0
    marked = bool(bits & EX_DLLCHARACTERISTICS_CET_COMPAT)
    require(marked == expected.cet_compat, f"extended characteristics {bits:#x}, CET_COMPAT expected: "
                                           f"{expected.cet_compat}")


def stack_cookie(pe, path, expected):
    """The stack cookie is the one the load configuration names, in a
    writable section, holding the C run-time's default in the file: Windows
    then gives it a random value as it loads the image."""
    config = load_config(pe)
    flags = field(config, GUARD_FLAGS, "GuardFlags")
    require(not flags & GUARD_SECURITY_COOKIE_UNUSED, "GuardFlags say the cookie is unused")
    cookie = field(config, SECURITY_COOKIE, "SecurityCookie")
    section = section_of(pe, cookie) if cookie else None
    require(section is not None, f"SecurityCookie {cookie:#x} names nothing in the image")
    name = section.Name.rstrip(b"\0").decode(errors="replace")
    require(section.Characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"],
            f"the cookie lies in {name}, which is not writable")
    value = read_address(pe, cookie)
    require(value == DEFAULT_SECURITY_COOKIE, f"the cookie holds {value:#x}, not the default")


def offsets(data, needle):
    found, start = [], data.find(needle)
    while start >= 0:
        found.append(start)
        start = data.find(needle, start + 1)
    return found


def no_delay_imports(pe, path, expected):
    """Bound through the import table alone: no delay-load directory, and the
    installer library's names stand nowhere else in the file (GNU ld leaves
    the directory of a delay-loaded library empty)."""
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]]
    require(directory.Size == 0, "a delay-load directory")
    data = pe.__data__
    in_import_table = set()
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        if entry.dll.lower() == INSTALLER_LIBRARY.lower().encode():
            in_import_table.add(pe.get_offset_from_rva(entry.struct.Name))
            in_import_table.update(symbol.name_offset for symbol in entry.imports if symbol.name)
    library = offsets(data.lower(), INSTALLER_LIBRARY.lower().encode() + b"\0")
    stray = [offset for offset in library if offset not in in_import_table]
    require(not stray, f"{INSTALLER_LIBRARY} named outside the import table at {stray}")
    for name in sorted(INSTALLER_OPERATIONS):
        stray = [offset for offset in offsets(data, b"\0" + name.encode() + b"\0")
                 if offset + 1 not in in_import_table]
        require(not stray, f"{name} named outside the import table at {stray}")


def resources(pe, type_id):
    """(id, language, bytes) of each resource of one type."""
    found = []
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for resource_type in root.entries if root else []:
        if resource_type.id != type_id:
            continue
        for name in resource_type.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found.append((name.id if name.id is not None else str(name.name), language.id,
                              pe.get_data(data.OffsetToData, data.Size)))
    return found


def one_manifest(pe, path, expected):
    manifests = [(identifier, language) for identifier, language, _ in resources(pe, RT_MANIFEST)]
    require(manifests == [(1, LANG_EN_US)], f"manifests (id, language): {manifests}")


def element_children(node):
    for child in node.childNodes:
        if child.nodeType == child.TEXT_NODE:
            require(not child.data.strip(), f"text {child.data.strip()!r} in <{node.tagName}>")
        else:
            require(child.nodeType == child.ELEMENT_NODE, f"{child.nodeName} in <{node.tagName}>")
    return [child for child in node.childNodes if child.nodeType == child.ELEMENT_NODE]


def expect_element(node, tag, attributes, children):
    """node is <tag attributes...> holding exactly the named child elements."""
    require(node.tagName == tag, f"<{node.tagName}> where <{tag}> belongs")
    found = dict(node.attributes.items())
    require(found == attributes, f"<{tag}> has attributes {found}, not {attributes}")
    elements = element_children(node)
    require([element.tagName for element in elements] == children,
            f"<{tag}> holds {[element.tagName for element in elements]}, not {children}")
    return elements


def manifest_content(pe, path, expected):
    manifests = resources(pe, RT_MANIFEST)
    require(manifests, "no manifest")
    try:
        document = minidom.parseString(manifests[0][2])
    except ExpatError as error:
        raise RuleFailed(f"manifest is not well-formed XML: {error}")
    v3 = "ms_asmv3:"
    identity, trust = expect_element(document.documentElement, "assembly",
                                     {"xmlns": ASM_V1, "manifestVersion": "1.0"},
                                     ["assemblyIdentity", v3 + "trustInfo"])
    expect_element(identity, "assemblyIdentity", {"version": "1.0.0.0", "processorArchitecture": "X86",
                                                  "name": expected.program, "type": "win32"}, [])
    (security,) = expect_element(trust, v3 + "trustInfo", {"xmlns:ms_asmv3": ASM_V3}, [v3 + "security"])
    (privileges,) = expect_element(security, v3 + "security", {}, [v3 + "requestedPrivileges"])
    (level,) = expect_element(privileges, v3 + "requestedPrivileges", {}, [v3 + "requestedExecutionLevel"])
    expect_element(level, v3 + "requestedExecutionLevel", {"level": PROGRAMS[expected.program][0],
                                                            "uiAccess": "false"}, [])


def version_resource(pe, path, expected):
    found = [(identifier, language) for identifier, language, _ in resources(pe, RT_VERSION)]
    require(found == [(1, LANG_NEUTRAL)], f"version resources (id, language): {found}")


def version_numbers(expected):
    parts = [int(part) for part in expected.version.split(".")]
    return (parts[0] << 16 | parts[1], parts[2] << 16 | parts[3])


def version_fixed_part(pe, path, expected):
    require(hasattr(pe, "VS_FIXEDFILEINFO"), "no fixed version information")
    fixed = pe.VS_FIXEDFILEINFO[0]
    numbers = version_numbers(expected)
    found = {"file version": (fixed.FileVersionMS, fixed.FileVersionLS),
             "product version": (fixed.ProductVersionMS, fixed.ProductVersionLS),
             "flags mask": fixed.FileFlagsMask, "flags": fixed.FileFlags, "OS": fixed.FileOS,
             "type": fixed.FileType, "subtype": fixed.FileSubtype}
    wanted = {"file version": numbers, "product version": numbers, "flags mask": 0x3F, "flags": 0,
              "OS": 0x40004, "type": 1, "subtype": 0}
    differ = {key: hex(value) if isinstance(value, int) else value
              for key, value in found.items() if value != wanted[key]}
    require(not differ, f"fixed version information differs: {differ}")


def file_info(pe, kind):
    return [info for infos in getattr(pe, "FileInfo", []) for info in infos if info.Key == kind]


def version_strings(pe, path, expected):
    infos = file_info(pe, b"StringFileInfo")
    tables = [table for info in infos for table in info.StringTable]
    require([table.LangID for table in tables] == [b"040904b0"],
            f"string tables {[table.LangID for table in tables]}")
    # pefile stops reading tables early (at the StringFileInfo's length
    # counted from the resource's start): the one table must fill its block.
    header = infos[0].sizeof() + 2 * (len(infos[0].Key) + 1)
    room = infos[0].Length - (header + -header % 4)
    require(room == tables[0].Length, f"{room - tables[0].Length} bytes in StringFileInfo beside its string table")
    entries = {key.decode(): value.decode() for key, value in tables[0].entries.items()}
    require(list(entries) == VERSION_STRING_KEYS, f"string fields {list(entries)}")
    release = f"{expected.version} build {expected.build}"
    name = expected.program
    wanted = {"CompanyName": expected.company, "FileDescription": name, "FileVersion": release,
              "InternalName": name, "LegalCopyright": expected.copyright, "OriginalFilename": name,
              "ProductName": expected.product, "ProductVersion": release}
    differ = {key: value for key, value in entries.items() if value != wanted[key]}
    require(not differ, f"string fields differ: {differ}")


def version_translation(pe, path, expected):
    translations = [var.entry for info in file_info(pe, b"VarFileInfo") for var in info.Var]
    require(translations == [{b"Translation": "0x0409 0x04b0"}], f"translations {translations}")


def checksum(pe, path, expected):
    stored, computed = pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()
    require(stored == computed, f"checksum {stored:#x}, correct is {computed:#x}")


SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SPC_SP_OPUS_INFO = "1.3.6.1.4.1.311.2.1.12"
RFC3161_COUNTERSIGNATURE = "1.3.6.1.4.1.311.3.3.1"


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class SpcIndirectDataContent(core.Sequence):
    """What an Authenticode signature signs: the image's digest."""
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", algos.DigestInfo)]


class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}), ("ascii", core.IA5String, {"implicit": 1})]


class SpcSpOpusInfo(core.Sequence):
    """The signature's description of the program."""
    _fields = [("program_name", SpcString, {"explicit": 0, "optional": True}),
               ("more_info", core.Any, {"explicit": 1, "optional": True})]


def algorithm(identifier):
    return identifier["algorithm"].native


def attribute_types(attributes):
    return {attribute["type"].dotted: attribute["values"] for attribute in attributes or []}


def signature(pe, path, expected):
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    if not expected.signed:
        return
    require(directory.VirtualAddress and directory.Size, "no Authenticode signature")
    start, data = directory.VirtualAddress, bytes(pe.__data__)
    require(start + directory.Size == len(data), "data after the signature")
    length = int.from_bytes(data[start:start + 4], "little")
    revision, kind = int.from_bytes(data[start + 4:start + 6], "little"), int.from_bytes(data[start + 6:start + 8], "little")
    require((revision, kind) == (0x0200, 0x0002), f"certificate revision {revision:#x}, type {kind:#x}")
    require(8 < length <= directory.Size, f"certificate length {length}")

    certificate = data[start + 8:start + length]
    header, content = parser.parse(certificate)[3:5]
    require(not certificate[len(header) + len(content):].strip(b"\0"), "data after the signature's PKCS #7 content")
    content_info = cms.ContentInfo.load(header + content, strict=True)
    require(content_info["content_type"].native == "signed_data", "not PKCS #7 signed data")
    signed_data = content_info["content"]
    digests = [algorithm(digest) for digest in signed_data["digest_algorithms"]]
    require(digests == ["sha256"], f"digest algorithms {digests}, not SHA-256")
    signed_content = signed_data["encap_content_info"]
    require(signed_content["content_type"].dotted == SPC_INDIRECT_DATA, "not an Authenticode signature")
    image_digest = signed_content["content"].parse(SpcIndirectDataContent)["message_digest"]
    require(algorithm(image_digest["digest_algorithm"]) == "sha256" and len(image_digest["digest"].native) == 32,
            "the image digest is not SHA-256")

    signers = signed_data["signer_infos"]
    require(len(signers) == 1, f"{len(signers)} signers")
    require(algorithm(signers[0]["digest_algorithm"]) == "sha256", "the signer's digest is not SHA-256")
    signed_attributes = attribute_types(signers[0]["signed_attrs"])
    require(SPC_SP_OPUS_INFO in signed_attributes, "no description (SpcSpOpusInfo) in the signature")
    name = signed_attributes[SPC_SP_OPUS_INFO][0].parse(SpcSpOpusInfo)["program_name"].native
    require(name == expected.program, f"the signature describes the program as {name!r}")
    if expected.timestamped:
        timestamps = attribute_types(signers[0]["unsigned_attrs"]).get(RFC3161_COUNTERSIGNATURE)
        require(timestamps, "no RFC 3161 timestamp")
        timestamp_is_the_signatures(timestamps[0], signers[0]["signature"].native)


def timestamp_is_the_signatures(token, signature):
    """An RFC 3161 token stamps a hash of the data that it was asked for: here
    the signer's signature, else it stamps some other data.  Whether its
    signer is trusted is osslsigncode verify's to tell, with the authority's
    root."""
    require(token["content_type"].native == "signed_data", "the timestamp is no signed token")
    content = token["content"]["encap_content_info"]
    require(content["content_type"].native == "tst_info", "the timestamp holds no TSTInfo")
    imprint = content["content"].parse(tsp.TSTInfo)["message_imprint"]
    hashing = algorithm(imprint["hash_algorithm"])
    require(hashing in hashlib.algorithms_available, f"the timestamp's hash is {hashing}")
    require(imprint["hashed_message"].native == hashlib.new(hashing, signature).digest(),
            "the timestamp's message imprint is not the signature's: it stamps other data")


RULES = {
    "file-name": file_name,
    "machine-x86-64": machine,
    "console-subsystem": console_subsystem,
    "os-version-5.2": os_version,
    "subsystem-version-5.2": subsystem_version,
    "dynamic-base": dll_flag("IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"),
    "high-entropy-va": dll_flag("IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA"),
    "relocations": relocations,
    "nx-compatible": dll_flag("IMAGE_DLLCHARACTERISTICS_NX_COMPAT"),
    "terminal-server-aware": dll_flag("IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE"),
    "large-address-aware": large_address_aware,
    "reproducible-time-stamp": reproducible_time_stamp,
    "imports": imports,
    "no-delay-imports": no_delay_imports,
    "no-c-run-time": no_c_run_time,
    "dependent-load-flags": dependent_load_flags,
    "control-flow-guard": control_flow_guard,
    "cet-compatible": cet_compatible,
    "stack-cookie": stack_cookie,
    "symbols": symbols,
    "one-manifest": one_manifest,
    "manifest-content": manifest_content,
    "version-resource": version_resource,
    "version-fixed-part": version_fixed_part,
    "version-strings": version_strings,
    "version-translation": version_translation,
    "checksum": checksum,
    "signature": signature,
}


def check(path, expected):
    """{rule: None when it holds, else what is wrong}."""
    try:
        with open(path, "rb") as image:
            pe = pefile.PE(data=image.read())
    except (OSError, pefile.PEFormatError) as error:
        return {name: f"unreadable image: {error}" for name in RULES}
    results = {}
    for name, rule in RULES.items():
        try:
            rule(pe, path, expected)
            results[name] = None
        except RuleFailed as failure:
            results[name] = str(failure)
        except Exception as error:  # a rule that cannot read the image has not passed
            results[name] = f"unreadable: {error!r}"
    return results


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("--expect", required=True, type=argparse.FileType("r"),
                        help="JSON with version, build, company, product, copyright and cet_compat")
    parser.add_argument("--program", choices=PROGRAMS, default="tolvane.exe",
                        help="the program that the image must be (default tolvane.exe)")
    parser.add_argument("--signed", action="store_true",
                        help="require an Authenticode signature: SHA-256, describing tolvane.exe")
    parser.add_argument("--timestamped", action="store_true", help="require an RFC 3161 timestamp in it")
    arguments = parser.parse_args(argv)
    expected = Expected(**json.load(arguments.expect), program=arguments.program,
                        signed=arguments.signed or arguments.timestamped, timestamped=arguments.timestamped)
    failed = 0
    for name, failure in check(arguments.image, expected).items():
        print(f"{'PASS' if failure is None else 'FAIL'} {name}" + ("" if failure is None else f": {failure}"))
        failed += failure is not None
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
