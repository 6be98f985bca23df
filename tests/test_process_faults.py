"""The program among faults of its surroundings: standard streams that are
full, closed or abandoned, and an interactive terminal.  Whatever happens to
the output, the installation is attempted exactly once and the exit status
is 0."""

import contextlib
import os
import select
import signal
import subprocess
import time

import pytest

from conftest import STAND_IN_TEXT, install_calls, report_text, usage_text, wait_for

pytestmark = pytest.mark.usefixtures("native_only")


@pytest.fixture
def native_only(platform):
    if platform.name != "native":
        pytest.skip("POSIX stream faults")


def closed(fd):
    return {"preexec_fn": lambda: os.close(fd)}


def full_device(stack):
    return stack.enter_context(open("/dev/full", "wb")), {}


def closed_stdout(stack):
    return subprocess.DEVNULL, closed(1)


def reader_gone(stack):
    reader, writer = os.pipe()
    os.close(reader)
    stack.callback(os.close, writer)
    return writer, {}


# Each gives the stdout to hand the program, and Popen extras.
STDOUT_FAULTS = {"full-device": full_device, "closed": closed_stdout, "reader-gone": reader_gone}


@pytest.mark.parametrize("args", [("Acme Corp", "Widget"), ()], ids=["install", "usage"])
@pytest.mark.parametrize("fault", STDOUT_FAULTS.values(), ids=STDOUT_FAULTS.keys())
def test_output_fault_neither_stops_nor_repeats_the_install(deployment, fault, args):
    with contextlib.ExitStack() as stack:
        stdout, popen = fault(stack)
        run = deployment.finish(deployment.start(*args, stdout=stdout, **popen))
    assert run.status == 0
    expected_calls = install_calls(b"Acme Corp", b"Widget", 1, 0, STAND_IN_TEXT, 0) if args else []
    assert run.calls == expected_calls


def test_closed_standard_input_ends_the_pause_at_once(deployment, platform):
    process = deployment.start(stdin=subprocess.DEVNULL, **closed(0))
    run = deployment.finish(process, timeout=10)
    assert (run.status, run.stdout, run.calls) == (0, usage_text(platform), [])


def read_until(fd, wanted, timeout=10.0):
    seen = b""
    deadline = time.monotonic() + timeout
    while wanted not in seen and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.05)[0]:
            try:
                seen += os.read(fd, 4096)
            except OSError:  # the terminal's other side has closed
                break
    return seen


@pytest.mark.parametrize("output", ["terminal", "file"])
def test_usage_is_out_before_the_pause_which_waits_for_a_line_on_a_terminal(deployment, platform, output):
    controller, terminal = os.openpty()
    try:
        process = deployment.start(stdin=terminal, stdout=terminal if output == "terminal" else None,
                                   start_new_session=True)
        os.close(terminal)
        if output == "terminal":
            # The terminal writes each "\n" as "\r\n".
            expected = usage_text(platform).replace(b"\n", b"\r\n")
            assert read_until(controller, b"continue...\r\n") == expected
        else:
            assert wait_for(lambda: deployment.stdout_path.read_bytes() == usage_text(platform))
        # In line mode a character alone does not end the pause; the line does.
        os.write(controller, b"x")
        with pytest.raises(subprocess.TimeoutExpired):
            process.wait(timeout=0.5)
        os.write(controller, b"\n")
        assert process.wait(timeout=10) == 0
    finally:
        os.close(controller)
    run = deployment.finish(process)
    assert run.calls == []
    assert run.stdout == (b"" if output == "terminal" else usage_text(platform))


# (arguments, the stand-in's script, what must have happened before SIGINT comes)
INTERRUPTS = {
    "during-the-install": (("Acme Corp", "Widget"), {"ZEL_STAND_IN_INSTALL_DELAY": "1000", "ZEL_STAND_IN_TEXT": "ok"},
                           lambda deployment: deployment.journal.exists()),
    "at-the-pause": ((), {}, lambda deployment: deployment.stdout_path.read_bytes().endswith(b"continue...\n")),
}


@pytest.mark.parametrize("args,script,ready", INTERRUPTS.values(), ids=INTERRUPTS.keys())
def test_sigint_ends_the_pause_but_not_an_install(deployment, platform, args, script, ready):
    started = time.monotonic()
    process = deployment.start(*args, script=script, stdin=subprocess.PIPE)
    try:
        assert wait_for(lambda: ready(deployment))
        process.send_signal(signal.SIGINT)
        run = deployment.finish(process, timeout=20)
    finally:
        process.kill()
        process.stdin.close()
    if args:
        assert time.monotonic() - started >= 1  # the install was still running when SIGINT came
        assert (run.status, run.stdout) == (0, report_text(platform, True, b"Acme Corp", b"Widget", 0, b"ok"))
        assert run.calls == [("delay", 1000, "begun"), *install_calls(b"Acme Corp", b"Widget", 1, 0, b"ok", 0)]
    else:
        assert (run.status, run.stdout, run.calls) == (-signal.SIGINT, usage_text(platform), [])
