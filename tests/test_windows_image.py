"""The image checks pass on the built tolvane.exe, and every rule fails on an
image that breaks it: images built wrongly on purpose, and copies of the
good image with one property changed."""

import dataclasses
import json
import shutil
import subprocess
import sys

import pefile
import pytest


@pytest.fixture(scope="module")
def checker(request):
    sys.path.insert(0, str(request.config.getoption("--source-dir") / "tools"))
    import check_pe_image
    return check_pe_image


@pytest.fixture(scope="module")
def expectations(request):
    return request.config.getoption("--image-expectations")


@pytest.fixture(scope="module")
def expected(checker, expectations):
    return checker.Expected(**json.loads(expectations.read_text()))


@pytest.fixture(scope="module")
def image(request):
    return request.config.getoption("--bin-dir") / "tolvane.exe"


def failing(checker, path, expected):
    return {rule for rule, failure in checker.check(str(path), expected).items() if failure is not None}


@pytest.mark.parametrize("program", ["tolvane.exe", "tolvane-run.exe"])
def test_built_image_passes_every_rule_and_fails_as_the_other_program(request, checker, expected, program):
    path = request.config.getoption("--bin-dir") / program
    results = checker.check(str(path), dataclasses.replace(expected, program=program))
    assert {rule: failure for rule, failure in results.items() if failure} == {}
    other = "tolvane-run.exe" if program == "tolvane.exe" else "tolvane.exe"
    assert failing(checker, path, dataclasses.replace(expected, program=other)) == {
        "file-name", "imports", "manifest-content", "version-strings", "symbols"}


# Built with wrong flags or inputs by the build itself (tests/windows).
BROKEN_BUILDS = {
    "default-link": {"os-version-5.2", "subsystem-version-5.2"},
    "without-guard": {"control-flow-guard"},
    "without-guard-checks": {"control-flow-guard"},
    "without-cet-mark": {"cet-compatible"},
    "gui-subsystem": {"console-subsystem"},
    "fixed-base": {"dynamic-base", "high-entropy-va", "relocations"},
    "delay-load": {"imports", "no-delay-imports"},
    "extra-import": {"imports"},
    "set-default-dll-directories-imported": {"imports"},
    "mingw-start-up": {"imports", "no-c-run-time", "reproducible-time-stamp", "control-flow-guard", "cet-compatible",
                       "symbols"},
    "without-load-config": {"dependent-load-flags", "control-flow-guard", "stack-cookie"},
    "second-manifest": {"one-manifest"},
    "without-resources": {"one-manifest", "manifest-content", "version-resource", "version-fixed-part",
                          "version-strings", "version-translation"},
}


def broken_build(request, build):
    return request.config.getoption("--test-programs") / "broken-images" / build / "tolvane.exe"


@pytest.mark.parametrize("build,rules", BROKEN_BUILDS.items(), ids=BROKEN_BUILDS.keys())
def test_broken_build_fails_its_rules(request, checker, expected, build, rules):
    assert failing(checker, broken_build(request, build), expected) == rules


def test_a_build_made_without_the_cet_mark_must_not_carry_it(request, checker, image, expected):
    unmarked = dataclasses.replace(expected, cet_compat=False)
    assert failing(checker, broken_build(request, "without-cet-mark"), unmarked) == set()
    assert failing(checker, image, unmarked) == {"cet-compatible"}


def utf16(text):
    return text.encode("utf-16-le")


def replace(old, new, occurrence=0):
    """Changes the n-th occurrence of some bytes, keeping the file's layout."""
    assert len(old) == len(new)

    def mutate(pe):
        data = bytearray(pe.write())
        start = -1
        for _ in range(occurrence + 1):
            start = data.index(old, start + 1)
        data[start:start + len(old)] = new
        return bytes(data)
    return mutate


def set_fields(structure, **fields):
    """Sets fields of one header structure; a callable value maps the old one."""
    def mutate(pe):
        found = structure(pe)
        for field, value in fields.items():
            setattr(found, field, value(getattr(found, field)) if callable(value) else value)
        return pe.write()
    return mutate


