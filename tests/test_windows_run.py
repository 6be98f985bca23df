"""tolvane-run.exe, installed in a folder whose path holds a blank, which
runs the tolvane.exe beside it for deployment engines: its exit status from
tolvane.exe's outcome line wherever it stands in the log, and tolvane.exe's
own, the log, no wait on an open standard input, no console window where it
has no console, and command lines that reach the installer library exactly
as from tolvane.exe started directly."""

import shutil
import subprocess

import pytest

from conftest import install_calls

pytestmark = pytest.mark.usefixtures("windows_only")

ACCESS_VIOLATION = 0xC0000005
OLD_LOG = b"a line of an earlier run's log\r\n" * 100


@pytest.fixture
def deployment(make_deployment):
    """Where tolvane-run.exe is installed: a folder whose path holds a blank."""
    return make_deployment(folder_name="Program Files")


@pytest.fixture
def run(deployment):
    """Runs a command line through CreateProcessW, tolvane-run.exe beside tolvane.exe (and alone in a folder of
    its own), with an old log in place and standard input an open pipe that never says anything: (the run, the
    log's bytes or None)."""
    deployment.add_test_program("tolvane-run.exe", built=True)
    deployment.add_test_program("unelevated_run.exe")
    (deployment.folder / "logs").mkdir()
    (deployment.folder / "alone").mkdir()
    shutil.copy2(deployment.folder / "tolvane-run.exe", deployment.folder / "alone")

    def launch(command_line, script=None, log="tolvane.log", detached=False):
        (deployment.folder / log).write_bytes(OLD_LOG)
        run = deployment.launch(command_line, script=script, stdin=subprocess.PIPE, detached=detached)
        return run, (deployment.folder / log).read_bytes()
    return launch


FAILED = {"ZEL_STAND_IN_RESULT": "0", "ZEL_STAND_IN_CODES": "0"}
NO_LOG_FOLDER = {"TOLVANE_LOG": "Z:\\absent\\folder\\tolvane.log"}
PROGRESS = "Registering the anchor service..."
# Windows' longest command line: tolvane.exe's own, with its full path, would be longer
AT_THE_LIMIT = "tolvane-run.exe A " + "W" * (32766 - len("tolvane-run.exe A "))

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
    # the library's own lines on the same output, before tolvane.exe's, or as its run-time unloads, after them
    "installed-after-the-library-s-line": ("tolvane-run.exe A W", {"ZEL_STAND_IN_PRINT": PROGRESS}, 0,
                                           PROGRESS.encode() + b"\r\nSuccessfully installed"),
    "not-installed-after-the-library-s-line": ("tolvane-run.exe A W", {**FAILED, "ZEL_STAND_IN_PRINT": PROGRESS}, 1603,
                                               PROGRESS.encode() + b"\r\nError installing"),
    "library-s-line-after-tolvane-s": ("tolvane-run.exe A W", {"ZEL_STAND_IN_PRINT_AT_UNLOAD": PROGRESS}, 0,
                                       b"Successfully installed"),
    # only a line that begins with tolvane.exe's words is its own
    "library-quoting-the-other-outcome": ("tolvane-run.exe A W", {"ZEL_STAND_IN_PRINT": "was: Error installing anchor "
                                          "service for publisher A, product W"}, 0, b"was: Error installing"),
    # tolvane.exe's line comes first and decides
    "library-echoing-the-other-outcome": ("tolvane-run.exe A W", {**FAILED, "ZEL_STAND_IN_PRINT_AT_UNLOAD":
                                          "Successfully installed anchor service for publisher A, product W"}, 1603,
                                          b"Error installing"),
    # tolvane.exe's own status wins: the first line is in the log before the library crashes in a status call
    "library-crashes": ("tolvane-run.exe A W", {"ZEL_STAND_IN_CRASH": "zelActSvcInstallWin"}, ACCESS_VIOLATION, b""),
    "library-crashes-after-the-first-line": ("tolvane-run.exe A W", {"ZEL_STAND_IN_CRASH": "zelActSvcGetLastErrorWin"},
                                             ACCESS_VIOLATION, b"Successfully installed"),
    "log-named-by-the-environment": ("tolvane-run.exe A W", {"TOLVANE_LOG": "logs\\install.log"}, 0,
                                     b"Successfully installed"),
    "log-folder-missing": ("tolvane-run.exe A W", NO_LOG_FOLDER, 110, None),
    # tolvane.exe never starts
    "without-administrator-rights": ("unelevated_run.exe A W", {}, 740, b""),
    "tolvane-exe-missing": ("alone\\tolvane-run.exe A W", {"TOLVANE_LOG": "tolvane.log"}, 2, b""),
    "command-line-at-windows-limit": (AT_THE_LIMIT, {}, 87, b""),
}

