"""tools/setup.sh installs Debian packages as root, through sudo for another
user, and otherwise refuses with a message: run with stand-ins for id, sudo
and apt-get, and nothing else on PATH.  What it installs brings every
program and module that the build and the tests use."""

import os
import re
import shutil
import subprocess

import pytest

# (the user id, whether sudo is there, how apt-get is run: directly, through sudo, or None: not at all)
SETUPS = {
    "root-without-sudo": (0, False, ""),
    "root-with-sudo": (0, True, ""),
    "user-with-sudo": (1000, True, "sudo "),
    "user-without-sudo": (1000, False, None),
}


@pytest.mark.parametrize("uid,sudo,prefix", SETUPS.values(), ids=SETUPS.keys())
def test_setup_runs_apt_get_as_root_through_sudo_or_not_at_all(request, platform, tmp_path, uid, sudo, prefix):
    if platform.name != "native":
        pytest.skip("the setup script runs on Debian")
    shim, log = tmp_path / "bin", tmp_path / "log"
    shim.mkdir()
    stand_ins = {"id": f"echo {uid}\n", "apt-get": f'echo "apt-get $* [DEBIAN_FRONTEND=$DEBIAN_FRONTEND]" >> {log}\n'}
    if sudo:
        stand_ins["sudo"] = f'printf "sudo " >> {log}\nexec "$@"\n'
    for name, body in stand_ins.items():
        (shim / name).write_text("#!/bin/sh\n" + body)
        (shim / name).chmod(0o755)
    os.symlink(shutil.which("env"), shim / "env")
    script = request.config.getoption("--source-dir") / "tools" / "setup.sh"
    result = subprocess.run(["/bin/sh", str(script)], env={"PATH": str(shim)}, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True)
    if prefix is None:
        assert result.returncode == 1 and "needs root" in result.stderr
        assert not log.exists()
    else:
        assert result.returncode == 0, result.stderr
        update, install = log.read_text().splitlines()
        assert update.startswith(prefix + "apt-get update ")
        assert install.startswith(prefix + "apt-get install -y --no-install-recommends ")
        # no question that would stop a setup without anyone at it
        assert install.endswith(" [DEBIAN_FRONTEND=noninteractive]")
        packages = [word.split("/")[0] for word in install.split()[2:] if word[0] not in "-["]
        assert {path: owner for path, owner in owners_of_what_is_used().items() if owner not in brought_by(packages)} == {}


def test_the_release_s_osslsigncode_is_debian_12_s_own():
    """What the setup installs, whatever a later source offers: the version that the release records."""
    installed = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "osslsigncode"], capture_output=True, text=True)
    offered = subprocess.run(["apt-cache", "madison", "osslsigncode"], capture_output=True, text=True).stdout
    debian_12 = [line.split("|")[1].strip() for line in offered.splitlines() if " bookworm/main " in line]
    assert debian_12 == [installed.stdout]


# What the build, the Windows build under Wine and the release tests run or load, by name or path, and the
# Python modules that the tests import.
USED = ["cmake", "ninja", "git", "gcc", "g++", "valgrind", "clang-16", "clang++-16", "/usr/lib/llvm-16/bin/ld.lld",
        "x86_64-w64-mingw32-gcc-posix", "x86_64-w64-mingw32-windres", "x86_64-w64-mingw32-dlltool",
        "/usr/lib/wine/wine64", "wineserver", "wineboot", "osslsigncode", "sbverify", "openssl", "softhsm2-util",
        "/usr/lib/softhsm/libsofthsm2.so", "pkcs11-tool", "/usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so"]
MODULES = ["pytest", "pefile", "asn1crypto"]


def owners_of_what_is_used():
    paths = [os.path.realpath(shutil.which(used) or used) for used in USED]
    paths += [os.path.realpath(__import__(module).__file__) for module in MODULES]
    return {path: subprocess.run(["dpkg-query", "-S", path], capture_output=True, text=True).stdout.split(":")[0]
            for path in paths}


def brought_by(packages):
    """The packages and all that they need, by what this machine's installed packages say (alternatives too)."""
    listing = subprocess.run(["dpkg-query", "-W", "-f", "${Package}\t${Pre-Depends}, ${Depends}\t${Provides}\n"],
                             capture_output=True, text=True, check=True).stdout
    needs, providers = {}, {}
    for line in listing.splitlines():
        package, depends, provides = line.split("\t")
        needs[package] = {part.split()[0].split(":")[0] for part in re.split(r"[,|]", depends) if part.strip()}
        for virtual in filter(str.strip, provides.split(",")):
            providers.setdefault(virtual.split()[0], set()).add(package)
    brought, todo = set(), list(packages)
    while todo:
        package = todo.pop()
        if package not in brought:
            brought.add(package)
            todo += needs.get(package, set()) | providers.get(package, set())
    return brought