def set_field(header, **fields):
    return set_fields(lambda pe: getattr(pe, header), **fields)


def set_directory(index, **fields):
    return set_fields(lambda pe: pe.OPTIONAL_HEADER.DATA_DIRECTORY[index], **fields)


def set_fixed_version(**fields):
    return set_fields(lambda pe: pe.VS_FIXEDFILEINFO[0], **fields)


def set_resource(type_id, level, value):
    """Sets the identifier ("name") or the language of a resource."""
    def mutate(pe):
        (resource_type,) = [entry for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries if entry.id == type_id]
        name = resource_type.directory.entries[0]
        entry = name if level == "name" else name.directory.entries[0]
        entry.struct.Name = value
        return pe.write()
    return mutate


def rename_import(library, name, new):
    assert len(name) == len(new)

    def mutate(pe):
        (entry,) = [entry for entry in pe.DIRECTORY_ENTRY_IMPORT if entry.dll == library]
        (symbol,) = [symbol for symbol in entry.imports if symbol.name == name]
        data = bytearray(pe.write())
        data[symbol.name_offset:symbol.name_offset + len(new)] = new
        return bytes(data)
    return mutate


def drop_last_operation(pe):
    """Ends the installer library's import list one entry early, its name gone too."""
    (installer,) = [entry for entry in pe.DIRECTORY_ENTRY_IMPORT if entry.dll == b"ZEL_Act_Installer.dll"]
    last = installer.imports[-1]
    address_entry = pe.get_offset_from_rva(installer.struct.FirstThunk) + 8 * (len(installer.imports) - 1)
    data = bytearray(pe.write())
    for start, length in [(last.struct_table.get_file_offset(), 8), (address_entry, 8),
                          (last.name_offset, len(last.name))]:
        data[start:start + length] = bytes(length)
    return bytes(data)


SHORTER_COPYRIGHT = "Copyright (C) the tolvan"  # 12 characters fewer: room for a second string table


def second_string_table(pe):
    """Makes room in the string table by a shorter copyright, then adds a second,
    empty table after it: the first one is whole, with the shorter copyright."""
    (table,) = [table for info in pe.FileInfo[0] if info.Key == b"StringFileInfo" for table in info.StringTable]
    start, end = table.__file_offset__, table.__file_offset__ + table.Length
    key, value = table.entries_offsets[b"LegalCopyright"]
    entry = key - 6
    following = value + 2 * (table.entries_lengths[b"LegalCopyright"][1] + 1)
    following += -following % 4
    shorter = utf16(SHORTER_COPYRIGHT + "\0")
    length = value - entry + len(shorter)
    removed = following - entry - (length + -length % 4)
    assert removed == 24, removed  # a table's header with its key
    data = bytearray(pe.write())
    entry_header = length.to_bytes(2, "little") + (len(SHORTER_COPYRIGHT) + 1).to_bytes(2, "little")
    data[start:start + 2] = (table.Length - removed).to_bytes(2, "little")
    data[entry:end] = (entry_header + data[entry + 4:value] + shorter + bytes(-length % 4) + data[following:end]
                       + (24).to_bytes(2, "little") + bytes(2) + (1).to_bytes(2, "little") + utf16("040904e4\0"))
    return bytes(data)


def import_by_ordinal(library):
    def mutate(pe):
        (entry,) = [entry for entry in pe.DIRECTORY_ENTRY_IMPORT if entry.dll == library]
        entry.imports[0].struct_table.AddressOfData = 0x8000000000000001
        return pe.write()
    return mutate


def relocations_as_padding(pe):
    """Every base relocation turned into padding (IMAGE_REL_BASED_ABSOLUTE), as lld writes none."""
    for block in pe.DIRECTORY_ENTRY_BASERELOC:
        for entry in block.entries:
            entry.struct.Data &= 0x0FFF
    return pe.write()


