"""The image checks pass on the built tolvane.exe, and every rule fails on an
image that breaks it: images built wrongly on purpose, and copies of the
good image with one property changed."""

import json
import shutil
import sys

import pefile
import pytest


@pytest.fixture(scope="module")
def checker(request):
    sys.path.insert(0, str(request.config.getoption("--source-dir") / "tools"))
    import check_pe_image
    return check_pe_image


@pytest.fixture(scope="module")
def expected(request, checker):
    return checker.Expected(**json.loads(request.config.getoption("--image-expectations").read_text()))


@pytest.fixture(scope="module")
def image(request):
    return request.config.getoption("--bin-dir") / "tolvane.exe"


def failing(checker, path, expected):
    return {rule for rule, failure in checker.check(str(path), expected).items() if failure is not None}


def test_built_image_passes_every_rule(checker, image, expected):
    results = checker.check(str(image), expected)
    assert {rule: failure for rule, failure in results.items() if failure} == {}


# Built with wrong flags or inputs by the build itself (tests/windows).
BROKEN_BUILDS = {
    "default-link": {"os-version-5.2", "terminal-server-aware", "no-timestamp"},
    "gui-subsystem": {"console-subsystem"},
    "fixed-base": {"dynamic-base", "relocations"},
    "delay-load": {"imports", "no-delay-imports"},
    "without-resources": {"one-manifest", "manifest-content", "version-resource", "version-fixed-part",
                          "version-strings", "version-translation"},
}


@pytest.mark.parametrize("build,rules", BROKEN_BUILDS.items(), ids=BROKEN_BUILDS.keys())
def test_broken_build_fails_its_rules(request, checker, expected, build, rules):
    path = request.config.getoption("--test-programs") / "broken-images" / build / "tolvane.exe"
    assert failing(checker, path, expected) == rules


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


def import_by_ordinal(pe):
    (installer,) = [entry for entry in pe.DIRECTORY_ENTRY_IMPORT if entry.dll == b"ZEL_Act_Installer.dll"]
    installer.imports[0].struct_table.AddressOfData = 0x8000000000000001
    return pe.write()


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
MUTATIONS = {
    "i386-machine": ({"machine-x86-64"}, set_field("FILE_HEADER", Machine=0x14C)),
    "subsystem-version-6.0": ({"subsystem-version-5.2"}, set_field("OPTIONAL_HEADER", MajorSubsystemVersion=6,
                                                                    MinorSubsystemVersion=0)),
    "no-relocation-table": ({"relocations"}, set_directory(5, VirtualAddress=0, Size=0)),
    "no-nx": ({"nx-compatible"}, set_field("OPTIONAL_HEADER", DllCharacteristics=lambda flags:
                                           flags & ~DLL["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"])),
    "not-terminal-server-aware": ({"terminal-server-aware"}, set_field(
        "OPTIONAL_HEADER",
        DllCharacteristics=lambda flags: flags & ~DLL["IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE"])),
    "not-large-address-aware": ({"large-address-aware"}, set_field("FILE_HEADER", Characteristics=lambda flags:
                                                                   flags & ~IMAGE["IMAGE_FILE_LARGE_ADDRESS_AWARE"])),
    "timestamp": ({"no-timestamp"}, set_field("FILE_HEADER", TimeDateStamp=0x5F000000)),
    "other-system-dll": ({"imports"}, replace(b"msvcrt.dll\0", b"msvcr7.dll\0")),
    "library-name-case": ({"imports"}, replace(b"ZEL_Act_Installer.dll", b"zel_act_installer.dll")),
    "operation-renamed": ({"imports"}, replace(b"zelActSvcInstallWin\0", b"zelActSvcInstallWiN\0")),
    "operation-by-ordinal": ({"imports", "no-delay-imports"}, import_by_ordinal),
    "delay-load-directory": ({"no-delay-imports"}, set_directory(13, VirtualAddress=0x1000, Size=0x20)),
    "library-named-elsewhere": ({"no-delay-imports"}, replace(b"This program cannot be run",
                                                              b"ZEL_Act_Installer.dll\0xxxx")),
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
    "translation-cp1252": ({"version-translation"}, translation(0x0409, 1252)),
}


@pytest.mark.parametrize("rules,mutate", MUTATIONS.values(), ids=MUTATIONS.keys())
def test_changed_image_fails_exactly_its_rules(checker, image, expected, tmp_path, rules, mutate):
    pe = pefile.PE(data=mutate(pefile.PE(str(image))))
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    broken = tmp_path / "tolvane.exe"
    broken.write_bytes(pe.write())
    assert broken.read_bytes() != image.read_bytes()
    assert failing(checker, broken, expected) == rules


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


def test_every_rule_is_shown_to_fail(checker):
    shown = set().union(*BROKEN_BUILDS.values(), *(rules for rules, _ in MUTATIONS.values()))
    shown |= {"checksum", "file-name", "signature"}
    assert shown == set(checker.RULES)


def test_image_is_within_five_percent_of_a_minimal_program(request, image):
    minimal = request.config.getoption("--test-programs") / "minimal_install.exe"
    size, floor = image.stat().st_size, minimal.stat().st_size
    print(f"tolvane.exe {size} bytes, minimal program {floor} bytes")
    assert size <= floor * 1.05
