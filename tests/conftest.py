"""Runs the built tolvane as a process, laid out beside a stand-in installer
library in a temporary folder, on Linux directly or as a Windows program
under Wine."""

import dataclasses
import os
import pathlib
import shutil
import subprocess
import time

import pytest

INSTALL = "zelActSvcInstallWin"
GET_LAST_ERROR = "zelActSvcGetLastErrorWin"
CODE_TO_TEXT = "zelActSvcStatusCodeToText"

STAND_IN_TEXT = b"stand-in installer library: nothing was installed and nothing on this system was changed"


def pytest_addoption(parser):
    parser.addoption("--platform", choices=("native", "windows"), default="native")
    parser.addoption("--bin-dir", required=True, type=pathlib.Path,
                     help="folder with the built program and its stand-in library")
    parser.addoption("--test-libraries", type=pathlib.Path,
                     help="folder with stand-in libraries that lack one operation each")
    parser.addoption("--test-programs", type=pathlib.Path, help="folder with the tests' own helper programs")
    parser.addoption("--source-dir", type=pathlib.Path)
    parser.addoption("--image-expectations", type=pathlib.Path, help="JSON: what the version resource must say")
    parser.addoption("--mingw-include", type=pathlib.Path, help="the MinGW-w64 headers")
    parser.addoption("--qualification-files", type=pathlib.Path,
                     help="JSON: the qualification kit's files, by their paths in its package")
    parser.addoption("--wine", default="/usr/lib/wine/wine64")
    parser.addoption("--wineprefix", type=pathlib.Path)


@dataclasses.dataclass(frozen=True)
class Platform:
    name: str
    program: str
    library: str
    newline: bytes
    launcher: tuple = ()
    env: dict = dataclasses.field(default_factory=dict)

    def path_for_program(self, path):
        """The path by which the program, and its library, name a host file."""
        if self.name == "windows":
            return "Z:" + str(path).replace("/", "\\")
        return str(path)

    def lines(self, *lines):
        return b"".join(line + self.newline for line in lines)


@pytest.fixture(scope="session")
def platform(request):
    option = request.config.getoption
    if option("--platform") == "native":
        return Platform("native", "tolvane", "libZEL_Act_Installer.so", b"\n")
    prefix = option("--wineprefix")
    if prefix is None or not (prefix / "drive_c").is_dir():
        pytest.fail("the Windows tests need a Wine prefix made by the wine-prefix setup test")
    return Platform("windows", "tolvane.exe", "ZEL_Act_Installer.dll", b"\r\n",
                    launcher=(option("--wine"),),
                    env={"WINEPREFIX": str(prefix), "WINEDEBUG": "-all",
                         "WINEDLLOVERRIDES": "mscoree,mshtml=",
                         # Wine takes the ANSI code page from the locale: 1252.
                         "LC_ALL": "C.UTF-8"})


def usage_text(platform):
    return platform.lines(b"Usage: tolvane publisher_name product_name", b"",
                          b"To continue the execution without prompting, redirect the output to a log file",
                          b"Press any key to continue...")


def report_text(platform, installed, publisher, product, code, text):
    if installed:
        result = b"Successfully installed anchor service for publisher %s, product %s" % (publisher, product)
        status = b"Success code %d: %s" % (code, text)
    else:
        result = b"Error installing anchor service for publisher %s, product %s" % (publisher, product)
        status = b"Error code %d: %s" % (code, text)
    return platform.lines(result, status)


def install_calls(publisher, product, result, first_code, text, second_code):
    """The four calls of an install, in the order the journal must show."""
    return [(INSTALL, publisher, product, result), (GET_LAST_ERROR, first_code),
            (CODE_TO_TEXT, first_code, text), (GET_LAST_ERROR, second_code)]


def parse_journal(path):
    if not path.exists():
        return []
    calls = []
    for line in path.read_bytes().decode("ascii").splitlines():
        fields = line.split("\t")
        assert fields[-2] == "=", line
        operation, arguments, result = fields[0], fields[1:-2], fields[-1]
        if operation == INSTALL:
            calls.append((operation, bytes.fromhex(arguments[0]), bytes.fromhex(arguments[1]), int(result)))
        elif operation == GET_LAST_ERROR:
            calls.append((operation, int(result)))
        elif operation in ("delay", "thread"):
            calls.append((operation, int(arguments[0]), result))
        elif operation in ("helper", "left"):
            ending = result if result in ("begun", "failed") else int(result)
            calls.append((operation, bytes.fromhex(arguments[0]), ending))
        elif operation == "LoadLibrary":
            calls.append((operation, bytes.fromhex(arguments[0]), None if result == "null" else bytes.fromhex(result)))
        else:
            calls.append((operation, int(arguments[0]), None if result == "null" else bytes.fromhex(result)))
    return calls