def load_config(offset, value, size=2):
    """Writes one field of the load configuration."""
    def mutate(pe):
        directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[10]
        data = bytearray(pe.write())
        start = pe.get_offset_from_rva(directory.VirtualAddress) + offset
        data[start:start + size] = value.to_bytes(size, "little")
        return bytes(data)
    return mutate


def at_address(address, change, size=8):
    """Changes the value at the virtual address that address(pe) gives to change(the value)."""
    def mutate(pe):
        data = bytearray(pe.write())
        start = pe.get_offset_from_rva(address(pe) - pe.OPTIONAL_HEADER.ImageBase)
        data[start:start + size] = change(int.from_bytes(data[start:start + size], "little")).to_bytes(size, "little")
        return bytes(data)
    return mutate


def load_config_value(offset):
    """The address that a field of the load configuration holds."""
    return lambda pe: int.from_bytes(pe.get_data(pe.OPTIONAL_HEADER.DATA_DIRECTORY[10].VirtualAddress + offset, 8),
                                     "little")


def swap_guard_pointers(pe):
    """The load configuration's check and dispatch pointers, each in the other's place."""
    check, dispatch = load_config_value(0x70)(pe), load_config_value(0x78)(pe)
    return load_config(0x78, check, 8)(pefile.PE(data=load_config(0x70, dispatch, 8)(pe)))


def swap_guard_targets(pe):
    """What the check and dispatch pointers lead to, each in the other's place."""
    check, dispatch = (pe.get_qword_at_rva(load_config_value(offset)(pe) - pe.OPTIONAL_HEADER.ImageBase)
                       for offset in (0x70, 0x78))
    swapped = at_address(load_config_value(0x70), lambda _: dispatch)(pe)
    return at_address(load_config_value(0x78), lambda _: check)(pefile.PE(data=swapped))


def guard_pointer_leading_as(offset, other):
    """One guard pointer leads where the other leads: the dispatch to a return, or the check to a jump."""
    def mutate(pe):
        target = pe.get_qword_at_rva(load_config_value(other)(pe) - pe.OPTIONAL_HEADER.ImageBase)
        return at_address(load_config_value(offset), lambda _: target)(pe)
    return mutate


def guard_check_leading_to_data(pe):
    """The check pointer leads to a return (0xC3) in the load configuration's unused TimeDateStamp: no code."""
    target = pe.OPTIONAL_HEADER.ImageBase + pe.OPTIONAL_HEADER.DATA_DIRECTORY[10].VirtualAddress + 4
    return at_address(load_config_value(0x70), lambda _: target)(pefile.PE(data=load_config(4, 0xC3, 4)(pe)))


def symbols_named(name):
    """The CodeView record, naming the PDB so, moved into the zeros at the load configuration's end."""
    def mutate(pe):
        (entry,) = [entry.struct for entry in pe.DIRECTORY_ENTRY_DEBUG if entry.struct.Type == 2]
        record = pe.get_data(entry.AddressOfRawData, 24) + name + b"\0"
        rva = pe.OPTIONAL_HEADER.DATA_DIRECTORY[10].VirtualAddress + 0x140 - len(record)
        assert not pe.get_data(rva, len(record)).strip(b"\0")
        entry.AddressOfRawData, entry.PointerToRawData, entry.SizeOfData = rva, pe.get_offset_from_rva(rva), len(record)
        data = bytearray(pe.write())
        data[entry.PointerToRawData:entry.PointerToRawData + len(record)] = record
        return bytes(data)
    return mutate


def debug_entry(kind, **fields):
    return set_fields(lambda pe: next(entry.struct for entry in pe.DIRECTORY_ENTRY_DEBUG
                                      if entry.struct.Type == pefile.DEBUG_TYPE[kind]), **fields)


def debug_data(kind):
    return lambda pe: pe.OPTIONAL_HEADER.ImageBase + next(entry.struct.AddressOfRawData for entry in
                                                          pe.DIRECTORY_ENTRY_DEBUG
                                                          if entry.struct.Type == pefile.DEBUG_TYPE[kind])


