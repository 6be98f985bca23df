"""tolvane-run.exe, installed in a folder whose path holds a blank, which
runs the tolvane.exe beside it for deployment engines: its exit status from
tolvane.exe's outcome line wherever it stands in the log, and tolvane.exe's
own, the log, no wait on an open standard input, no console window where it
has no console, and command lines that reach the installer library exactly
as from tolvane.exe started directly."""

import os
import shutil
import struct
import subprocess
import time

import pytest

from conftest import install_calls, run_test_program

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
    # the library's own text on the same output, before tolvane.exe's line, with or without a line break, or as
    # its run-time unloads, after it
    "installed-after-the-library-s-line": ("tolvane-run.exe A W", {"ZEL_STAND_IN_PRINT": PROGRESS + "\n"}, 0,
                                           PROGRESS.encode() + b"\r\nSuccessfully installed"),
    "not-installed-on-the-library-s-line": ("tolvane-run.exe A W", {**FAILED, "ZEL_STAND_IN_PRINT": PROGRESS}, 1603,
                                            PROGRESS.encode() + b"Error installing"),
    "installed-after-progress-by-carriage-returns": ("tolvane-run.exe A W", {"ZEL_STAND_IN_PRINT": "\r 50%\r100%\r"},
                                                     0, b"\r 50%\r100%\rSuccessfully installed"),
    "library-s-line-after-tolvane-s": ("tolvane-run.exe A W", {"ZEL_STAND_IN_PRINT_AT_UNLOAD": PROGRESS}, 0,
                                       b"Successfully installed"),
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
    # what the library writes to standard error stays in the log: the stand-in's complaint of a script it cannot use
    "library-writes-to-standard-error": ("tolvane-run.exe A W", {"ZEL_STAND_IN_RESULT": "x"}, 70,
                                         b"stand-in installer library: cannot use ZEL_STAND_IN_RESULT=x"),
    "library-fails-code-integrity": ("tolvane-run.exe A W", {"ZEL_STAND_IN_RAISE": "c0000428"}, 0xC0000428, b""),
    # tolvane.exe never starts: Windows refuses it
    "without-administrator-rights": ("unelevated_run.exe A W", {}, 740, b""),
    "blocked-by-app-control": ("unelevated_run.exe A W", {"TOLVANE_TEST_CREATE_PROCESS_ERROR": "4551"}, 4551, b""),
    "blocked-by-applocker": ("unelevated_run.exe A W", {"TOLVANE_TEST_CREATE_PROCESS_ERROR": "1260"}, 1260, b""),
    "quarantined": ("unelevated_run.exe A W", {"TOLVANE_TEST_CREATE_PROCESS_ERROR": "225"}, 225, b""),
    "tolvane-exe-missing": ("alone\\tolvane-run.exe A W", {"TOLVANE_LOG": "tolvane.log"}, 2, b""),
    "command-line-at-windows-limit": (AT_THE_LIMIT, {}, 87, b""),
}

