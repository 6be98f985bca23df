"""tolvane-run.exe, which runs the tolvane.exe beside it for deployment
engines: its exit status from the log's first line and tolvane.exe's own,
the log, no wait on an open standard input, and command lines that reach
the installer library exactly as from tolvane.exe started directly."""

import subprocess

import pytest

from conftest import install_calls

pytestmark = pytest.mark.usefixtures("windows_only")

ACCESS_VIOLATION = 0xC0000005
OLD_LOG = b"a line of an earlier run's log\r\n" * 100


@pytest.fixture
def run(deployment):
    """Runs a command line through CreateProcessW, tolvane-run.exe beside tolvane.exe, with an old log in place and
    standard input an open pipe that never says anything: (the run, the log's bytes or None)."""
    deployment.add_test_program("tolvane-run.exe", built=True)
    deployment.add_test_program("unelevated_run.exe")
    (deployment.folder / "logs").mkdir()

    def launch(command_line, script=None, log="tolvane.log"):
        (deployment.folder / log).write_bytes(OLD_LOG)
        run = deployment.launch(command_line, script=script, stdin=subprocess.PIPE)
        return run, (deployment.folder / log).read_bytes()
    return launch


FAILED = {"ZEL_STAND_IN_RESULT": "0", "ZEL_STAND_IN_CODES": "0"}
NO_LOG_FOLDER = {"TOLVANE_LOG": "Z:\\absent\\folder\\tolvane.log"}

# (the command line, the stand-in's script, tolvane-run's exit status, how the log begins)
STATUSES = {
    "installed": ('tolvane-run.exe "Acme Corp" Widget', {}, 0, b"Successfully installed"),
    "installed-with-a-code": ("tolvane-run.exe A W", {"ZEL_STAND_IN_CODES": "1603"}, 0, b"Successfully installed"),
    "not-installed": ("tolvane-run.exe A W", FAILED, 1603, b"Error installing anchor service for"),
    "usage": ("tolvane-run.exe", {}, 87, b"Usage:"),
    "three-arguments": ("tolvane-run.exe A W X", {}, 87, b"Usage:"),
    "name-outside-the-code-page": ('tolvane-run.exe "Acme\uff02" W', {}, 87, b"Error installing anchor service:"),
    # names that hold a line break and the other outcome's words forge nothing
    "forged-success": ('tolvane-run.exe "x\r\nSuccessfully installed anchor service for publisher y" W', FAILED, 1603,
                       b"Error installing anchor service for publisher x\r"),
    "forged-failure": ('tolvane-run.exe "x\r\nError installing anchor service for publisher y" W', {}, 0,
                       b"Successfully installed anchor service for publisher x\r"),
    # tolvane.exe's own status wins: the first line is in the log before the library crashes in a status call
    "library-crashes": ("tolvane-run.exe A W", {"ZEL_STAND_IN_CRASH": "zelActSvcInstallWin"}, ACCESS_VIOLATION, b""),
    "library-crashes-after-the-first-line": ("tolvane-run.exe A W", {"ZEL_STAND_IN_CRASH": "zelActSvcGetLastErrorWin"},
                                             ACCESS_VIOLATION, b"Successfully installed"),
    "log-named-by-the-environment": ("tolvane-run.exe A W", {"TOLVANE_LOG": "logs\\install.log"}, 0,
                                     b"Successfully installed"),
    "log-folder-missing": ("tolvane-run.exe A W", NO_LOG_FOLDER, 110, None),
    "without-administrator-rights": ("unelevated_run.exe A W", {}, 740, b""),
}


@pytest.mark.parametrize("command_line,script,status,log_begins", STATUSES.values(), ids=STATUSES.keys())
def test_exit_status_tells_the_outcome_and_the_log_shows_it(run, deployment, command_line, script, status,
                                                             log_begins):
    log_name = script.get("TOLVANE_LOG", "tolvane.log").replace("\\", "/") if log_begins is not None else "tolvane.log"
    result, log = run(command_line, script=script, log=log_name)
    assert result.status == status, result.stderr
    if log_begins is None:  # tolvane.exe never ran, and the old log is as it was
        assert (result.stdout, result.calls, log) == (b"", [], OLD_LOG)
        assert b"cannot make the log" in result.stderr
    else:  # replaced by tolvane.exe's output, then shown
        assert log.startswith(log_begins) and b"earlier run" not in log
        assert result.stdout == log
    if status == 740:
        assert b"needs administrator rights" in result.stderr


SCRIPT = {"ZEL_STAND_IN_TEXT": "ok", "ZEL_STAND_IN_CODES": "0"}

# Command lines, {} for the program's name: what cmd, PowerShell and the splitter treat specially
COMMAND_LINES = {
    "blanks-and-tabs": '{}  "  Acme  Corp "\t"Widget Pro"',
    "quotes-and-backslashes": r'{} "Say \"hi\"" "C:\dir\\" ',
    "doubled-quotes": '{} "Acme ""Best"" Corp" x',
    "shell-characters": '{} "&|<>^%!" "%PATH% !x! ^&"',
    "non-ascii": '{} "M\u00fcller \u20ac" Caf\u00e9',
    "empty": '{} "" ""',
    "unterminated-quote": '{} Acme "Widget Pro',
    "text-after-the-program-name": '"{}"Acme Widget Gadget',
}


@pytest.mark.parametrize("command_line", COMMAND_LINES.values(), ids=COMMAND_LINES.keys())
def test_names_reach_the_library_as_from_tolvane_exe_started_directly(run, deployment, command_line):
    direct = deployment.launch(command_line.format("tolvane.exe"), script=SCRIPT)
    through, log = run(command_line.format("tolvane-run.exe"), script=SCRIPT)
    assert direct.calls[:1] and through.calls == direct.calls
    assert (through.status, through.stdout, log) == (0, direct.stdout, direct.stdout)
    assert direct.calls == install_calls(direct.calls[0][1], direct.calls[0][2], 1, 0, b"ok", 0)