def translation(language, code_page):
    """Rewrites the value of the Translation entry, which follows its key."""
    def mutate(pe):
        data = bytearray(pe.write())
        value = data.index(b"\x09\x04\xb0\x04", data.index(utf16("Translation")))
        data[value:value + 4] = language.to_bytes(2, "little") + code_page.to_bytes(2, "little")
        return bytes(data)
    return mutate


DLL, IMAGE = pefile.DLL_CHARACTERISTICS, pefile.IMAGE_CHARACTERISTICS
ASM_V3 = b'xmlns:ms_asmv3="urn:schemas-microsoft-com:asm.v3"'

# (rules that must fail, mutation of the good image)
LOAD_CONFIG_RULES = {"dependent-load-flags", "control-flow-guard", "stack-cookie"}
MUTATIONS = {
    "i386-machine": ({"machine-x86-64"}, set_field("FILE_HEADER", Machine=0x14C)),
    "not-executable": ({"machine-x86-64"}, set_field("FILE_HEADER", Characteristics=lambda flags:
                                                     flags & ~IMAGE["IMAGE_FILE_EXECUTABLE_IMAGE"])),
    "a-dll": ({"machine-x86-64"}, set_field("FILE_HEADER", Characteristics=lambda flags:
                                            flags | IMAGE["IMAGE_FILE_DLL"])),
    "subsystem-version-6.0": ({"subsystem-version-5.2"}, set_field("OPTIONAL_HEADER", MajorSubsystemVersion=6,
                                                                    MinorSubsystemVersion=0)),
    "subsystem-version-5.1": ({"subsystem-version-5.2"}, set_field("OPTIONAL_HEADER", MinorSubsystemVersion=1)),
    "os-version-5.1": ({"os-version-5.2"}, set_field("OPTIONAL_HEADER", MinorOperatingSystemVersion=1)),
    "os-version-6.2": ({"os-version-5.2"}, set_field("OPTIONAL_HEADER", MajorOperatingSystemVersion=6)),
    "no-high-entropy": ({"high-entropy-va"}, set_field("OPTIONAL_HEADER", DllCharacteristics=lambda flags:
                                                       flags & ~DLL["IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA"])),
    "no-relocation-table": ({"relocations"}, set_directory(5, VirtualAddress=0, Size=0)),
    "relocation-table-without-entries": ({"relocations"}, relocations_as_padding),
    "relocations-stripped": ({"relocations"}, set_field("FILE_HEADER", Characteristics=lambda flags:
                                                        flags | IMAGE["IMAGE_FILE_RELOCS_STRIPPED"])),
    "no-nx": ({"nx-compatible"}, set_field("OPTIONAL_HEADER", DllCharacteristics=lambda flags:
                                           flags & ~DLL["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"])),
    "not-terminal-server-aware": ({"terminal-server-aware"}, set_field(
        "OPTIONAL_HEADER",
        DllCharacteristics=lambda flags: flags & ~DLL["IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE"])),
    "not-large-address-aware": ({"large-address-aware"}, set_field("FILE_HEADER", Characteristics=lambda flags:
                                                                   flags & ~IMAGE["IMAGE_FILE_LARGE_ADDRESS_AWARE"])),
    "timestamp": ({"reproducible-time-stamp"}, set_field("FILE_HEADER", TimeDateStamp=0x5F000000)),
    "no-repro-entry": ({"reproducible-time-stamp"}, debug_entry("IMAGE_DEBUG_TYPE_REPRO", Type=0)),
    "pdb-named-with-a-folder": ({"symbols"}, symbols_named(b"C:\\tolvane.pdb")),
    "no-guard-flag": ({"control-flow-guard"}, set_field("OPTIONAL_HEADER", DllCharacteristics=lambda flags:
                                                        flags & ~DLL["IMAGE_DLLCHARACTERISTICS_GUARD_CF"])),
    "guard-flags-not-instrumented": ({"control-flow-guard"}, load_config(0x90, 0x10400, 4)),
    "no-guard-dispatch-pointer": ({"control-flow-guard"}, load_config(0x78, 0, 8)),
    "guard-pointers-swapped": ({"control-flow-guard"}, swap_guard_pointers),
    "guard-targets-swapped": ({"control-flow-guard"}, swap_guard_targets),
    "guard-check-leading-to-data": ({"control-flow-guard"}, guard_check_leading_to_data),
    "guard-dispatch-leading-to-a-return": ({"control-flow-guard"}, guard_pointer_leading_as(0x78, 0x70)),
    "guard-check-leading-to-a-jump": ({"control-flow-guard"}, guard_pointer_leading_as(0x70, 0x78)),
    "entry-point-not-a-call-target": ({"control-flow-guard"}, set_field("OPTIONAL_HEADER", AddressOfEntryPoint=lambda
                                                                         entry: entry + 1)),
    "call-target-off-its-boundary": ({"control-flow-guard"},
                                     at_address(load_config_value(0x80), lambda rva: rva + 1, 4)),
    "no-cet-mark": ({"cet-compatible"},
                    at_address(debug_data("IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS"), lambda bits: 0, 4)),
    "security-cookie-unused": ({"stack-cookie"}, load_config(0x90, 0x10500 | 0x800, 4)),
    "no-security-cookie": ({"stack-cookie"}, load_config(0x58, 0, 8)),
    "security-cookie-not-the-default": ({"stack-cookie"},
                                        at_address(load_config_value(0x58), lambda cookie: cookie ^ 1)),
    "c-run-time-import": ({"imports", "no-c-run-time"}, replace(b"KERNEL32.dll\0", b"ucrtbase.dll\0")),
    "tls-directory": ({"no-c-run-time"}, set_directory(9, VirtualAddress=0x1000, Size=0x28)),
    "library-name-case": ({"imports"}, replace(b"ZEL_Act_Installer.dll", b"zel_act_installer.dll")),
    "operation-renamed": ({"imports"}, replace(b"zelActSvcInstallWin\0", b"zelActSvcInstallWiN\0")),
    "two-operations": ({"imports"}, drop_last_operation),
    "system-function-of-windows-6": ({"imports"}, rename_import(b"KERNEL32.dll", b"GetACP", b"GetTid")),
    "security-function-of-windows-6": ({"imports"}, rename_import(b"ADVAPI32.dll", b"GetAce", b"GetAcl"),
                                       {"program": "tolvane-run.exe"}),
    "operation-by-ordinal": ({"imports", "no-delay-imports"}, import_by_ordinal(b"ZEL_Act_Installer.dll")),
    "system-function-by-ordinal": ({"imports"}, import_by_ordinal(b"KERNEL32.dll")),
    "delay-load-directory": ({"no-delay-imports"}, set_directory(13, VirtualAddress=0x1000, Size=0x20)),
    "library-named-elsewhere": ({"no-delay-imports"}, replace(b"This program cannot be run",
                                                              b"ZEL_Act_Installer.dll\0xxxx")),
    "no-dependent-load-flags": ({"dependent-load-flags"}, load_config(0x4E, 0)),
    "default-search-directories": ({"dependent-load-flags"}, load_config(0x4E, 0x1000)),
    "also-the-library-folder": ({"dependent-load-flags"}, load_config(0x4E, 0xA00 | 0x100)),
    "load-config-too-short": (LOAD_CONFIG_RULES, lambda pe: load_config(0, 0x40, 4)(
        pefile.PE(data=set_directory(10, Size=0x40)(pe)))),
    "load-config-sizes-differ": (LOAD_CONFIG_RULES, set_directory(10, Size=0x68)),
    "no-load-config-directory": (LOAD_CONFIG_RULES, set_directory(10, VirtualAddress=0, Size=0)),
    "manifest-language-neutral": ({"one-manifest"}, set_resource(24, "language", 0)),
    "manifest-id-2": ({"one-manifest"}, set_resource(24, "name", 2)),
    "as-invoker": ({"manifest-content"}, replace(b'"requireAdministrator"', b'"asInvoker"'.ljust(22))),
    "highest-available": ({"manifest-content"}, replace(b'"requireAdministrator"', b'"highestAvailable"'.ljust(22))),
    "ui-access": ({"manifest-content"}, replace(b'uiAccess="false"', b'uiAccess="true" ')),
    "other-prefix": ({"manifest-content"}, replace(ASM_V3, ASM_V3.replace(b"ms_asmv3", b"ms_asmv4"))),
    "asm-v2-namespace": ({"manifest-content"}, replace(ASM_V3, ASM_V3.replace(b"asm.v3", b"asm.v2"))),
    "architecture-amd": ({"manifest-content"}, replace(b'"X86"', b'"ia6"')),
    "identity-version": ({"manifest-content"}, replace(b'version="1.0.0.0"', b'version="1.0.0.1"')),
    "manifest-version": ({"manifest-content"}, replace(b'manifestVersion="1.0"', b'manifestVersion="2.0"')),
    "other-element": ({"manifest-content"}, replace(b"<assemblyIdentity ", b"<dependentAssembly")),
    "not-well-formed": ({"manifest-content"}, replace(b"</assembly>", b"</assembly<")),
    "text-in-an-element": ({"manifest-content"}, replace(b"\n    <ms_asmv3:security>", b"\ntext<ms_asmv3:security>")),
    "version-language-en-us": ({"version-resource"}, set_resource(16, "language", 0x409)),
    "version-debug-flag": ({"version-fixed-part"}, set_fixed_version(FileFlags=1)),
    "version-flags-mask": ({"version-fixed-part"}, set_fixed_version(FileFlagsMask=0x17)),
    "version-os": ({"version-fixed-part"}, set_fixed_version(FileOS=0x4)),
    "version-type-dll": ({"version-fixed-part"}, set_fixed_version(FileType=2)),
    "version-subtype": ({"version-fixed-part"}, set_fixed_version(FileSubtype=1)),
    "version-number": ({"version-fixed-part"}, set_fixed_version(ProductVersionLS=1)),
    "string-table-cp1252": ({"version-strings"}, replace(utf16("040904b0"), utf16("040904e4"))),
    "string-fields-order": ({"version-strings"}, lambda pe: replace(utf16("ProductName"), utf16("CompanyName"), 1)(
        pefile.PE(data=replace(utf16("CompanyName"), utf16("ProductName"))(pe)))),
    "original-filename": ({"version-strings"}, replace(utf16("tolvane.exe"), utf16("tolvane.EXE"), occurrence=2)),
    "build-number": ({"version-strings"}, replace(utf16(" build "), utf16(" Build "))),
    "second-string-table": ({"version-strings"}, second_string_table, {"copyright": SHORTER_COPYRIGHT}),
    "translation-cp1252": ({"version-translation"}, translation(0x0409, 1252)),
}


