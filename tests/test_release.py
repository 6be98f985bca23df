"""The release: signing with a certificate from the environment, the
package's exact contents, reproducible bytes, and the Windows codes that the
administrator documentation gives."""

import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import zipfile

import pytest

from test_windows_reproducible import SOURCES, release_settings

EPOCH = "1700000000"


@pytest.fixture(autouse=True)
def windows_only(platform):
    if platform.name != "windows":
        pytest.skip("the Windows release")


@pytest.fixture(scope="module")
def source_dir(request):
    return request.config.getoption("--source-dir")


@pytest.fixture(scope="module")
def checker(source_dir, request):
    sys.path.insert(0, str(source_dir / "tools"))
    import check_pe_image
    expected = json.loads(request.config.getoption("--image-expectations").read_text())
    return lambda path, signed: {rule for rule, failure in check_pe_image.check(
        str(path), check_pe_image.Expected(**expected, signed=signed)).items() if failure}


def quiet(command, **options):
    return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, check=True, **options)


@pytest.fixture(scope="module")
def package_name(request):
    version = json.loads(request.config.getoption("--image-expectations").read_text())["version"]
    return f"tolvane-{version}-win64.zip"


@pytest.fixture(scope="module")
def certificate(tmp_path_factory):
    """A throw-away certificate authority and a code-signing certificate it issued."""
    folder = tmp_path_factory.mktemp("certificate")
    (folder / "leaf.ext").write_text("basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\n"
                                     "extendedKeyUsage=codeSigning\n")
    quiet(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Test CA",
           "-keyout", "ca.key", "-out", "ca.pem"], cwd=folder)
    quiet(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Test publisher",
           "-keyout", "leaf.key", "-out", "leaf.csr"], cwd=folder)
    quiet(["openssl", "x509", "-req", "-in", "leaf.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
           "-days", "2", "-extfile", "leaf.ext", "-out", "leaf.pem"], cwd=folder)
    quiet(["openssl", "pkcs12", "-export", "-inkey", "leaf.key", "-in", "leaf.pem", "-certfile", "ca.pem",
           "-passout", "pass:p12 secret", "-out", "leaf.p12"], cwd=folder)
    return folder


def pkcs12(certificate):
    return {"TOLVANE_SIGN_PKCS12": str(certificate / "leaf.p12"), "TOLVANE_SIGN_PASSWORD": "p12 secret"}


def pem(certificate):
    return {"TOLVANE_SIGN_CERT": str(certificate / "leaf.pem"), "TOLVANE_SIGN_KEY": str(certificate / "leaf.key")}


def environment(settings):
    env = {key: value for key, value in os.environ.items()
           if not key.startswith("TOLVANE_SIGN_") and key != "SOURCE_DATE_EPOCH"}
    return {**env, **settings}


def sign(source_dir, unsigned, signed, settings):
    return subprocess.run(["sh", str(source_dir / "tools" / "sign-release.sh"), str(unsigned), str(signed)],
                          env=environment(settings), stdin=subprocess.DEVNULL, capture_output=True, text=True)


def verify(certificate, path):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", str(certificate / "ca.pem"), "-in", str(path)],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True)


@pytest.fixture
def unsigned(request):
    return request.config.getoption("--bin-dir") / "tolvane.exe"


@pytest.mark.parametrize("credentials", [pkcs12, pem])
def test_signed_image_verifies_and_a_tampered_copy_does_not(source_dir, checker, certificate, unsigned,
                                                            tmp_path, credentials):
    signed = tmp_path / "signed" / "tolvane.exe"
    result = sign(source_dir, unsigned, signed, credentials(certificate))
    assert result.returncode == 0, result.stderr
    assert "NOT signed" not in result.stdout
    assert verify(certificate, signed).returncode == 0
    assert checker(signed, signed=True) == set()

    tampered = tmp_path / "tolvane.exe"
    data = bytearray(signed.read_bytes())
    data[data.index(b"Press any key")] ^= 0x20
    tampered.write_bytes(bytes(data))
    assert verify(certificate, tampered).returncode != 0


def test_signature_with_a_given_signing_time_is_reproducible(source_dir, certificate, unsigned, tmp_path):
    def signed_at(epoch, name):
        signed = tmp_path / name / "tolvane.exe"
        assert sign(source_dir, unsigned, signed, {**pkcs12(certificate), "SOURCE_DATE_EPOCH": epoch}).returncode == 0
        return signed.read_bytes()
    first = signed_at(EPOCH, "one")
    assert signed_at(EPOCH, "two") == first
    assert signed_at(str(int(EPOCH) + 1), "three") != first


def test_without_a_certificate_the_image_stays_unsigned_and_says_so(source_dir, checker, unsigned, tmp_path):
    signed = tmp_path / "signed" / "tolvane.exe"
    result = sign(source_dir, unsigned, signed, {})
    assert result.returncode == 0
    assert "tolvane.exe is NOT signed" in result.stdout
    assert signed.read_bytes() == unsigned.read_bytes()
    assert checker(signed, signed=True) == {"signature"}


BAD_SETTINGS = {
    "certificate-without-key": lambda c: {"TOLVANE_SIGN_CERT": pem(c)["TOLVANE_SIGN_CERT"]},
    "key-without-certificate": lambda c: {"TOLVANE_SIGN_KEY": pem(c)["TOLVANE_SIGN_KEY"]},
    "pkcs12-and-pem": lambda c: {**pkcs12(c), **pem(c)},
    "wrong-password": lambda c: {**pkcs12(c), "TOLVANE_SIGN_PASSWORD": "guess"},
    "missing-pkcs12": lambda c: {**pkcs12(c), "TOLVANE_SIGN_PKCS12": str(c / "absent.p12")},
}