# What standard error says, where tolvane.exe did not start or tolvane-run.exe gave up.  Wine delivers no
# Ctrl+Break: the answers of tolvane-run's handler, as it is set, that it goes on waiting for tolvane.exe.
# The error mode that tolvane.exe would inherit (Wine passes none on), no message box from the loader or for a
# crash, and only the handles of a list.
SAYS = {
    740: [b"handler answers Ctrl+C 1, Ctrl+Break 1, close 0, logoff 0, shutdown 0\r\n", b"error mode 0x8003, a list of handles\r\n",
          b"tolvane.exe: it needs administrator rights: run tolvane-run.exe elevated (error 740)\r\n"],
    4551: [b"tolvane.exe: App Control for Business blocked it"],
    1260: [b"tolvane.exe: AppLocker or a software restriction policy blocked it"],
    225: [b"tolvane.exe: antivirus software took it for malware"],
    0xC0000428: [b"tolvane.exe ended with status -1073740760: Windows refused a library whose signature"],
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


# tolvane-run.exe as Windows from Vista on runs it, and as before Vista
@pytest.mark.parametrize("program", ["tolvane-run.exe", "run_before_vista.exe"])
def test_what_the_library_leaves_running_holds_no_engine_and_the_next_run_retries(run, deployment, program):
    """An engine that reads the output to its end, while a program that the library left running lives on: only
    standard output shows it, as Wine hands every process its launcher's standard error as a Unix file.  That
    program holds the log, and the next run is told to try again."""
    deployment.add_test_program("console_helper.exe")
    deployment.add_test_program("run_before_vista.exe")
    helper = "console_helper.exe 20000"
    started = time.monotonic()
    engine = deployment.start(command=[*deployment.platform.launcher, str(deployment.folder / program), "A", "W"],
                              script={"ZEL_STAND_IN_LEAVE_RUNNING": helper}, stdout=subprocess.PIPE)
    output, seconds = engine.stdout.read(), time.monotonic() - started
    first = deployment.finish(engine)
    assert (first.status, output[:22], first.calls[0]) == (0, b"Successfully installed", ("left", helper.encode(),
                                                                                         "begun"))
    assert seconds < 10
    second = deployment.launch("tolvane-run.exe A W")
    assert (second.status, second.calls, second.stdout) == (1618, [], b"")
    assert b"another run holds the log Z:\\" in second.stderr


def test_a_log_named_after_a_program_leaves_the_program_as_it_is(run, deployment):
    program = (deployment.folder / "tolvane.exe").read_bytes()
    result = deployment.launch("tolvane-run.exe A W", script={"TOLVANE_LOG": "tolvane.exe"})
    assert (result.status, result.calls, (deployment.folder / "tolvane.exe").read_bytes()) == (110, [], program)
    assert b"tolvane.exe is a program, not a log" in result.stderr


def test_a_log_past_4_gib_is_read_to_its_end(run, deployment):
    """The library moves on past 4 GiB before tolvane.exe's lines: a gap that costs no disk, nor memory."""
    gap = 2**32 + 117
    engine = deployment.start(command=[*deployment.platform.launcher, str(deployment.folder / "tolvane-run.exe"), "A",
                                       "W"], script={"ZEL_STAND_IN_SKIP": str(gap)}, stdout=subprocess.PIPE)
    shown = 0
    while piece := engine.stdout.read(1 << 20):
        shown += len(piece)
        tail = piece[-200:]
    result = deployment.finish(engine)
    assert (result.status, shown > gap, tail[-13:]) == (0, True, b"was changed\r\n")


# the folder, and each file in it, that everyone may write
@pytest.mark.parametrize("name", ["", "tolvane.exe", "tolvane-run.exe", "ZEL_Act_Installer.dll"])
def test_a_folder_that_others_can_change_starts_nothing(run, deployment, name):
    changeable = deployment.folder / name
    changeable.chmod(changeable.stat().st_mode | 0o002)
    result, log = run("tolvane-run.exe A W")
    assert (result.status, result.stdout, result.calls, log) == (1625, b"", [], OLD_LOG)
    path = deployment.platform.path_for_program(changeable).rstrip("\\") + ("\\" if not name else "")
    assert f"tolvane-run: {path} can be changed by Everyone, not by administrators alone".encode() in result.stderr
    changeable.chmod(changeable.stat().st_mode & ~0o002)  # made private again
    assert run("tolvane-run.exe A W")[0].status == 0


def owned_by_administrators(entries, count):
    """A security descriptor, self-relative, in hexadecimal: the Administrators group its owner, and an access
    control list of these entries, or a null one."""
    owner = bytes.fromhex("01020000000000052000000020020000")
    dacl = b"" if entries is None else struct.pack("<BBHHH", 4, 0, 8 + len(entries), count, 0) + entries
    return "hex " + (struct.pack("<BBHIIII", 1, 0, 0x8004, 20, 0, 0, 0 if entries is None else 36) + owner
                     + dacl).hex()


INSTALLER = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"  # TrustedInstaller
# each right that changes a file or a folder
CHANGING = {"add-files": "0x2", "add-folders": "0x4", "delete": "SD", "delete-what-it-holds": "0x40",
            "change-permissions": "WD", "take-ownership": "WO", "generic-write": "GW", "generic-all": "GA"}
EVERYONE = bytes.fromhex("010100000000000100000000")

# (the security descriptor of a file, in SDDL or as owned_by_administrators gives it, or GetFileSecurityW's error;
# the verdict)
WHO_CAN_CHANGE = {
    "program-files": (f"O:{INSTALLER}D:PAI(A;;FA;;;{INSTALLER})(A;;0x1301bf;;;SY)(A;;0x1301bf;;;BA)"
                      "(A;;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)", "trusted"),
    "made-by-an-administrator": ("O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", "trusted"),
    "for-what-is-made-later-only": ("O:BAD:(A;OICIIO;GA;;;CO)(A;OICIIO;FA;;;AU)", "trusted"),
    "denied": ("O:BAD:(D;;FA;;;WD)", "trusted"),
    "read-and-run": ("O:SYD:(A;;0x1200a9;;;WD)", "trusted"),
    "below-the-system-drive-s-root": ("O:BAD:(A;OICI;FA;;;BA)(A;ID;0x1301bf;;;AU)",
                                      "changeable by NT AUTHORITY\\Authenticated Users"),
    "owned-by-a-user": ("O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)", "changeable by S-1-5-21-1-2-3-1001"),
    **{name: (f"O:BAD:(A;;{right};;;BU)", "changeable by BUILTIN\\Users") for name, right in CHANGING.items()},
    "no-access-control-list": ("O:BA", "changeable by Everyone"),
    "a-null-one": (owned_by_administrators(None, 0), "changeable by Everyone"),
    "an-entry-laid-out-otherwise": (owned_by_administrators(struct.pack("<BBHII", 5, 0, 24, 0x1F01FF, 0) + EVERYONE,
                                                            1), "changeable by an entry of a kind that tolvane-run "
                                                                "does not read"),
    "absent": ("error 2", "absent"),
    "in-no-folder": ("error 3", "absent"),
    "unreadable": ("error 5", "unknown 5"),
}


def test_who_can_change_a_file_is_judged_by_its_owner_and_each_entry_that_applies(request, platform, tmp_path):
    (tmp_path / "cases").write_text("".join(sddl + "\n" for sddl, _ in WHO_CAN_CHANGE.values()))
    status, out, _ = run_test_program(request, platform, tmp_path, "who_can_change", "cases")
    assert status == 0
    assert dict(zip(WHO_CAN_CHANGE, out.decode().splitlines())) == {name: verdict for name, (_, verdict)
                                                                    in WHO_CAN_CHANGE.items()}


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
