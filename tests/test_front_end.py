"""The front end's output, byte for byte, and its calls into the installer
library, in order, for each kind of input."""

import subprocess

import pytest

from conftest import (CODE_TO_TEXT, GET_LAST_ERROR, INSTALL, STAND_IN_TEXT, install_calls, report_text,
                      usage_text, wait_for)

INT32_MIN, INT32_MAX = -2**31, 2**31 - 1


@pytest.mark.parametrize("args", [[], ["Acme Corp"], ["Acme Corp", "Widget", "extra"], ["a", "b", "c", "d"],
                                  ["", "", ""]], ids=["0", "1", "3", "4", "3-empty"])
def test_other_argument_counts_print_usage_and_call_nothing(deployment, platform, args):
    run = deployment.run(*args)
    assert (run.status, run.stdout, run.calls) == (0, usage_text(platform), [])


def test_stand_in_by_default_succeeds_and_says_it_changed_nothing(deployment, platform):
    run = deployment.run("Acme Corp", "Widget", script={})
    assert run.status == 0
    assert run.stdout == report_text(platform, True, b"Acme Corp", b"Widget", 0, STAND_IN_TEXT)
    assert run.calls == install_calls(b"Acme Corp", b"Widget", 1, 0, STAND_IN_TEXT, 0)
    if platform.name == "native":
        assert run.stderr == b""


# The install result alone picks the wording; any nonzero byte is success.
RESULTS = [pytest.param(1, True, id="success"), pytest.param(0, False, id="failure"),
           pytest.param(0x80, True, id="success-0x80"), pytest.param(0xFF, True, id="success-0xff")]
CODES = [0, 1603, -1, -5, INT32_MIN, INT32_MAX]


@pytest.mark.parametrize("code", CODES)
@pytest.mark.parametrize("result,installed", RESULTS)
def test_wording_follows_the_result_and_any_code_is_printed(deployment, platform, result, installed, code):
    script = {"ZEL_STAND_IN_RESULT": str(result), "ZEL_STAND_IN_CODES": str(code),
              "ZEL_STAND_IN_TEXT": "the library's text"}
    run = deployment.run("Acme Corp", "Widget", script=script)
    assert run.status == 0
    assert run.stdout == report_text(platform, installed, b"Acme Corp", b"Widget", code, b"the library's text")
    assert run.calls == install_calls(b"Acme Corp", b"Widget", result, code, b"the library's text", code)


@pytest.mark.parametrize("result,installed", RESULTS[:2])
def test_code_of_second_read_is_printed_beside_text_of_first(deployment, platform, result, installed):
    script = {"ZEL_STAND_IN_RESULT": str(result), "ZEL_STAND_IN_CODES": "7,-9,11", "ZEL_STAND_IN_TEXT": "seven"}
    run = deployment.run("p", "q", script=script)
    assert run.stdout == report_text(platform, installed, b"p", b"q", -9, b"seven")
    assert run.calls == install_calls(b"p", b"q", result, 7, b"seven", -9)


@pytest.mark.parametrize("result,installed", RESULTS[:2])
def test_null_status_text_prints_as_null(deployment, platform, result, installed):
    script = {"ZEL_STAND_IN_RESULT": str(result), "ZEL_STAND_IN_CODES": "42", "ZEL_STAND_IN_NULL_TEXT": "1"}
    run = deployment.run("p", "q", script=script)
    assert (run.status, run.stdout) == (0, report_text(platform, installed, b"p", b"q", 42, b"(null)"))
    assert run.calls[2] == (CODE_TO_TEXT, 42, None)


@pytest.mark.parametrize("text", ["%s%s%s%n", "%d %x %p %%", "100% done", "", "two\nlines"])
def test_status_text_is_printed_as_a_value(deployment, platform, text):
    run = deployment.run("p", "q", script={"ZEL_STAND_IN_TEXT": text, "ZEL_STAND_IN_CODES": "3"})
    # a line end in it is one as text-mode output writes it
    printed = text.encode().replace(b"\n", platform.newline)
    assert (run.status, run.stdout) == (0, report_text(platform, True, b"p", b"q", 3, printed))


ALL_BYTES_BUT_NUL = bytes(range(1, 256))

# (publisher, product, passes through Wine's argument vector unchanged)
NAMES = {
    "formats": (b"%s%s%s%n", b"%d%x%p%%", True),
    "empty": (b"", b"", True),
    "blanks": (b"  Acme  Corp ", b"Widget Pro\t2", True),
    "quotes": (b'Say "hi"', b"it's 'quoted'", True),
    "backslashes": (b"C:\\dir\\", b'\\"\\\\', True),
    "wildcards": (b"*", b"?.*", True),
    "newlines": (b"line one\nline two\r\n", b"\n", False),
    "control-bytes": (bytes(range(1, 32)) + b"\x7f", b"\x1b[31mred", False),
    "invalid-utf8": (b"\xff\xfe\xc3\x28", b"\xe2\x82", False),
    "all-bytes": (ALL_BYTES_BUT_NUL, ALL_BYTES_BUT_NUL[::-1], False),
}