@pytest.mark.parametrize("rules,mutate,expect", [(*row, {})[:3] for row in MUTATIONS.values()], ids=MUTATIONS.keys())
def test_changed_image_fails_exactly_its_rules(checker, image, expected, tmp_path, rules, mutate, expect):
    """Each row: the rules that must fail, the change, and what the checker then expects instead (the program
    too, whose built image is then changed)."""
    image = image.with_name(expect.get("program", image.name))
    pe = pefile.PE(data=mutate(pefile.PE(str(image))))
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    broken = tmp_path / image.name
    broken.write_bytes(pe.write())
    assert broken.read_bytes() != image.read_bytes()
    assert failing(checker, broken, dataclasses.replace(expected, **expect)) == rules


def test_wrong_checksum_fails(checker, image, expected, tmp_path):
    pe = pefile.PE(str(image))
    pe.OPTIONAL_HEADER.CheckSum ^= 1
    broken = tmp_path / "tolvane.exe"
    broken.write_bytes(pe.write())
    assert failing(checker, broken, expected) == {"checksum"}


def test_other_file_name_fails(checker, image, expected, tmp_path):
    shutil.copy2(image, tmp_path / "Tolvane.exe")
    assert failing(checker, tmp_path / "Tolvane.exe", expected) == {"file-name"}


