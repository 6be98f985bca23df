"""tolvane.exe started as Windows starts it: from an exact UTF-16 command
line, which tolvane splits and converts to the ANSI code page itself, and
from a batch file that redirects its output to a log, as a deployment script
does.  Wine's ANSI code page here is 1252."""

import pytest

from conftest import install_calls, report_text, usage_text

REFUSAL = (b"Error installing anchor service: the publisher or product name has characters outside this "
           b"system's ANSI code page; the installer library was not called")


pytestmark = pytest.mark.usefixtures("windows_only")


@pytest.fixture
def launch(deployment):
    """Runs a command line, given as text, through CreateProcessW unchanged."""
    return deployment.launch


# (what follows "tolvane.exe " on the command line, publisher, product as the library gets them)
COMMAND_LINES = {
    "escaped-quote-and-backslash": (r'"ab\"c" "\\"', b'ab"c', b"\\"),
    "backslashes-not-before-a-quote": (r'a\\b "c d\e"', rb"a\\b", rb"c d\e"),
    "odd-backslashes-before-a-quote": (r'"a\\\"b" c', rb'a\"b', b"c"),
    "even-backslashes-before-a-quote": (r'"a\\\\" c', b"a\\\\", b"c"),
    "doubled-quotes-keep-the-region-open": ('"Acme ""Best"" Corp" "Widget"', b'Acme "Best" Corp', b"Widget"),
    "empty-quoted": ('"" ""', b"", b""),
    "blanks-and-tabs-between": ('  "Acme Corp" \t Widget  ', b"Acme Corp", b"Widget"),
    "quotes-inside-a-word": ('a"b c"d e', b"ab cd", b"e"),
    "unterminated-quote": ('one "two three', b"one", b"two three"),
    "wildcards-and-question-marks-stay": ("*.dll Who?", b"*.dll", b"Who?"),
    "percent-signs": ("%PATH% %s%n", b"%PATH%", b"%s%n"),
    # the same bytes in code page 1252 as a narrow command line gave
    "representable-non-ascii": ("Caf\u00e9 \u00a9\u00ae", b"Caf\xe9", b"\xa9\xae"),
    "right-single-quotation-mark": ('"Widget\u2019s" "\u20ac 5"', b"Widget\x92s", b"\x80 5"),
    "console-names": ('"\u20acuro Acme\u2019s" "M\u00fcller %s Caf\u00e9"', b"\x80uro Acme\x92s", b"M\xfcller %s Caf\xe9"),
    # typed or pasted decomposed: composed where the code page holds the composition
    "decomposed": ("Cafe\u0301 Widget", b"Caf\xe9", b"Widget"),
    "decomposed-longer-name-first": ('"Cafe\u0301 Ole\u0301" "Cafe\u0301"', b"Caf\xe9 Ol\xe9", b"Caf\xe9"),
    # on a Vietnamese system, where Wine's ANSI code page is 1258
    "vietnamese": ('"C\u00f4ng ty Ph\u1ea7n m\u1ec1m" \u0110i\u1ec7n', b"C\xf4ng ty Ph\xe2\xccn m\xea\xccm",
                   b"\xd0i\xea\xf2n", "vi_VN.UTF-8"),
}


@pytest.mark.parametrize("arguments,publisher,product,locale",
                         [(*row, "C.UTF-8")[:4] for row in COMMAND_LINES.values()], ids=COMMAND_LINES.keys())
def test_command_line_is_split_and_converted_exactly(launch, platform, arguments, publisher, product, locale):
    run = launch("tolvane.exe " + arguments, script={"ZEL_STAND_IN_TEXT": "ok", "ZEL_STAND_IN_CODES": "0",
                                                     "LC_ALL": locale})
    assert run.status == 0, run.stderr
    assert run.stdout == report_text(platform, True, publisher, product, 0, b"ok")
    assert run.calls == install_calls(publisher, product, 1, 0, b"ok", 0)


# Names that code page 1252 cannot hold exactly: best fit would turn them into
# look-alikes (a real quote, a plain A), the default character into '?'.
UNREPRESENTABLE = {
    "fullwidth-quotation-mark": '"Acme\uff02 Evil" "Widget"',
    "fullwidth-quotation-mark-in-product": 'Acme "Wid\uff02get"',
    "letter-with-macron": "\u0100cme Widget",
    "outside-the-code-page": '"Acme" "\u682a\u5f0f"',
    "outside-the-basic-plane": "Acme \U0001F600",
    "unpaired-surrogate": "\ud800 Widget",
    "decomposed-without-a-composition": "Acme q\u0301",
}


@pytest.mark.parametrize("arguments", UNREPRESENTABLE.values(), ids=UNREPRESENTABLE.keys())
def test_a_name_outside_the_code_page_is_refused_before_the_library(launch, platform, arguments):
    run = launch("tolvane.exe " + arguments)
    assert (run.status, run.stdout, run.calls) == (0, platform.lines(REFUSAL), []), run.stderr


@pytest.mark.parametrize("arguments", ["", '"Acme Corp Widget"', "Acme Corp Widget", 'a "" ""',
                                       '"Acme ""Best Corp"', '"Acme\uff02 Evil"'])
def test_other_argument_counts_on_a_command_line_print_usage(launch, platform, arguments):
    run = launch("tolvane.exe " + arguments)
    assert (run.status, run.stdout, run.calls) == (0, usage_text(platform), []), run.stderr


def test_program_name_rule_comes_first(launch, platform):
    run = launch('"tolvane.exe"Acme Widget Gadget', script={"ZEL_STAND_IN_TEXT": "ok", "ZEL_STAND_IN_CODES": "0"})
    assert run.calls == install_calls(b"Widget", b"Gadget", 1, 0, b"ok", 0)


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
