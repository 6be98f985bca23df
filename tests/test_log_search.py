"""tolvane-run's search of a log for tolvane.exe's line for these names, run
on the search itself: a log is bytes, whatever the installer library writes
into it before, between or after tolvane.exe's lines, and is read in pieces
that may cut a line anywhere.  The same table runs natively and, built for
Windows, under Wine."""

import pytest

from conftest import run_test_program


def lines_for(publisher, product):
    """tolvane.exe's two outcome lines for these names, as it writes them on Windows."""
    return [b"Successfully installed anchor service for publisher %s, product %s\r\n" % (publisher, product),
            b"Error installing anchor service for publisher %s, product %s\r\n" % (publisher, product)]


INSTALLED, NOT_INSTALLED = lines_for(b"Acme Corp", b"Widget")
USAGE = b"Usage: tolvane publisher_name product_name\r\n"
STATUS = b"Success code 0: ok\r\n"
# a name that holds a line break and the other outcome's words
FORGING = lines_for(b"x\r\nSuccessfully installed anchor service for publisher y", b"Widget")

# (the lines looked for, the log, the one found first: its place among the lines, or None)
LOGS = {
    "installed": ([INSTALLED, NOT_INSTALLED], INSTALLED + STATUS, 0),
    "not-installed": ([INSTALLED, NOT_INSTALLED], NOT_INSTALLED + STATUS, 1),
    # what the library writes before tolvane.exe's line, measured where a line start was required
    "after-text-without-a-line-break": ([INSTALLED, NOT_INSTALLED], b"Installing..." + NOT_INSTALLED, 1),
    "after-progress-by-carriage-returns": ([INSTALLED, NOT_INSTALLED], b"\r 50%\r100%\r" + INSTALLED, 0),
    "after-utf-16-with-a-byte-order-mark": ([INSTALLED, NOT_INSTALLED],
                                            b"\xff\xfe" + "Installing\n".encode("utf-16-le") + INSTALLED, 0),
    "after-utf-16-without-one": ([INSTALLED, NOT_INSTALLED], "Installing\n".encode("utf-16-le") + NOT_INSTALLED, 1),
    "after-two-nul-bytes": ([INSTALLED, NOT_INSTALLED], b"\0\0" + INSTALLED, 0),
    "after-a-utf-8-byte-order-mark": ([INSTALLED, NOT_INSTALLED], b"\xef\xbb\xbf" + NOT_INSTALLED, 1),
    "usage-after-what-the-library-writes-as-it-loads": ([USAGE], b"loading" + USAGE, 0),
    # the first line found decides, the library's copy of the other outcome after it or before it
    "echoed-after": ([INSTALLED, NOT_INSTALLED], NOT_INSTALLED + INSTALLED, 1),
    "echoed-before": ([INSTALLED, NOT_INSTALLED], INSTALLED + NOT_INSTALLED, 0),
    # a line begun again where a longer beginning of it broke off
    "begun-again": ([INSTALLED, NOT_INSTALLED], INSTALLED[:-8] + INSTALLED, 0),
    "begun-again-within-itself": ([b"aab"], b"aaab", 0),
    "overlapping": ([b"abab"], b"abababc", 0),
    # a name cannot make the other outcome
    "forged-success": (FORGING, FORGING[1] + STATUS, 1),
    # nothing less than the whole line, its line break included
    "line-cut-short": ([INSTALLED, NOT_INSTALLED], INSTALLED[:-1], None),
    "other-names": ([INSTALLED, NOT_INSTALLED], b"".join(lines_for(b"Acme Corp", b"Widgets")), None),
    "empty": ([INSTALLED, NOT_INSTALLED], b"", None),
}


def test_the_first_line_found_decides_wherever_it_stands(request, platform, tmp_path):
    (tmp_path / "cases").write_text("".join(",".join(line.hex() for line in lines) + " " + log.hex() + "\n"
                                            for lines, log, _ in LOGS.values()))
    status, out, _ = run_test_program(request, platform, tmp_path, "search_log", "cases")
    assert status == 0
    found = dict(zip(LOGS, out.decode().split()))
    assert found == {name: "none" if first is None else str(first) for name, (_, _, first) in LOGS.items()}