# What standard error says, where tolvane.exe did not start or tolvane-run.exe gave up.  Wine delivers no
# Ctrl+Break: the answers of tolvane-run's handler, as it is set, that it goes on waiting for tolvane.exe.
SAYS = {
    740: [b"handler answers Ctrl+C 1, Ctrl+Break 1, close 0, logoff 0, shutdown 0\r\n",
          b"tolvane-run: tolvane.exe needs administrator rights: run tolvane-run.exe elevated (error 740)\r\n"],
    2: [b"tolvane-run: cannot start Z:\\"],
    110: [b"tolvane-run: cannot make the log"],
}


@pytest.mark.parametrize("command_line,script,status,log_begins", STATUSES.values(), ids=STATUSES.keys())
def test_exit_status_tells_the_outcome_and_the_log_shows_it(run, deployment, command_line, script, status,
                                                             log_begins):
    log_name = script.get("TOLVANE_LOG", "tolvane.log").replace("\\", "/") if log_begins is not None else "tolvane.log"
    result, log = run(command_line, script=script, log=log_name)
    assert result.status == status, result.stderr
    if log_begins is None:  # tolvane.exe never ran, and the old log is as it was
        assert (result.stdout, result.calls, log) == (b"", [], OLD_LOG)
    else:  # replaced by tolvane.exe's output, then shown
        assert log.startswith(log_begins) and b"earlier run" not in log
        assert result.stdout == log
    assert [said for said in SAYS.get(status, []) if said not in result.stderr] == []
    assert (b"administrator rights" in result.stderr) == (status == 740)
    if command_line == AT_THE_LIMIT:
        assert (result.calls, result.stderr) == ([], b"tolvane-run: the command line is too long for tolvane.exe\r\n")


def test_started_without_a_console_tolvane_exe_gets_one_without_a_window(run, deployment):
    """Windows opens a new console window for a console program that a process without a console starts; Wine
    opens none, but the console program that the library runs shows the difference: with a console (one without a
    window) it has an output code page, without one it has 0."""
    deployment.add_test_program("console_helper.exe")
    helper = "console_helper.exe 0"
    result, log = run("tolvane-run.exe A W", script={"ZEL_STAND_IN_HELPER": helper}, detached=True)
    assert (result.status, log[:22]) == (0, b"Successfully installed")
    assert result.calls[0] == ("helper", helper.encode(), "begun")
    assert result.calls[1][:2] == ("helper", helper.encode()) and result.calls[1][2] != 0


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
    # by its full path, which holds a blank
    "full-path": '"{folder}\\{}" "Acme Corp" Widget',
}


@pytest.mark.parametrize("command_line", COMMAND_LINES.values(), ids=COMMAND_LINES.keys())
def test_names_reach_the_library_as_from_tolvane_exe_started_directly(run, deployment, command_line):
    folder = deployment.platform.path_for_program(deployment.folder)
    direct = deployment.launch(command_line.format("tolvane.exe", folder=folder), script=SCRIPT)
    through, log = run(command_line.format("tolvane-run.exe", folder=folder), script=SCRIPT)
    assert direct.calls[:1] and through.calls == direct.calls
    assert (through.status, through.stdout, log) == (0, direct.stdout, direct.stdout)
    assert direct.calls == install_calls(direct.calls[0][1], direct.calls[0][2], 1, 0, b"ok", 0)
