"""tolvane.exe as a Windows console process: what the console shows, whatever
its output code page; Ctrl+C during an install and at the pause; libraries
that the installer library loads while it runs.  The console is Wine's, on
a pseudo-terminal, and the screen is read back from the console itself."""

import fcntl
import os
import select
import shutil
import struct
import termios
import time
import types

import pytest

from conftest import install_calls, parse_journal, run_test_program, usage_text

# Wide enough that no line of these tests wraps but the long ones.
CONSOLE_WIDTH = 1000


pytestmark = pytest.mark.usefixtures("windows_only")


@pytest.fixture
def console(deployment, platform):
    """Runs a command line on a console of its own, through console_launcher.exe;
    Ctrl+C goes to the console once ctrl_c_when(output so far) holds."""
    launcher = deployment.add_test_program("console_launcher.exe")

    def run(command_line, code_page=1252, script=None, ctrl_c_when=None, timeout=30):
        (deployment.folder / "command-line").write_bytes(command_line.encode("utf-16-le"))
        trigger = deployment.folder / "ctrl-c"
        command = [*platform.launcher, str(launcher), str(code_page), "command-line", "screen"]
        controller, terminal = os.openpty()
        fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 50, CONSOLE_WIDTH, 0, 0))
        try:
            process = deployment.start(command=command + (["ctrl-c"] if ctrl_c_when else []), script=script,
                                       stdin=terminal, stdout=terminal, stderr=terminal, start_new_session=True)
            os.close(terminal)
            output, deadline = b"", time.monotonic() + timeout
            # Wine's helpers may keep the terminal open after the launcher ends: wait for the launcher.
            while process.poll() is None and time.monotonic() < deadline:
                try:
                    if select.select([controller], [], [], 0.02)[0]:
                        output += os.read(controller, 65536)
                except OSError:  # nothing holds the terminal any more
                    time.sleep(0.02)
                if ctrl_c_when and not trigger.exists() and ctrl_c_when(output):
                    trigger.touch()
        finally:
            os.close(controller)
            if process.poll() is None:
                process.kill()
        status = process.wait()
        screen = deployment.folder / "screen"
        rows = screen.read_bytes().decode("utf-16-le").split("\n") if screen.exists() else None
        return types.SimpleNamespace(status=status, screen=rows, calls=parse_journal(deployment.journal))
    return run


def screen_rows(*lines):
    """The console's rows for these lines, wrapped at its width, with the cursor's empty row after them."""
    rows = [line[start:start + CONSOLE_WIDTH] for line in lines for start in range(0, max(len(line), 1), CONSOLE_WIDTH)]
    return rows + ["", ""]


def report_lines(publisher, product, code, text):
    """The two lines of a successful install, as typed."""
    return (f"Successfully installed anchor service for publisher {publisher}, product {product}",
            f"Success code {code}: {text}")


# A console shows UTF-16, whatever its output code page: each of these
# characters of code page 1252 would show wrong as bytes on 437 or 850, and
# bytes 0x80 to 0x9F (the euro sign, the right single quotation mark) even
# under Wine's own conversion.
TYPED = ("\u20acuro Acme\u2019s", "M\u00fcller %s Caf\u00e9", "Ger\u00e4t bereit: 5 \u20ac")
LONG = ("P" * 15999 + "!", "Q" * 16000, "ok")  # a line that takes more than one console write

# (the console's output code page, publisher, product, the library's status text)
CONSOLE_OUTPUT = {
    "cp437": (437, *TYPED),
    "cp850": (850, *TYPED),
    "cp1252": (1252, *TYPED),
    "long-names": (850, *LONG),
}


@pytest.mark.parametrize("code_page,publisher,product,text", CONSOLE_OUTPUT.values(), ids=CONSOLE_OUTPUT.keys())
def test_console_shows_the_names_and_status_text_as_typed(console, code_page, publisher, product, text):
    run = console(f'tolvane.exe "{publisher}" "{product}"', code_page,
                  script={"ZEL_STAND_IN_TEXT": text, "ZEL_STAND_IN_CODES": "0"})
    assert run.status == 0
    assert run.screen == screen_rows(*report_lines(publisher, product, 0, text))
    narrow = [part.encode("cp1252") for part in (publisher, product, text)]
    assert run.calls == install_calls(narrow[0], narrow[1], 1, 0, narrow[2], 0)


def pieces(data, *ends):
    return [data[start:end] for start, end in zip((0, *ends), (*ends, len(data)))]


PAIR_SPLIT = "a" * 16382 + "\U0001F600" + "b" * 20000 + "\n"