@pytest.mark.parametrize("publisher,product,portable", NAMES.values(), ids=NAMES.keys())
def test_names_pass_unchanged_and_print_literally(deployment, platform, publisher, product, portable):
    if platform.name == "windows" and not portable:
        pytest.skip("Wine re-encodes a Unix argument vector; raw command lines are tested apart")
    run = deployment.run(publisher, product, script={"ZEL_STAND_IN_TEXT": "ok", "ZEL_STAND_IN_CODES": "0"})
    assert run.stdout == report_text(platform, True, publisher, product, 0, b"ok")
    assert run.calls == install_calls(publisher, product, 1, 0, b"ok", 0)


# A Windows command line holds at most 32,767 characters.
@pytest.mark.parametrize("lengths", [(16_000, 16_000), (32_000, 1), (100_000, 100_000)],
                         ids=["two", "one", "beyond-a-windows-command-line"])
def test_long_names_pass_whole(deployment, platform, lengths):
    if platform.name == "windows" and max(lengths) > 32_000:
        pytest.skip("longer than a Windows command line")
    publisher, product = b"P" * (lengths[0] - 1) + b"!", b"Q" * lengths[1]
    run = deployment.run(publisher, product, script={"ZEL_STAND_IN_TEXT": "ok", "ZEL_STAND_IN_CODES": "0"})
    assert run.stdout == report_text(platform, True, publisher, product, 0, b"ok")
    assert run.calls == install_calls(publisher, product, 1, 0, b"ok", 0)


# Standard input for the pause: at its end right away.
STDIN_AT_END = {"null-device": subprocess.DEVNULL, "empty-file": b"", "one-line": b"y\n", "many-bytes": b"xyz" * 99}


@pytest.mark.parametrize("stdin", STDIN_AT_END.values(), ids=STDIN_AT_END.keys())
def test_pause_reads_from_standard_input_without_waiting_at_its_end(deployment, platform, stdin):
    run = deployment.run(stdin=stdin)
    assert (run.status, run.stdout, run.calls) == (0, usage_text(platform), [])


def test_pause_waits_for_one_character_from_an_open_pipe(deployment, platform):
    process = deployment.start("only one", stdin=subprocess.PIPE)
    try:
        # The prompt reaches redirected output before the wait starts.
        assert wait_for(lambda: deployment.stdout_path.read_bytes() == usage_text(platform))
        with pytest.raises(subprocess.TimeoutExpired):
            process.wait(timeout=0.5)
        process.stdin.write(b"x")
        process.stdin.flush()
        run = deployment.finish(process, timeout=20)
    finally:
        process.kill()
        process.stdin.close()
    assert (run.status, run.stdout, run.calls) == (0, usage_text(platform), [])


def test_missing_installer_library_stops_the_program_before_it_runs(make_deployment):
    deployment = make_deployment(library_dir=None)
    for args in [("Acme Corp", "Widget"), ()]:
        run = deployment.run(*args)
        assert run.status != 0
        assert (run.stdout, run.calls) == (b"", [])


@pytest.mark.parametrize("missing", [INSTALL, GET_LAST_ERROR, CODE_TO_TEXT])
def test_installer_library_lacking_an_operation_stops_the_program(request, platform, make_deployment, missing):
    if platform.name == "windows":
        pytest.skip("Wine stubs a missing entry point; the image check shows the binding instead")
    deployment = make_deployment(library_dir=request.config.getoption("--test-libraries") / f"without-{missing}")
    for args in [("Acme Corp", "Widget"), ()]:
        run = deployment.run(*args)
        assert run.status == 127
        assert missing.encode() in run.stderr
        assert (run.stdout, run.calls) == (b"", [])


@pytest.mark.parametrize("operation", [GET_LAST_ERROR, CODE_TO_TEXT])
@pytest.mark.parametrize("fault", ["crash", "hang"])
def test_outcome_line_is_in_the_log_before_a_status_call_fails(deployment, platform, fault, operation):
    result_line = platform.lines(b"Successfully installed anchor service for publisher Acme Corp, product Widget")
    process = deployment.start("Acme Corp", "Widget", script={f"ZEL_STAND_IN_{fault.upper()}": operation})
    try:
        if fault == "crash":
            status = process.wait(timeout=60)
            # Under Wine the exit status after a crash is its debugger's to set.
            assert status != 0 or platform.name == "windows"
        else:
            assert wait_for(lambda: deployment.stdout_path.read_bytes().startswith(result_line))
            with pytest.raises(subprocess.TimeoutExpired):
                process.wait(timeout=0.5)
    finally:
        process.kill()
        process.wait()
    log = deployment.stdout_path.read_bytes()
    # Wine's debugger may append its crash report to the program's output.
    assert log == result_line if platform.name == "native" else log.startswith(result_line)
