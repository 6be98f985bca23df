"""tools/setup.sh installs Debian packages as root, through sudo for another
user, and otherwise refuses with a message: run with stand-ins for id, sudo
and apt-get, and nothing else on PATH."""

import os
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
        # what the tests import, and no question that would stop a setup without anyone at it
        assert {"python3-pytest", "python3-pefile", "python3-asn1crypto"} <= set(install.split())
        assert install.endswith(" [DEBIAN_FRONTEND=noninteractive]")