# (standard output, a message, its writes), where Windows' rules or faults cannot be had under Wine.
# On a system whose ANSI code page is UTF-8 a character beyond the basic plane takes two UTF-16 units:
# a console write must not end between them, and each takes no more than older Windows does.
MESSAGE_WRITES = {
    "console-pieces": ("console", PAIR_SPLIT,
                       [("console", piece) for piece in pieces(PAIR_SPLIT.replace("\n", "\r\n").encode("utf-16-be"),
                                                               2 * 16382, 2 * (16382 + 16383))]),
    "not-a-screen": ("not-a-screen", "Gr\u00fc\u00dfe\n", [("file", "Gr\u00fc\u00dfe\r\n".encode())]),
    "no-memory": ("no-memory", "x" * 1000 + "\n", [("file", b"x" * 512), ("file", b"x" * 488 + b"\r\n")]),
    "unknown-conversion": ("console", "100% sure\n", []),
    "percent-at-the-end": ("console", "100%", []),
}


@pytest.mark.parametrize("mode,text,writes", MESSAGE_WRITES.values(), ids=MESSAGE_WRITES.keys())
def test_message_writes_where_windows_differs_from_wine(request, platform, tmp_path, mode, text, writes):
    (tmp_path / "text").write_bytes(text.encode())
    status, _, _ = run_test_program(request, platform, tmp_path, "message_writes", mode, "text", "writes")
    assert status == 0
    assert [(kind, bytes.fromhex(data)) for kind, data in
            (line.split(" ") for line in (tmp_path / "writes").read_text().splitlines())] == writes


# (arguments, the stand-in's script, whether Ctrl+C comes during the install or at the pause)
CTRL_C = {
    "during-the-install": ('"Acme Corp" Widget', {"ZEL_STAND_IN_INSTALL_DELAY": "2000", "ZEL_STAND_IN_TEXT": "ok"},
                           "install"),
    "at-the-pause": ("", {}, "pause"),
}


@pytest.mark.parametrize("arguments,script,moment", CTRL_C.values(), ids=CTRL_C.keys())
def test_ctrl_c_ends_the_pause_but_not_an_install(console, deployment, platform, arguments, script, moment):
    if moment == "install":  # pressed once the stand-in has begun its slow install
        run = console("tolvane.exe " + arguments, script=script, ctrl_c_when=lambda output: deployment.journal.exists())
        assert run.status == 0
        assert run.screen == screen_rows(*report_lines("Acme Corp", "Widget", 0, "ok"))
        assert run.calls == [("delay", 2000, "begun"), *install_calls(b"Acme Corp", b"Widget", 1, 0, b"ok", 0)]
    else:  # pressed at the prompt; without Ctrl+C the pause would wait for Enter beyond the time limit
        run = console("tolvane.exe " + arguments, ctrl_c_when=lambda output: b"Press any key" in output, timeout=20)
        assert run.screen == screen_rows(*usage_text(platform).decode().splitlines())
        assert run.calls == []


# (the folders holding a library of the name the installer library loads, the folder it is loaded from)
RUN_TIME_LOADS = {
    "current-folder-only": (["current"], None),
    "beside-tolvane": (["program"], "program"),
    "both": (["current", "program"], "program"),
}


@pytest.mark.parametrize("copies,loaded_from", RUN_TIME_LOADS.values(), ids=RUN_TIME_LOADS.keys())
def test_a_library_loaded_while_installing_never_comes_from_the_current_folder(request, deployment, platform,
                                                                                copies, loaded_from):
    folders = {"program": deployment.folder, "current": deployment.folder / "current"}
    folders["current"].mkdir()
    for copy in copies:
        shutil.copy2(request.config.getoption("--bin-dir") / platform.library, folders[copy] / "run_time.dll")
    script = {"ZEL_STAND_IN_LOAD": "run_time.dll", "ZEL_STAND_IN_TEXT": "ok"}
    run = deployment.finish(deployment.start("Acme", "Widget", script=script, cwd=folders["current"]))
    loaded = None if loaded_from is None else platform.path_for_program(folders[loaded_from] / "run_time.dll").encode()
    assert run.calls == [("LoadLibrary", b"run_time.dll", loaded), *install_calls(b"Acme", b"Widget", 1, 0, b"ok", 0)]


def test_without_set_default_dll_directories_the_current_folder_leaves_the_search(request, platform, tmp_path):
    """Where KERNEL32 lacks it: Wine has it, and keeps the current folder searched after SetDllDirectoryW(L"")."""
    status, out, _ = run_test_program(request, platform, tmp_path, "library_search_fallback")
    assert (status, out) == (0, platform.lines(b'SetDllDirectoryW("")'))