def test_unsigned_image_fails_where_a_signature_is_required(checker, image, expected):
    signed = checker.Expected(**{**expected.__dict__, "signed": True})
    assert failing(checker, image, signed) == {"signature"}


def test_a_rule_that_raises_fails(checker, image, expected, expectations, monkeypatch):
    def unreadable(pe, path, expected):
        return pe.no_such_header.Field
    monkeypatch.setitem(checker.RULES, "raises", unreadable)
    assert failing(checker, image, expected) == {"raises"}
    assert checker.main([str(image), "--expect", str(expectations)]) == 1


def run_checker(request, path, expectations, *options):
    """The checker's own command line, as CTest and the release run it."""
    script = request.config.getoption("--source-dir") / "tools" / "check_pe_image.py"
    return subprocess.run([str(script), str(path), "--expect", str(expectations), *options],
                          capture_output=True, text=True, stdin=subprocess.DEVNULL)


# (the image: the build's, a broken build, or a file's content; options; the rules that fail, or all of them)
CHECKER_COMMAND_LINES = {
    "built-image": ("built", [], set()),
    "broken-build": ("extra-import", [], {"imports"}),
    "timestamp-implies-a-signature": ("built", ["--timestamped"], {"signature"}),
    "missing-file": (None, [], "all"),
    "not-an-image": (b"MZ not an image", [], "all"),
}