@pytest.mark.parametrize("settings", BAD_SETTINGS.values(), ids=BAD_SETTINGS.keys())
def test_a_broken_signing_setup_stops_the_release(source_dir, certificate, unsigned, tmp_path, settings):
    signed = tmp_path / "signed" / "tolvane.exe"
    assert sign(source_dir, unsigned, signed, settings(certificate)).returncode != 0
    assert not signed.exists()


def release_build(source_dir, folder, settings, options):
    """A clean release build from a copy of the sources, packaged."""
    source = folder / "source"
    source.mkdir(parents=True)
    for name in SOURCES + ["packaging", "tools"]:
        copy = shutil.copytree if (source_dir / name).is_dir() else shutil.copy2
        copy(source_dir / name, source / name)
    build = folder / "build"
    env = environment({**settings, "SOURCE_DATE_EPOCH": EPOCH})
    quiet(["cmake", "-S", str(source), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
           f"-DCMAKE_TOOLCHAIN_FILE={source}/cmake/mingw-w64-x86_64.cmake", "-DTOLVANE_RELEASE=ON",
           "-DBUILD_TESTING=OFF", *options], env=env)
    quiet(["cmake", "--build", str(build)], env=env)
    quiet(["cpack", "--config", "CPackConfig.cmake"], cwd=build, env=env)
    return build


@pytest.fixture(scope="module", params=["signed", "unsigned"])
def two_releases(request, source_dir, certificate, tmp_path_factory):
    settings = pkcs12(certificate) if request.param == "signed" else {}
    folder = tmp_path_factory.mktemp(f"release-{request.param}")
    return request.param, [release_build(source_dir, folder / name, settings, release_settings(request))
                           for name in ("one", "elsewhere/two")]


def test_two_clean_release_builds_are_byte_identical(two_releases, package_name):
    _, (first, second) = two_releases
    for path in ["bin/tolvane.exe", "signed/tolvane.exe", package_name, package_name + ".sha256"]:
        assert (first / path).read_bytes() == (second / path).read_bytes(), path


def test_package_holds_exactly_the_image_and_the_readme(two_releases, package_name, source_dir, certificate,
                                                        checker):
    kind, (build, _) = two_releases
    package = build / package_name
    with zipfile.ZipFile(package) as archive:
        entries = archive.infolist()
        assert [entry.filename for entry in entries] == ["README.txt", "tolvane.exe"]
        assert {entry.date_time for entry in entries} == {(2023, 11, 14, 22, 13, 20)}  # EPOCH
        assert archive.read("tolvane.exe") == (build / "signed" / "tolvane.exe").read_bytes()
        assert archive.read("README.txt") == (source_dir / "packaging" / "README.txt").read_bytes()
    assert not list(build.glob("**/ZEL_Act_Installer*.dll"))
    digest = hashlib.sha256(package.read_bytes()).hexdigest()
    assert (build / (package_name + ".sha256")).read_text().split() == [digest, package_name]
    signed = kind == "signed"
    assert checker(build / "signed" / "tolvane.exe", signed=signed) == set()
    assert (verify(certificate, build / "signed" / "tolvane.exe").returncode == 0) == signed


STAGED = {
    "as-shipped": (["README.txt", "tolvane.exe"], None),
    "installer-library": (["README.txt", "tolvane.exe", "ZEL_Act_Installer.dll"], "must not hold an installer"),
    "stand-in-in-a-folder": (["README.txt", "tolvane.exe", "lib/libZEL_Act_Installer.so"], "must not hold"),
    "another-file": (["README.txt", "tolvane.exe", "notes.txt"], "The package holds"),
    "no-readme": (["tolvane.exe"], "The package holds"),
}


@pytest.mark.parametrize("files,complaint", STAGED.values(), ids=STAGED.keys())
def test_package_check_lets_only_the_shipped_files_through(source_dir, tmp_path, files, complaint):
    for name in files:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(b"x")
    result = subprocess.run(["cmake", f"-DCPACK_TEMPORARY_INSTALL_DIRECTORY={tmp_path}",
                             "-DCPACK_TOLVANE_PACKAGE_FILES=README.txt;tolvane.exe",
                             "-P", str(source_dir / "cmake" / "CheckPackageContents.cmake")],
                            capture_output=True, text=True)
    assert (result.returncode == 0) == (complaint is None)
    assert complaint is None or complaint in result.stderr


def header_value(include_dir, name):
    for header in ("winerror.h", "ntstatus.h"):
        match = re.search(rf"^#define {name} .*?(0x[0-9A-Fa-f]+|\b\d+\b)", (include_dir / header).read_text(),
                          re.MULTILINE)
        if match:
            return int(match.group(1), 0)
    return None


@pytest.mark.parametrize("document", ["README.md", "packaging/README.txt"])
def test_documented_windows_codes_match_the_headers(request, source_dir, document):
    rows = re.findall(r"\|\s*(0x[0-9A-F]+|\d+)\s*\|\s*`([A-Z_]+)`\s*\|$", (source_dir / document).read_text(),
                      re.MULTILINE)
    documented = {name: int(code, 0) for code, name in rows}
    assert set(documented) == {"ERROR_ELEVATION_REQUIRED", "ERROR_CANCELLED", "STATUS_DLL_NOT_FOUND",
                               "STATUS_ENTRYPOINT_NOT_FOUND"}
    include_dir = request.config.getoption("--mingw-include")
    for name, code in documented.items():
        if name == "ERROR_ELEVATION_REQUIRED":
            assert header_value(include_dir, name) is None  # the headers lack it
            assert code == 740
        else:
            assert header_value(include_dir, name) == code, name