@dataclasses.dataclass
class Run:
    status: int
    stdout: bytes
    stderr: bytes
    calls: list


class Deployment:
    """The program and an installer library in one folder, as deployed."""

    def __init__(self, platform, folder, bin_dir, library_dir, test_programs):
        self.platform = platform
        self.folder = folder
        self.test_programs = test_programs
        self.bin_dir = bin_dir
        self.program = folder / platform.program
        shutil.copy2(bin_dir / platform.program, self.program)
        if library_dir is not None:
            shutil.copy2(library_dir / platform.library, folder / platform.library)
        self.journal = folder / "journal.tsv"
        self.runs = 0

    def add_test_program(self, name, built=False):
        """A copy of one of the tests' own programs, or of the build's, in the deployment's folder."""
        shutil.copy2((self.bin_dir if built else self.test_programs) / name, self.folder / name)
        return self.folder / name

    def command(self, *args):
        return [*self.platform.launcher, str(self.program), *args]

    def environment(self, script):
        env = {key: value for key, value in os.environ.items() if not key.startswith("ZEL_STAND_IN_")}
        env.update(self.platform.env)
        env["ZEL_STAND_IN_JOURNAL"] = self.platform.path_for_program(self.journal)
        env.update(script or {})
        return env

    def start(self, *args, script=None, stdin=subprocess.DEVNULL, stdout=None, stderr=None, command=None, cwd=None,
              **popen):
        """Starts the program, or another command, in its folder unless given; output goes to files unless given."""
        self.runs += 1
        self.stdout_path = self.folder / f"stdout-{self.runs}"
        self.stderr_path = self.folder / f"stderr-{self.runs}"
        self.journal.unlink(missing_ok=True)
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            return subprocess.Popen(command or self.command(*args), stdin=stdin, stdout=out if stdout is None else stdout,
                                    stderr=err if stderr is None else stderr, env=self.environment(script),
                                    cwd=cwd or self.folder, **popen)

    def finish(self, process, timeout=30):
        status = process.wait(timeout=timeout)
        return Run(status, self.stdout_path.read_bytes(), self.stderr_path.read_bytes(),
                   parse_journal(self.journal))

    def launch(self, command_line, script=None, detached=False, **popen):
        """Runs a command line exactly as given, through CreateProcessW (Windows), detached from any console if
        asked; the status is the program's whole exit status, which Wine cuts to 8 bits as the launcher's own."""
        launcher = self.add_test_program("raw_command_line.exe")
        line_file, status_file = self.folder / "command-line", self.folder / "status"
        line_file.write_bytes(command_line.encode("utf-16-le", "surrogatepass"))
        status_file.unlink(missing_ok=True)
        files = [self.platform.path_for_program(path) for path in (line_file, status_file)]
        command = [*self.platform.launcher, str(launcher), *files, *(["detached"] if detached else [])]
        run = self.finish(self.start(command=command, script=script, **popen))
        if status_file.exists():
            run.status = int(status_file.read_text())
        return run

    def run(self, *args, script=None, stdin=subprocess.DEVNULL, **popen):
        """Runs the program (or popen's command=[...]) to its end; stdin may be bytes, fed from a file."""
        if isinstance(stdin, bytes):
            path = self.folder / f"stdin-{self.runs + 1}"
            path.write_bytes(stdin)
            with open(path, "rb") as feed:
                return self.finish(self.start(*args, script=script, stdin=feed, **popen))
        return self.finish(self.start(*args, script=script, stdin=stdin, **popen))


@pytest.fixture
def make_deployment(request, platform, tmp_path):
    bin_dir = request.config.getoption("--bin-dir")

    def make(library_dir=bin_dir, folder_name="deployment"):
        folder = tmp_path / folder_name
        folder.mkdir()
        return Deployment(platform, folder, bin_dir, library_dir, request.config.getoption("--test-programs"))
    return make


@pytest.fixture
def deployment(make_deployment):
    return make_deployment()


@pytest.fixture
def windows_only(platform):
    """For pytestmark = pytest.mark.usefixtures("windows_only")."""
    if platform.name != "windows":
        pytest.skip("Windows only")


def run_test_program(request, platform, folder, name, *args):
    """Runs one of the tests' own programs in folder: (status, standard output, standard error).
    Wine's helpers outlive the program and hold its pipes: the output goes through files."""
    program = request.config.getoption("--test-programs") / (name + (".exe" if platform.name == "windows" else ""))
    with open(folder / "out", "wb") as out, open(folder / "err", "wb") as err:
        status = subprocess.run([*platform.launcher, str(program), *args], cwd=folder, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=err, env={**os.environ, **platform.env}, timeout=120).returncode
    return status, (folder / "out").read_bytes(), (folder / "err").read_bytes()


def wait_for(condition, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True
