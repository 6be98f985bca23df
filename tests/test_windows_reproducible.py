"""Two clean builds of the same sources, in different folders and with
different library paths in the environment, give the same bytes for
tolvane.exe, tolvane-run.exe and their symbols, and the same bytes as the
build under test; the symbols hold the SHA-256 of each source."""

import hashlib
import json
import os
import shutil
import subprocess

import pytest

SOURCES = ["CMakeLists.txt", "cmake", "installer_library", "qualification", "utils"]
BUILT = ["tolvane.exe", "tolvane.pdb", "tolvane-run.exe", "tolvane-run.pdb"]


def release_settings(request):
    """The -D options that give a clean build the version resource of the build under test."""
    expected = json.loads(request.config.getoption("--image-expectations").read_text())
    return [f"-DTOLVANE_BUILD_NUMBER={expected['build']}", f"-DTOLVANE_COMPANY_NAME={expected['company']}",
            f"-DTOLVANE_PRODUCT_NAME={expected['product']}", f"-DTOLVANE_LEGAL_COPYRIGHT={expected['copyright']}"]


def copy_sources(source_dir, folder, names=SOURCES):
    """A copy of the sources that a build needs, in folder/source."""
    source = folder / "source"
    source.mkdir(parents=True)
    for name in names:
        copy = shutil.copytree if (source_dir / name).is_dir() else shutil.copy2
        copy(source_dir / name, source / name)
    return source


def clean_build(source_dir, folder, settings, env=None):
    source = copy_sources(source_dir, folder)
    build = folder / "build"
    with open(folder / "build.log", "wb") as log:
        for command in (["cmake", "-S", str(source), "-B", str(build), "-G", "Ninja",
                         f"-DCMAKE_TOOLCHAIN_FILE={source}/cmake/mingw-w64-x86_64.cmake",
                         "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF", *settings],
                        ["cmake", "--build", str(build), "--target", "tolvane", "tolvane-run"]):
            subprocess.run(command, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, check=True,
                           env=env)
    return [(build / "bin" / name).read_bytes() for name in BUILT]


def test_clean_builds_in_different_folders_give_the_same_bytes(request, platform, tmp_path):
    if platform.name != "windows":
        pytest.skip("the Windows image")
    source_dir = request.config.getoption("--source-dir")
    first = clean_build(source_dir, tmp_path / "one", release_settings(request))
    # the linker would record each folder of LIBRARY_PATH in the symbols
    second = clean_build(source_dir, tmp_path / "elsewhere" / "two", release_settings(request),
                         env={**os.environ, "LIBRARY_PATH": f"{tmp_path}:/usr/lib"})
    assert first == second
    assert first == [(request.config.getoption("--bin-dir") / name).read_bytes() for name in BUILT]
    # each source with code in it: load_config.c holds data alone, with no lines to step through
    folder = source_dir / "utils" / "install_service"
    for source in set(folder.glob("*.c*")) - {folder / "load_config.c"}:
        assert hashlib.sha256(source.read_bytes()).digest() in first[1] + first[3], source.name
