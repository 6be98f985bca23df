"""tolvane-qualify.exe, the qualification kit, under Wine, laid out as its
package lays it out: every check runs to its verdict, "ok" where Wine
behaves as Windows does, "FAIL" with what Wine did where it does not (and
there Windows must say "ok"); and a check fails where the kit is given a
broken program."""

import json
import shutil
import subprocess

import pytest

pytestmark = pytest.mark.usefixtures("windows_only")

FAIL, OK = "FAIL", "ok"
# Each check's verdict under Wine; where it is FAIL, what Wine does that Windows does not.
UNDER_WINE = {
    "tolvane.exe-refused-without-elevation": FAIL,  # it runs a requireAdministrator program unelevated
    "tolvane.exe-refused-without-the-library": OK,
    "tolvane.exe-refused-without-one-of-its-names": FAIL,  # it stubs a missing entry point
    "tolvane.exe's-library-not-from-the-current-folder-or-PATH": FAIL,  # it ignores DependentLoadFlags
    "library's-loads-not-from-the-current-folder-or-PATH": OK,
    "Control-Flow-Guard-on-in-tolvane.exe": FAIL,  # it enforces no Control Flow Guard
    # nor CET, where the processor has shadow stacks
    "CET-shadow-stacks-on-in-tolvane.exe": (FAIL, "not on this system"),
    "smashed-stack-ends-at-once": OK,
    "names-as-typed-on-the-console": OK,
    "names-as-typed-through-a-write-only-console-handle": OK,
    "Ctrl+C-does-not-cut-the-installation-short": OK,
    "Ctrl+Break-does-not-cut-the-installation-short": FAIL,  # it drops Ctrl+Break once Ctrl+C is ignored
    "usage-pause-waits-for-a-typed-line": OK,
    "name-outside-the-code-page-refused": OK,
    "tolvane-run-without-a-console-makes-no-window": OK,
    "tolvane-run-installed-0": OK,
    "tolvane-run-not-installed-1603": OK,
    "tolvane-run-usage-87": OK,
    "tolvane-run-name-outside-the-code-page-87": OK,
    "tolvane-run-no-log-110": OK,
    "tolvane-run-log-held-1618": OK,
    "tolvane-run-folder-others-can-change-1625": FAIL,  # a security descriptor gives others no write access
    "tolvane-run-without-tolvane.exe-2": OK,
    "tolvane-run-library-missing-0xc0000135": OK,
    "tolvane-run-without-administrator-rights-740": FAIL,  # tolvane.exe runs unelevated
}


def run_kit(request, platform, folder, replaced=None):
    """Lays the kit out in folder, with one of its files replaced by a test program if asked, runs it: (its status,
    its output, {check: (verdict, what it saw)}, the names of the work folders left in the temporary folder)."""
    for entry, source in json.loads(request.config.getoption("--qualification-files").read_text()).items():
        (folder / entry).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, folder / entry)
    if replaced:
        shutil.copy2(request.config.getoption("--test-programs") / replaced[1], folder / replaced[0])
    temporary = [*(request.config.getoption("--wineprefix") / "drive_c" / "users").glob("*/Temp")][0]
    before = set(temporary.iterdir())
    with open(folder / "out", "wb") as out:
        status = subprocess.run([*platform.launcher, str(folder / "tolvane-qualify.exe")], cwd=folder, stdout=out,
                                stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, env=platform.env,
                                timeout=240).returncode
    output = (folder / "out").read_text()
    rows = output.split("what it saw\n", 1)[1].split("\n\n", 1)[0].splitlines()
    verdicts = {row[:60].strip(): (row[61:80].strip(), row[80:]) for row in rows}
    return status, output, verdicts, set(temporary.iterdir()) - before


def test_every_check_comes_to_its_verdict_and_the_results_are_kept(request, platform, tmp_path):
    status, output, verdicts, left = run_kit(request, platform, tmp_path)
    allowed = {check: wanted if isinstance(wanted, tuple) else (wanted,) for check, wanted in UNDER_WINE.items()}
    assert list(verdicts) == list(allowed) and all(seen for _, seen in verdicts.values())
    assert {check: verdict for check, (verdict, _) in verdicts.items() if verdict not in allowed[check]} == {}
    assert status == 1 and left == set()
    # the same text in a file named for the machine and its Windows build, which the last line names
    (results,) = tmp_path.glob("tolvane-qualify-*-18362.txt")
    table, last = output.split("\n", 1)[1].rsplit("Results: ", 1)
    assert results.read_bytes() == b"\xef\xbb\xbf" + table.replace("\n", "\r\n").encode()
    assert last == platform.path_for_program(results) + "\n"
    assert "Windows 10.0 build 18362\nProcessor shadow stacks (CET): " in table
    assert table.endswith("ANSI code page 1252, OEM code page 437\n%d ok, %d FAIL, %d not on this system\n" % tuple(
        sum(verdict == wanted for verdict, _ in verdicts.values()) for wanted in (OK, FAIL, "not on this system")))


# (the kit's file replaced, the program in its place, the check that must fail)
BROKEN = {
    "tolvane-run-always-0": ("release/tolvane-run.exe", "minimal_install.exe", "tolvane-run-not-installed-1603"),
    "stack-check-ending-by-TerminateProcess": ("programs/stack_cookie.exe", "stack_cookie_without_fast_fail.exe",
                                               "smashed-stack-ends-at-once"),
}


@pytest.mark.parametrize("replaced,by,check", BROKEN.values(), ids=BROKEN.keys())
def test_a_broken_program_fails_the_check_that_guards_it(request, platform, tmp_path, replaced, by, check):
    status, _, verdicts, _ = run_kit(request, platform, tmp_path, (replaced, by))
    assert (status, verdicts[check][0]) == (1, FAIL)
