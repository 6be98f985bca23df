"""The Linux build's hardening, as a table of named rules read off the ELF
image with readelf; each rule must fail on a build made without the
project's flags."""

import re
import subprocess

import pytest


def readelf(path, *options):
    return subprocess.run(["readelf", "-W", *options, str(path)], capture_output=True, text=True,
                          check=True).stdout


def dynamic_entries(path, tag):
    """The values of one tag of the dynamic section: "[libc.so.6]" as "libc.so.6"."""
    values = [line.split(f"({tag})", 1)[1].strip() for line in readelf(path, "-d").splitlines()
              if f"({tag})" in line]
    return [value[value.index("[") + 1:-1] if value.endswith("]") else value for value in values]


def segment(path, name):
    return [line.split() for line in readelf(path, "-l").splitlines() if line.split()[:1] == [name]]


RULES = {
    "pie": lambda path: "PIE" in " ".join(dynamic_entries(path, "FLAGS_1"))
                        and "DYN (Position-Independent Executable file)" in readelf(path, "-h"),
    # The loader resolves every library operation at start, as on Windows.
    "bind-now": lambda path: "BIND_NOW" in dynamic_entries(path, "FLAGS"),
    "relro": lambda path: bool(segment(path, "GNU_RELRO")),
    "non-executable-stack": lambda path: [flags for *_, flags, _ in segment(path, "GNU_STACK")] == ["RW"],
    "library-beside-itself": lambda path: dynamic_entries(path, "RUNPATH") == ["$ORIGIN"]
                                          and not dynamic_entries(path, "RPATH"),
    "only-c-and-installer-libraries": lambda path: sorted(dynamic_entries(path, "NEEDED")) == [
        "libZEL_Act_Installer.so", "libc.so.6"],
    "fortified": lambda path: re.search(r"\b__printf_chk@", readelf(path, "--dyn-syms")) is not None
                              and re.search(r"\bprintf@", readelf(path, "--dyn-syms")) is None,
}


@pytest.fixture(scope="module")
def images(request):
    programs = request.config.getoption("--test-programs")
    return {"built": request.config.getoption("--bin-dir") / "tolvane", "unhardened": programs / "tolvane_unhardened"}


@pytest.mark.parametrize("rule", RULES)
def test_rule_holds_for_the_build_and_fails_without_the_flags(images, rule):
    assert RULES[rule](images["built"])
    assert not RULES[rule](images["unhardened"])
