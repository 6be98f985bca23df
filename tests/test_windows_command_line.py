"""tolvane.exe started as Windows starts it: from an exact command line,
split by the platform's own rules, and from a batch file that redirects its
output to a log, as a deployment script does."""

import shutil

import pytest

from conftest import install_calls, report_text, usage_text


@pytest.fixture(autouse=True)
def windows_only(platform):
    if platform.name != "windows":
        pytest.skip("Windows command lines")


@pytest.fixture
def launch(request, deployment, platform):
    """Runs a command line, given as bytes in the ANSI code page, unchanged."""
    launcher = deployment.folder / "raw_command_line.exe"
    shutil.copy2(request.config.getoption("--test-programs") / launcher.name, launcher)

    def run(command_line, script=None):
        line_file = deployment.folder / "command-line"
        line_file.write_bytes(command_line)
        command = [*platform.launcher, str(launcher), platform.path_for_program(line_file)]
        return deployment.finish(deployment.start(command=command, script=script))
    return run


# (what follows "tolvane.exe " on the command line, publisher, product)
COMMAND_LINES = {
    "escaped-quote-and-backslash": (rb'"ab\"c" "\\"', b'ab"c', b"\\"),
    "backslashes-not-before-a-quote": (rb'a\\b "c d\e"', rb"a\\b", rb"c d\e"),
    "odd-backslashes-before-a-quote": (rb'"a\\\"b" c', rb'a\"b', b"c"),
    "even-backslashes-before-a-quote": (rb'"a\\\\" c', b"a\\\\", b"c"),
    "empty-quoted": (b'"" ""', b"", b""),
    "blanks-and-tabs-between": (b'  "Acme Corp" \t Widget  ', b"Acme Corp", b"Widget"),
    "quotes-inside-a-word": (b'a"b c"d e', b"ab cd", b"e"),
    "unterminated-quote": (b'one "two three', b"one", b"two three"),
    "wildcards-stay": (b"*.dll ?", b"*.dll", b"?"),
    "percent-signs": (b"%PATH% %s%n", b"%PATH%", b"%s%n"),
    "ansi-code-page": (b"Caf\xe9 \xa9\xae", b"Caf\xe9", b"\xa9\xae"),
}


@pytest.mark.parametrize("arguments,publisher,product", COMMAND_LINES.values(), ids=COMMAND_LINES.keys())
def test_command_line_is_split_by_the_platform_rules(launch, platform, arguments, publisher, product):
    run = launch(b"tolvane.exe " + arguments, script={"ZEL_STAND_IN_TEXT": "ok", "ZEL_STAND_IN_CODES": "0"})
    assert run.status == 0
    assert run.stdout == report_text(platform, True, publisher, product, 0, b"ok")
    assert run.calls == install_calls(publisher, product, 1, 0, b"ok", 0)


@pytest.mark.parametrize("arguments", [b"", b'"Acme Corp Widget"', b"Acme Corp Widget", b'a "" ""'])
def test_other_argument_counts_on_a_command_line_print_usage(launch, platform, arguments):
    run = launch(b"tolvane.exe " + arguments)
    assert (run.status, run.stdout, run.calls) == (0, usage_text(platform), [])


def test_batch_file_logs_the_outcome_and_never_waits(deployment, platform):
    (deployment.folder / "deploy.cmd").write_bytes(b"\r\n".join([
        b"@echo off",
        b'tolvane.exe "Acme Corp" "Widget" > install.log',
        b'tolvane.exe "Acme Corp" "Gadget" >> install.log',
        b"tolvane.exe > usage.log < NUL",
        b""]))
    script = {"ZEL_STAND_IN_TEXT": "done", "ZEL_STAND_IN_CODES": "5"}
    run = deployment.run(command=[*platform.launcher, "cmd", "/c", "deploy.cmd"], script=script)
    assert run.status == 0
    assert (deployment.folder / "install.log").read_bytes() == (
        report_text(platform, True, b"Acme Corp", b"Widget", 5, b"done")
        + report_text(platform, True, b"Acme Corp", b"Gadget", 5, b"done"))
    assert (deployment.folder / "usage.log").read_bytes() == usage_text(platform)
    assert run.stdout == b""