@pytest.mark.parametrize("source,options,rules", CHECKER_COMMAND_LINES.values(), ids=CHECKER_COMMAND_LINES.keys())
def test_command_line_reports_every_rule_and_exits_1_on_any_failure(request, checker, image, tmp_path,
                                                                   expectations, source, options, rules):
    if source == "built":
        path = image
    elif isinstance(source, str):
        path = broken_build(request, source)
    else:
        path = tmp_path / "tolvane.exe"
        if source is not None:
            path.write_bytes(source)
    result = run_checker(request, path, expectations, *options)
    lines = [line.split(":")[0].split(" ", 1) for line in result.stdout.splitlines()]
    assert sorted(rule for _, rule in lines) == sorted(checker.RULES)  # one line each
    failed = {rule for verdict, rule in lines if verdict != "PASS"}
    assert {verdict for verdict, _ in lines} <= {"PASS", "FAIL"}
    assert failed == (set(checker.RULES) if rules == "all" else rules)
    assert (result.returncode, result.stderr) == (1 if failed else 0, "")


def test_every_rule_is_shown_to_fail(checker):
    shown = set().union(*BROKEN_BUILDS.values(), *(row[0] for row in MUTATIONS.values()))
    shown |= {"checksum", "file-name", "signature"}  # the tests above, and the release's for signatures
    assert shown == set(checker.RULES)


def content_size(path):
    """The bytes of the image's sections, without the padding to the file alignment."""
    pe = pefile.PE(str(path))
    return sum(min(section.Misc_VirtualSize, section.SizeOfRawData) for section in pe.sections)


# The floor is a minimal program with MinGW's start-up code and the C
# run-time it needs; tolvane, without them, holds all its own code and its
# own run-time in less: splitting and converting the command line, the
# formatter, writing to a console, the pause, holding off Ctrl+C,
# restricting the library search, the longer messages (6,644 bytes of
# content against 13,164 when measured).
@pytest.mark.parametrize("build", [None, "mingw-start-up"], ids=["built", "mingw-start-up"])
def test_image_holds_less_than_a_minimal_program_with_the_c_run_time(request, image, build):
    minimal = request.config.getoption("--test-programs") / "minimal_install.exe"
    path = image if build is None else broken_build(request, build)
    size, floor = content_size(path), content_size(minimal)
    print(f"{path.name}: {path.stat().st_size} bytes, {size} of content; "
          f"minimal program {minimal.stat().st_size} bytes, {floor} of content; {size - floor} more")
    assert (size < floor) == (build is None)
