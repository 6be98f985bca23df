"""The release: signing with a key in a PKCS#11 token (SoftHSM) or with a
test certificate, RFC 3161 timestamps from a timestamp authority on the
loopback address, every signature verified by two implementations
(osslsigncode and sbverify), the release's own check, no unsigned package
under the release's name, the package's exact contents and build
information, a release that a third party rebuilds and compares, and the
Windows codes that the administrators' documentation gives."""

import hashlib
import http.server
import json
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import types
import zipfile

import pefile
import pytest
from asn1crypto import cms
from asn1crypto import parser as asn1_parser

from test_windows_reproducible import SOURCES, copy_sources

EPOCH = "1700000000"
PIN = "4711 token pin"
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
TOKEN_KEY = "pkcs11:token=tolvane-release;object=release-signing;type=private"


pytestmark = pytest.mark.usefixtures("windows_only")


@pytest.fixture(scope="module")
def source_dir(request):
    return request.config.getoption("--source-dir")


@pytest.fixture(scope="module")
def version(request):
    return json.loads(request.config.getoption("--image-expectations").read_text())["version"]


@pytest.fixture(scope="module")
def check_pe_image(source_dir):
    sys.path.insert(0, str(source_dir / "tools"))
    import check_pe_image
    return check_pe_image


@pytest.fixture(scope="module")
def failures(check_pe_image, request):
    """What fails for an image, as the release checks it: {rule: what is wrong}."""
    expected = json.loads(request.config.getoption("--image-expectations").read_text())
    return lambda path, **options: {rule: failure for rule, failure in check_pe_image.check(
        str(path), check_pe_image.Expected(**expected, **options)).items() if failure}


@pytest.fixture(scope="module")
def checker(failures):
    """The rules that fail for an image, as the release checks it."""
    return lambda path, **options: set(failures(path, **options))


def quiet(command, **options):
    return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, check=True, **options)


def signed_with_test_certificate(certificate, image, path, *options):
    """A copy of image at path, signed with the test certificate through osslsigncode's options."""
    path.parent.mkdir(parents=True, exist_ok=True)
    quiet(["osslsigncode", "sign", "-pkcs12", str(certificate / "leaf.p12"), "-pass", "p12 secret", *options,
           "-in", str(image), "-out", str(path)])
    return path


LEAF_EXTENSIONS = "basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n"


def issue(folder, name, public_key=None, days=2):
    """A code-signing certificate that the test CA issues, for a new key or a public key."""
    (folder / "leaf.ext").write_text(LEAF_EXTENSIONS)
    quiet(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={name}", "-keyout", f"{name}.key",
           "-out", f"{name}.csr"], cwd=folder)
    force = ["-force_pubkey", public_key] if public_key else []
    quiet(["openssl", "x509", "-req", "-in", f"{name}.csr", *force, "-CA", "ca.pem", "-CAkey", "ca.key",
           "-CAcreateserial", "-days", str(days), "-extfile", "leaf.ext", "-out", f"{name}.pem"], cwd=folder)
    (folder / f"{name}-chain.pem").write_text((folder / f"{name}.pem").read_text() + (folder / "ca.pem").read_text())


@pytest.fixture(scope="module")
def certificate(tmp_path_factory):
    """A throw-away certificate authority and a code-signing certificate it
    issued, valid for two days, as PEM files and as PKCS#12."""
    folder = tmp_path_factory.mktemp("certificate")
    quiet(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3", "-subj", "/CN=Test CA",
           "-keyout", "ca.key", "-out", "ca.pem"], cwd=folder)
    issue(folder, "leaf")
    quiet(["openssl", "pkcs12", "-export", "-inkey", "leaf.key", "-in", "leaf.pem", "-certfile", "ca.pem",
           "-passout", "pass:p12 secret", "-out", "leaf.p12"], cwd=folder)
    return folder


@pytest.fixture(scope="module")
def token(certificate, tmp_path_factory):
    """A SoftHSM token of its own with a key pair made inside it, and a
    certificate for that key: the private key never leaves the token."""
    folder = tmp_path_factory.mktemp("token")
    (folder / "tokens").mkdir()
    config = folder / "softhsm2.conf"
    config.write_text(f"directories.tokendir = {folder / 'tokens'}\nobjectstore.backend = file\nlog.level = ERROR\n")
    env = {**os.environ, "SOFTHSM2_CONF": str(config)}
    quiet(["softhsm2-util", "--init-token", "--free", "--label", "tolvane-release", "--pin", PIN,
           "--so-pin", "so pin"], env=env)
    tool = ["pkcs11-tool", "--module", SOFTHSM, "--token-label", "tolvane-release"]
    quiet([*tool, "--login", "--pin", PIN, "--keypairgen", "--key-type", "rsa:2048", "--id", "01",
           "--label", "release-signing"], env=env)
    quiet([*tool, "--read-object", "--type", "pubkey", "--id", "01", "-o", str(folder / "public.der")], env=env)
    quiet(["openssl", "pkey", "-pubin", "-inform", "DER", "-in", "public.der", "-out", "public.pem"], cwd=folder)
    issue(certificate, "token", public_key=str(folder / "public.pem"))
    return {"SOFTHSM2_CONF": str(config), "TOLVANE_SIGN_KEY": TOKEN_KEY,
            "TOLVANE_SIGN_CERT": str(certificate / "token-chain.pem"), "TOLVANE_SIGN_PKCS11_MODULE": SOFTHSM,
            "TOLVANE_SIGN_PASSWORD": PIN, "TOLVANE_SIGN_CAFILE": str(certificate / "ca.pem")}


def serve(respond):
    """An HTTP server on the loopback address that answers each POST with respond(body)."""
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            reply = respond(self.rfile.read(int(self.headers["Content-Length"])))
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *args):
            pass
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}/"


TSA_CONFIG = """[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = {folder}/serial
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
"""


@pytest.fixture(scope="module")
def timestamp_authority(tmp_path_factory):
    """An RFC 3161 timestamp authority: openssl ts -reply with a throw-away
    TSA certificate, behind an HTTP server; its CA certificate verifies it."""
    folder = tmp_path_factory.mktemp("tsa")
    (folder / "tsa.cnf").write_text(TSA_CONFIG.format(folder=folder))
    (folder / "serial").write_text("01\n")
    (folder / "tsa.ext").write_text("basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\n"
                                    "extendedKeyUsage=critical,timeStamping\n")
    quiet(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650", "-subj", "/CN=Test TSA CA",
           "-keyout", "ca.key", "-out", "ca.pem"], cwd=folder)
    quiet(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Test TSA", "-keyout", "tsa.key",
           "-out", "tsa.csr"], cwd=folder)
    quiet(["openssl", "x509", "-req", "-in", "tsa.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
           "-days", "3650", "-extfile", "tsa.ext", "-out", "tsa.pem"], cwd=folder)
    lock = threading.Lock()
    (folder / "other.dat").write_bytes(b"some other data")
    quiet(["openssl", "ts", "-query", "-data", "other.dat", "-sha256", "-cert", "-out", "other.tsq"], cwd=folder)

    def reply(query):
        with lock:
            (folder / "query.tsq").write_bytes(query)
            quiet(["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile", "query.tsq", "-inkey", "tsa.key",
                   "-signer", "tsa.pem", "-chain", "ca.pem", "-out", "reply.tsr"], cwd=folder)
            return (folder / "reply.tsr").read_bytes()
    server, url = serve(reply)
    # a valid token, but for other data than the signature
    other, other_url = serve(lambda query: reply((folder / "other.tsq").read_bytes()))
    yield types.SimpleNamespace(url=url, other_data_url=other_url, ca=folder / "ca.pem")
    server.shutdown()
    other.shutdown()


@pytest.fixture(scope="module")
def broken_timestamp_servers():
    garbage, garbage_url = serve(lambda query: b"this is no timestamp reply")
    with socket.socket() as closed:  # a port that nothing listens on
        closed.bind(("127.0.0.1", 0))
        unreachable_url = f"http://127.0.0.1:{closed.getsockname()[1]}/"
    yield types.SimpleNamespace(garbage=garbage_url, unreachable=unreachable_url)
    garbage.shutdown()


NO_TIMESTAMP = {"TOLVANE_SIGN_NO_TIMESTAMP": "1"}


def pkcs12(certificate):
    return {"TOLVANE_SIGN_PKCS12": str(certificate / "leaf.p12"), "TOLVANE_SIGN_PASSWORD": "p12 secret",
            "TOLVANE_SIGN_CAFILE": str(certificate / "ca.pem")}


def pem(certificate):
    return {"TOLVANE_SIGN_CERT": str(certificate / "leaf-chain.pem"), "TOLVANE_SIGN_KEY": str(certificate / "leaf.key"),
            "TOLVANE_SIGN_CAFILE": str(certificate / "ca.pem")}


def timestamped(authority, url=None):
    return {"TOLVANE_SIGN_TIMESTAMP_URL": url or authority.url, "TOLVANE_SIGN_TSA_CAFILE": str(authority.ca)}


def environment(settings):
    env = {key: value for key, value in os.environ.items()
           if not key.startswith("TOLVANE_SIGN_") and key not in ("SOURCE_DATE_EPOCH", "SOFTHSM2_CONF")}
    return {**env, **settings}


def sign(source_dir, unsigned, signed, settings):
    return subprocess.run(["sh", str(source_dir / "tools" / "sign-release.sh"), str(unsigned), str(signed)],
                          env=environment(settings), stdin=subprocess.DEVNULL, capture_output=True, text=True)


def osslsigncode_verifies(certificate, path, *options):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", str(certificate / "ca.pem"), "-in", str(path),
                           *options], stdin=subprocess.DEVNULL, capture_output=True).returncode == 0


def sbverify_verifies(certificate, path):
    return subprocess.run(["sbverify", "--cert", str(certificate / "ca.pem"), str(path)], stdin=subprocess.DEVNULL,
                          capture_output=True).returncode == 0


def both_verify(certificate, path):
    """osslsigncode and sbverify, two implementations of Authenticode, agree."""
    verdicts = (osslsigncode_verifies(certificate, path), sbverify_verifies(certificate, path))
    assert verdicts[0] == verdicts[1], f"osslsigncode and sbverify differ on {path}: {verdicts}"
    return verdicts[0]


def tampered_copy(signed, folder):
    tampered = folder / "tampered" / "tolvane.exe"
    tampered.parent.mkdir()
    data = bytearray(signed.read_bytes())
    data[data.index(b"Press any key")] ^= 0x20
    tampered.write_bytes(bytes(data))
    return tampered


@pytest.fixture
def unsigned(request):
    return request.config.getoption("--bin-dir") / "tolvane.exe"


@pytest.mark.parametrize("credentials", ["pkcs12", "pem", "token"])
def test_signature_verifies_twice_and_a_tampered_copy_does_not(request, source_dir, checker, certificate,
                                                               unsigned, tmp_path, credentials):
    settings = request.getfixturevalue("token") if credentials == "token" else globals()[credentials](certificate)
    signed = tmp_path / "signed" / "tolvane.exe"
    result = sign(source_dir, unsigned, signed, {**settings, **NO_TIMESTAMP})
    assert result.returncode == 0, result.stderr
    assert both_verify(certificate, signed)
    assert checker(signed, signed=True) == set()
    assert checker(signed, signed=True, timestamped=True) == {"signature"}
    assert not both_verify(certificate, tampered_copy(signed, tmp_path))


def test_a_timestamp_keeps_the_signature_valid_after_the_certificate_expires(
        source_dir, checker, certificate, token, timestamp_authority, unsigned, tmp_path):
    stamped, plain = tmp_path / "stamped" / "tolvane.exe", tmp_path / "plain" / "tolvane.exe"
    result = sign(source_dir, unsigned, stamped, {**token, **timestamped(timestamp_authority)})
    assert result.returncode == 0, result.stderr
    assert sign(source_dir, unsigned, plain, {**token, **NO_TIMESTAMP}).returncode == 0
    assert checker(stamped, signed=True, timestamped=True) == set()
    tsa = ("-TSA-CAfile", str(timestamp_authority.ca))
    assert both_verify(certificate, stamped)
    assert osslsigncode_verifies(certificate, stamped, *tsa)
    # The certificates are valid for two days; ten days on, only the timestamp holds.
    later = str(int(time.time()) + 10 * 86400)
    assert osslsigncode_verifies(certificate, stamped, *tsa, "-time", later)
    assert not osslsigncode_verifies(certificate, plain, "-time", later)
    assert osslsigncode_verifies(certificate, plain)


def test_signature_with_a_given_signing_time_is_reproducible(source_dir, certificate, unsigned, tmp_path):
    def signed_at(epoch, name):
        signed = tmp_path / name / "tolvane.exe"
        settings = {**pkcs12(certificate), **NO_TIMESTAMP, "SOURCE_DATE_EPOCH": epoch}
        assert sign(source_dir, unsigned, signed, settings).returncode == 0
        return signed.read_bytes()
    first = signed_at(EPOCH, "one")
    assert signed_at(EPOCH, "two") == first
    assert signed_at(str(int(EPOCH) + 1), "three") != first


def pin_file(folder, mode=0o600, end="\n"):
    """The token's PIN on the first line of a file."""
    path = folder / "pin"
    path.write_text(PIN + end)
    path.chmod(mode)
    return str(path)


@pytest.mark.parametrize("source", ["environment", "file", "file-without-a-line-break"])
def test_the_pin_never_reaches_a_command_line(source_dir, token, unsigned, tmp_path, source):
    """From a file, the PIN is in no process's environment either; a file as printf '%s' writes it does too."""
    from_file = source != "environment"
    shim = tmp_path / "shim"
    shim.mkdir()
    (shim / "osslsigncode").write_text(f'#!/bin/sh\nprintf "%s\\n" "$@" >> {tmp_path}/arguments\n'
                                       f'env >> {tmp_path}/environment\nexec {shutil.which("osslsigncode")} "$@"\n')
    (shim / "osslsigncode").chmod(0o755)
    settings = {**token, **NO_TIMESTAMP, "PATH": f"{shim}:{os.environ['PATH']}"}
    if from_file:
        del settings["TOLVANE_SIGN_PASSWORD"]
        settings["TOLVANE_SIGN_PASSWORD_FILE"] = pin_file(tmp_path, end="" if source.endswith("break") else "\n")
    result = sign(source_dir, unsigned, tmp_path / "signed" / "tolvane.exe", settings)
    assert result.returncode == 0, result.stderr
    arguments = (tmp_path / "arguments").read_text()
    assert "-readpass" in arguments and TOKEN_KEY in arguments
    assert PIN not in arguments
    assert (PIN in (tmp_path / "environment").read_text()) == (not from_file)


@pytest.fixture(scope="module")
def keys(certificate, token, timestamp_authority, broken_timestamp_servers, tmp_path_factory):
    folders = [tmp_path_factory.mktemp("pin") for _ in range(3)]
    return types.SimpleNamespace(pkcs12=pkcs12(certificate), pem=pem(certificate), token=token,
                                 tsa=timestamp_authority, broken=broken_timestamp_servers, certificate=certificate,
                                 pin_file=pin_file(folders[0]), open_pin_file=pin_file(folders[1], 0o644),
                                 group_pin_file=pin_file(folders[2], 0o640))


def without(settings, key):
    return {name: value for name, value in settings.items() if name != key}


# (settings from the keys, what the message says)
BAD_SETUPS = {
    "no-key": (lambda k: NO_TIMESTAMP, "no signing key"),
    "certificate-without-key": (lambda k: {"TOLVANE_SIGN_CERT": k.pem["TOLVANE_SIGN_CERT"], **NO_TIMESTAMP},
                                "go together"),
    "key-without-certificate": (lambda k: {"TOLVANE_SIGN_KEY": k.pem["TOLVANE_SIGN_KEY"], **NO_TIMESTAMP},
                                "go together"),
    "pkcs12-and-pem": (lambda k: {**k.pkcs12, **k.pem, **NO_TIMESTAMP}, "not both"),
    "wrong-password": (lambda k: {**k.pkcs12, "TOLVANE_SIGN_PASSWORD": "guess", **NO_TIMESTAMP}, "could not sign"),
    "missing-pkcs12": (lambda k: {**k.pkcs12, "TOLVANE_SIGN_PKCS12": "/absent.p12", **NO_TIMESTAMP},
                       "cannot read the PKCS#12 file"),
    "missing-key-file": (lambda k: {**k.pem, "TOLVANE_SIGN_KEY": "/absent.key", **NO_TIMESTAMP}, "cannot read the key"),
    "missing-certificate-chain": (lambda k: {**k.pem, "TOLVANE_SIGN_CERT": "/absent.pem", **NO_TIMESTAMP},
                                  "cannot read the certificate chain"),
    "no-timestamp-decision": (lambda k: k.pkcs12, "no timestamp server"),
    "timestamp-and-no-timestamp": (lambda k: {**k.pkcs12, **timestamped(k.tsa), **NO_TIMESTAMP}, "not both"),
    # only 1 says no timestamp
    "no-timestamp-0": (lambda k: {**k.pkcs12, "TOLVANE_SIGN_NO_TIMESTAMP": "0"}, "1 or unset, not '0'"),
    "timestamp-and-no-timestamp-yes": (lambda k: {**k.pkcs12, **timestamped(k.tsa),
                                                  "TOLVANE_SIGN_NO_TIMESTAMP": "yes"}, "1 or unset, not 'yes'"),
    "token-wrong-pin": (lambda k: {**k.token, "TOLVANE_SIGN_PASSWORD": "0000", **NO_TIMESTAMP}, "could not sign"),
    "token-missing-key": (lambda k: {**k.token, "TOLVANE_SIGN_KEY": TOKEN_KEY.replace("release-signing", "absent"),
                                     **NO_TIMESTAMP}, "could not sign"),
    "token-missing-module": (lambda k: {**k.token, "TOLVANE_SIGN_PKCS11_MODULE": "/absent/libpkcs11.so",
                                        **NO_TIMESTAMP}, "cannot read the PKCS#11 module"),
    "token-without-module": (lambda k: {**{key: value for key, value in k.token.items()
                                           if key != "TOLVANE_SIGN_PKCS11_MODULE"}, **NO_TIMESTAMP},
                             "needs TOLVANE_SIGN_PKCS11_MODULE"),
    "timestamp-server-unreachable": (lambda k: {**k.token, **timestamped(k.tsa, k.broken.unreachable)},
                                     "could not sign"),
    "timestamp-server-answers-garbage": (lambda k: {**k.token, **timestamped(k.tsa, k.broken.garbage)},
                                         "could not sign"),
    # signed, but it does not verify
    "timestamp-for-other-data": (lambda k: {**k.token, **timestamped(k.tsa, k.tsa.other_data_url)},
                                 "does not verify"),
    "timestamp-by-an-untrusted-authority": (lambda k: {**k.token, **timestamped(k.tsa),
                                                       "TOLVANE_SIGN_TSA_CAFILE": str(k.certificate / "ca.pem")},
                                            "does not verify"),
    "chain-to-another-root": (lambda k: {**k.pkcs12, "TOLVANE_SIGN_CAFILE": str(k.tsa.ca), **NO_TIMESTAMP},
                              "does not verify"),
    "no-root-certificate": (lambda k: {**without(k.pkcs12, "TOLVANE_SIGN_CAFILE"), **NO_TIMESTAMP},
                            "no TOLVANE_SIGN_CAFILE"),
    "timestamp-without-its-root": (lambda k: {**k.token, **without(timestamped(k.tsa), "TOLVANE_SIGN_TSA_CAFILE")},
                                   "needs TOLVANE_SIGN_TSA_CAFILE"),
    # the PIN where every user could read it, or from a file that others can read
    "pin-value-in-the-key": (lambda k: {**k.token, "TOLVANE_SIGN_KEY": TOKEN_KEY + "?pin-value=4711", **NO_TIMESTAMP},
                             "holds the PIN"),
    "pin-source-in-the-key": (lambda k: {**k.token, "TOLVANE_SIGN_KEY": TOKEN_KEY + ";PIN%2dSource=file:/pin",
                                         **NO_TIMESTAMP}, "holds the PIN"),
    "pin-file-that-others-can-read": (lambda k: {**without(k.token, "TOLVANE_SIGN_PASSWORD"), **NO_TIMESTAMP,
                                                 "TOLVANE_SIGN_PASSWORD_FILE": k.open_pin_file}, "chmod 600"),
    "pin-file-that-its-group-can-read": (lambda k: {**without(k.token, "TOLVANE_SIGN_PASSWORD"), **NO_TIMESTAMP,
                                                    "TOLVANE_SIGN_PASSWORD_FILE": k.group_pin_file}, "chmod 600"),
    "pin-file-and-pin": (lambda k: {**k.token, **NO_TIMESTAMP, "TOLVANE_SIGN_PASSWORD_FILE": k.pin_file}, "not both"),
}


@pytest.mark.parametrize("settings,complaint", BAD_SETUPS.values(), ids=BAD_SETUPS.keys())
def test_a_broken_signing_setup_stops_the_release(source_dir, keys, unsigned, tmp_path, settings, complaint):
    signed = tmp_path / "signed" / "tolvane.exe"
    signed.parent.mkdir()
    signed.write_bytes(b"left from an earlier build")
    result = sign(source_dir, unsigned, signed, settings(keys))
    assert result.returncode != 0
    assert complaint in result.stderr and "the release stops here" in result.stderr
    assert list(signed.parent.iterdir()) == []


def certificate_table(data):
    """The offset of the image's certificate table, and the PKCS #7 signature in it (DER)."""
    pe = pefile.PE(data=data)
    start = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]].VirtualAddress
    header, content = asn1_parser.parse(data[start + 8:])[3:5]
    return start, header + content


def with_certificate_table(data, der=None, revision=0x0200, kind=0x0002, appended=b""):
    """The signed image with its certificate table written anew: the signature,
    padded to eight bytes, the header's revision and type; bytes appended after it."""
    start, old = certificate_table(data)
    der = old if der is None else der
    table = (8 + len(der)).to_bytes(4, "little") + revision.to_bytes(2, "little") + kind.to_bytes(2, "little") + der
    table += bytes(-len(table) % 8)
    pe = pefile.PE(data=data[:start] + table + appended)
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]].Size = len(table)
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return pe.write()


def signed_data_changed(change):
    """A change of one field of the signature's SignedData, written back."""
    def mutate(data, checker_module):
        info = cms.ContentInfo.load(certificate_table(data)[1])
        change(info["content"], checker_module)
        return with_certificate_table(data, info.dump(force=True))
    return mutate


def image_digest_sha1(signed_data, checker_module):
    content = signed_data["encap_content_info"]
    indirect = content["content"].parse(checker_module.SpcIndirectDataContent)
    indirect["message_digest"]["digest_algorithm"] = {"algorithm": "sha1"}
    content["content"] = indirect


def signer_digest_sha1(signed_data, checker_module):
    signed_data["signer_infos"][0]["digest_algorithm"] = {"algorithm": "sha1"}


def digest_algorithms_sha1(signed_data, checker_module):
    signed_data["digest_algorithms"] = [{"algorithm": "sha1"}]


def two_signers(signed_data, checker_module):
    signed_data["signer_infos"] = [signed_data["signer_infos"][0], signed_data["signer_infos"][0].copy()]


# (osslsigncode's options for a signature, or a change of a good signature; what the check says)
SIGNATURES = {
    "sha1": (["-h", "sha1", "-n", "tolvane.exe"], "digest algorithms ['sha1'], not SHA-256"),
    "other-name": (["-h", "sha256", "-n", "setup.exe"], "describes the program as 'setup.exe'"),
    "no-name": (["-h", "sha256"], "no description (SpcSpOpusInfo)"),
    "certificate-revision-1": (lambda data, _: with_certificate_table(data, revision=0x0100),
                               "certificate revision 0x100"),
    "certificate-type-x509": (lambda data, _: with_certificate_table(data, kind=0x0001), "type 0x1"),
    "data-after-the-certificate-table": (lambda data, _: with_certificate_table(data, appended=b"appended"),
                                         "data after the signature"),
    "data-after-the-signature-inside": (lambda data, _: with_certificate_table(
        data, certificate_table(data)[1] + b"\x05\x00"), "data after the signature's PKCS #7 content"),
    "digest-algorithms-sha1": (signed_data_changed(digest_algorithms_sha1), "digest algorithms ['sha1']"),
    "image-digest-sha1": (signed_data_changed(image_digest_sha1), "the image digest is not SHA-256"),
    "signer-digest-sha1": (signed_data_changed(signer_digest_sha1), "the signer's digest is not SHA-256"),
    "two-signers": (signed_data_changed(two_signers), "2 signers"),
}


@pytest.mark.parametrize("signature,complaint", SIGNATURES.values(), ids=SIGNATURES.keys())
def test_the_signature_check_fails_on_each_wrong_signature(check_pe_image, failures, certificate, unsigned, tmp_path,
                                                           signature, complaint):
    """The checker reads the signature's structure (osslsigncode and sbverify
    verify it): a good one passes, each one changed in one place fails for it."""
    good = signed_with_test_certificate(certificate, unsigned, tmp_path / "good" / "tolvane.exe",
                                        "-h", "sha256", "-n", "tolvane.exe")
    assert failures(good, signed=True) == {}
    wrong = tmp_path / "wrong" / "tolvane.exe"
    if callable(signature):
        wrong.parent.mkdir()
        wrong.write_bytes(signature(good.read_bytes(), check_pe_image))
    else:
        signed_with_test_certificate(certificate, unsigned, wrong, *signature)
    assert list(failures(wrong, signed=True)) == ["signature"]
    assert complaint in failures(wrong, signed=True)["signature"]


def test_the_timestamp_check_fails_on_a_token_for_other_data(failures, certificate, timestamp_authority, unsigned,
                                                            tmp_path):
    """osslsigncode signs with such a token without a word."""
    def timestamped_by(url, name):
        signed = signed_with_test_certificate(certificate, unsigned, tmp_path / name / "tolvane.exe", "-h", "sha256",
                                              "-n", "tolvane.exe", "-ts", url)
        return failures(signed, signed=True, timestamped=True)
    assert timestamped_by(timestamp_authority.url, "for-the-signature") == {}
    assert "imprint is not the signature's" in timestamped_by(timestamp_authority.other_data_url, "other")["signature"]


def release(source_dir, folder, preset, settings, git_commit_time=None, uncommitted=False, background=False,
            configure=None):
    """The preset's whole workflow from a copy of the sources, a git checkout of
    them if a commit time is given, with a change left uncommitted if asked;
    with background, the process of the workflow, started in a session of its own;
    with configure, only the preset's configure step, with those options."""
    source = copy_sources(source_dir, folder, SOURCES + ["CMakePresets.json", "packaging", "tools"])
    if git_commit_time is not None:
        when = {"GIT_AUTHOR_DATE": f"@{git_commit_time} +0000", "GIT_COMMITTER_DATE": f"@{git_commit_time} +0000"}
        git = ["git", "-c", "user.name=Release", "-c", "user.email=release@example.invalid"]
        quiet([*git, "init", "-q"], cwd=source)
        quiet([*git, "add", "."], cwd=source)
        quiet([*git, "commit", "-q", "-m", "release"], cwd=source, env={**os.environ, **when})
        if uncommitted:  # a file that the build does not read
            with open(source / "tools" / "setup.sh", "a") as setup:
                setup.write("# a local change\n")
    # Git must not find a checkout above the copy, whatever folder the tests run in.
    env = {**environment(settings), "GIT_CEILING_DIRECTORIES": str(folder)}
    command = ["cmake", "--workflow", "--preset", preset] if configure is None else ["cmake", "--preset", preset,
                                                                                      *configure]
    if background:
        return subprocess.Popen(command, cwd=source, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True), source
    result = subprocess.run(command, cwd=source, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    return types.SimpleNamespace(build=source / "build" / preset, source=source, result=result)


def released(build):
    assert build.result.returncode == 0, build.result.stdout + build.result.stderr
    return build.build


# Tools of the toolchain's names that fail: found first on PATH, they must not be what builds a release.
PATH_TOOLS = ["clang-16", "clang++-16", "ld.lld", "x86_64-w64-mingw32-gcc", "x86_64-w64-mingw32-gcc-posix",
              "x86_64-w64-mingw32-windres", "x86_64-w64-mingw32-dlltool"]


@pytest.fixture(scope="module", params=["signed", "unsigned"])
def two_releases(request, source_dir, certificate, tmp_path_factory):
    """Two clean builds of the release, or of the unsigned package, in different folders, the second with
    failing tools of the toolchain's names first on PATH."""
    preset, settings = (("release", {**pkcs12(certificate), **NO_TIMESTAMP}) if request.param == "signed"
                        else ("package-unsigned", {}))
    settings["SOURCE_DATE_EPOCH"] = EPOCH
    folder = tmp_path_factory.mktemp(f"release-{request.param}")
    (folder / "tools").mkdir()
    for tool in PATH_TOOLS:
        (folder / "tools" / tool).write_text("#!/bin/sh\nexit 1\n")
        (folder / "tools" / tool).chmod(0o755)
    on_path = {**settings, "PATH": f"{folder / 'tools'}:{os.environ['PATH']}"}
    builds = [released(release(source_dir, folder / "one", preset, settings)),
              released(release(source_dir, folder / "elsewhere" / "two", preset, on_path))]
    return types.SimpleNamespace(kind=request.param, preset=preset, settings=settings, builds=builds)


def package_name(kind, version):
    return f"tolvane-{version}-win64" + ("" if kind == "signed" else "-unsigned")


def kit_name(kind, version):
    return f"tolvane-{version}-qualification" + ("" if kind == "signed" else "-unsigned")


PROGRAMS = ["tolvane.exe", "tolvane-run.exe"]


def shipped_image(kind, build, program="tolvane.exe"):
    return build / ("signed" if kind == "signed" else "bin") / program


def test_two_clean_release_builds_are_byte_identical(two_releases, version):
    kind, (first, second) = two_releases.kind, two_releases.builds
    name = package_name(kind, version)
    files = [f"bin/{program}" for program in PROGRAMS] + [f"bin/{program[:-4]}.pdb" for program in PROGRAMS]
    if kind == "signed":
        files += [f"signed/{program}" for program in PROGRAMS]
    for path in files + [f"{name}.zip", f"{name}.zip.sha256", f"{name}-symbols.zip", f"{name}.buildinfo",
                         f"{kit_name(kind, version)}.zip"]:
        assert (first / path).read_bytes() == (second / path).read_bytes(), path


def symbol_server_entries(image_path, pdb_path):
    """The zip entries under which a debugger asks a symbol server for an image and its PDB."""
    image, program = pefile.PE(str(image_path)), image_path.name
    (codeview,) = [entry.entry for entry in image.DIRECTORY_ENTRY_DEBUG if entry.struct.Type == 2]
    guid = "".join(f"{getattr(codeview, f'Signature_Data{part}'):0{width}X}"
                   for part, width in ((1, 8), (2, 4), (3, 4), (4, 2), (5, 2))) + codeview.Signature_Data6.hex().upper()
    key = f"{image.FILE_HEADER.TimeDateStamp:08X}{image.OPTIONAL_HEADER.SizeOfImage:x}"
    return {f"{program}/{key}/{program}": image_path.read_bytes(),
            f"{pdb_path.name}/{guid}{codeview.Age:X}/{pdb_path.name}": pdb_path.read_bytes()}


def test_package_holds_exactly_the_images_and_a_windows_readme(two_releases, version, source_dir, certificate,
                                                               checker):
    kind, build = two_releases.kind, two_releases.builds[0]
    name = package_name(kind, version)
    assert sorted(path.name for path in build.glob("tolvane-*")) == sorted(
        [f"{name}.zip", f"{name}.zip.sha256", f"{name}-symbols.zip", f"{name}.buildinfo", f"{kit_name(kind, version)}.zip"])
    with zipfile.ZipFile(build / f"{name}.zip") as archive:
        entries = archive.infolist()
        assert [entry.filename for entry in entries] == ["README.txt", "tolvane-run.exe", "tolvane.exe"]
        assert {entry.date_time for entry in entries} == {(2023, 11, 14, 22, 13, 20)}  # EPOCH
        for program in PROGRAMS:
            assert archive.read(program) == shipped_image(kind, build, program).read_bytes()
        readme = archive.read("README.txt")
    # CRLF line endings, for Notepad before Windows 10 1809
    source_readme = (source_dir / "packaging" / "README.txt").read_bytes()
    assert readme == source_readme.replace(b"\n", b"\r\n") and b"\r\n" in readme and b"\r\r" not in readme
    # the stand-in only in the qualification kit's package, with the release's own images and a README of its own
    assert {path.parent.parent for path in build.glob("**/ZEL_Act_Installer*.dll")} == {build / "qualification"}
    laid_out = json.loads((build / "qualification" / "qualification-files.json").read_text())
    with zipfile.ZipFile(build / f"{kit_name(kind, version)}.zip") as kit:
        assert kit.namelist() == sorted([*laid_out, "README.txt"])
        assert {entry: kit.read(entry) for entry in laid_out if not entry.startswith("release/")} == {
            entry: pathlib.Path(path).read_bytes() for entry, path in laid_out.items() if not entry.startswith("release/")}
        assert [kit.read(f"release/{program}") for program in PROGRAMS] == [
            shipped_image(kind, build, program).read_bytes() for program in PROGRAMS]
        assert kit.read("README.txt") == (source_dir / "qualification" / "README.txt").read_bytes().replace(b"\n",
                                                                                                          b"\r\n")
    digest = hashlib.sha256((build / f"{name}.zip").read_bytes()).hexdigest()
    assert (build / f"{name}.zip.sha256").read_text().split() == [digest, f"{name}.zip"]
    # the symbols beside it, with the images as they ship
    with zipfile.ZipFile(build / f"{name}-symbols.zip") as symbols:
        assert {entry: symbols.read(entry) for entry in symbols.namelist()} == {
            entry: data for program in PROGRAMS
            for entry, data in symbol_server_entries(shipped_image(kind, build, program),
                                                     build / "bin" / f"{program[:-4]}.pdb").items()}
    signed = kind == "signed"
    for program in PROGRAMS:
        image = shipped_image(kind, build, program)
        assert checker(image, signed=signed, program=program) == set()
        assert checker(image, signed=True, program=program) == (set() if signed else {"signature"})
        assert both_verify(certificate, image) == signed


def build_info(path):
    """The fields of a .buildinfo file; continuation lines as a list."""
    fields, key = {}, None
    for line in path.read_text().splitlines():
        if line.startswith(" "):
            fields[key].append(line.strip())
        else:
            key, value = line.split(": ", 1) if ": " in line else (line.rstrip(":"), None)
            fields[key] = value if value is not None else []
    return fields


def test_build_information_names_the_toolchain_and_the_hashes(two_releases, version):
    kind, build = two_releases.kind, two_releases.builds[0]
    name = package_name(kind, version)
    info = build_info(build / f"{name}.buildinfo")
    sha256 = lambda path: hashlib.sha256(path.read_bytes()).hexdigest()
    assert info["Source-Commit"] == "unknown: the sources are not a git checkout"
    assert info["Source-Date-Epoch"] == EPOCH
    assert info["Settings"] == ["PROJECT_VERSION=" + version, "TOLVANE_BUILD_NUMBER=0", "TOLVANE_COMPANY_NAME=tolvane",
                                "TOLVANE_PRODUCT_NAME=tolvane",
                                "TOLVANE_LEGAL_COPYRIGHT=Copyright (C) the tolvane developers",
                                "TOLVANE_CET_COMPAT=ON", "CMAKE_BUILD_TYPE=Release"]
    packages = dict(line.split(" ", 1) for line in info["Toolchain-Packages"])
    for package in ["clang-16", "lld-16", "mingw-w64-x86-64-dev", "gcc-mingw-w64-x86-64-posix", "osslsigncode"]:
        assert packages[package] == quiet(["dpkg-query", "-W", "-f=${Version}", package], text=True).stdout
    assert info["Unsigned-Image-SHA256"] == [f"{sha256(build / 'bin' / program)} {program}" for program in PROGRAMS]
    assert info["Package-SHA256"] == f"{sha256(build / f'{name}.zip')} {name}.zip"
    assert info["Symbols-SHA256"] == f"{sha256(build / f'{name}-symbols.zip')} {name}-symbols.zip"
    kit = f"{kit_name(kind, version)}.zip"
    assert info["Qualification-SHA256"] == f"{sha256(build / kit)} {kit}"
    if kind == "signed":
        assert info["Signed-Image-SHA256"] == [f"{sha256(build / 'signed' / program)} {program}"
                                               for program in PROGRAMS]
    else:
        assert "Signed-Image-SHA256" not in info
    # each tool as it ran, by its full path, with its version
    for tool in info["Tools"]:
        path, version = tool.split(": ", 1)
        said = subprocess.run([path, "--version"], capture_output=True, text=True, stdin=subprocess.DEVNULL)
        assert os.path.isabs(path) and version == (said.stdout + said.stderr).splitlines()[0]
    assert {os.path.basename(tool.split(":")[0]) for tool in info["Tools"]} >= {"clang-16", "ld.lld",
                                                                                  "x86_64-w64-mingw32-windres"}


def test_a_second_release_build_in_the_same_folder_works(two_releases, version):
    build = two_releases.builds[0]
    zip_file = build / f"{package_name(two_releases.kind, version)}.zip"
    before = zip_file.read_bytes()
    result = subprocess.run(["cmake", "--workflow", "--preset", two_releases.preset], cwd=build.parent.parent,
                            env=environment(two_releases.settings), stdin=subprocess.DEVNULL,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert zip_file.read_bytes() == before


# (preset, settings from the keys, what the message says, options of a configure run instead of the workflow)
STOPPED_RELEASES = {
    "no-key": ("release", lambda k: {}, "no signing key"),
    "no-fixed-time": ("package-unsigned", lambda k: {"SOURCE_DATE_EPOCH": None}, "Neither SOURCE_DATE_EPOCH nor a git"),
    "flags-from-the-environment": ("package-unsigned", lambda k: {"CFLAGS": "-O0"}, "takes its flags from the project"),
    "flags-on-the-command-line": ("release", lambda k: {}, "takes its flags from the project",
                                  ["-DCMAKE_C_FLAGS=-fno-stack-protector"]),
    "timestamp-for-other-data": ("release", lambda k: {**k.token, **timestamped(k.tsa, k.tsa.other_data_url)},
                                 "does not verify"),
}


@pytest.mark.parametrize("preset,settings,complaint,configure", [(*row, None)[:4] for row in STOPPED_RELEASES.values()],
                         ids=STOPPED_RELEASES.keys())
def test_a_release_that_cannot_be_made_stops_and_writes_no_package(source_dir, keys, tmp_path, preset, settings,
                                                                   complaint, configure):
    settings = {"SOURCE_DATE_EPOCH": EPOCH, **settings(keys)}
    build = release(source_dir, tmp_path, preset, {key: value for key, value in settings.items() if value is not None},
                    configure=configure)
    assert build.result.returncode != 0
    assert complaint in build.result.stdout + build.result.stderr
    assert not list(build.build.glob("*.zip")) and not list(build.build.glob("signed/*.exe"))


def test_a_signing_cut_short_leaves_nothing_that_packaging_would_ship(source_dir, token, timestamp_authority,
                                                                      tmp_path):
    """The timestamp authority does not answer; the build is killed while it waits; packaging runs alone."""
    asked, answer = threading.Event(), threading.Event()
    silent, url = serve(lambda query: asked.set() or answer.wait(120) and b"")
    try:
        settings = {**token, **timestamped(timestamp_authority, url), "SOURCE_DATE_EPOCH": EPOCH}
        workflow, source = release(source_dir, tmp_path, "release", settings, background=True)
        try:
            assert asked.wait(240), "the build never asked for a timestamp"
        finally:
            os.killpg(workflow.pid, signal.SIGKILL)
            workflow.wait()
    finally:
        answer.set()
        silent.shutdown()
    build = source / "build" / "release"
    assert not list(build.glob("signed/*.exe"))
    # nor would packaging ship what a signing cut short once left under the signed names: the unsigned images
    for program in PROGRAMS:
        shutil.copy2(build / "bin" / program, build / "signed" / program)
    packaging = subprocess.run(["cpack", "--preset", "release"], cwd=source, env=environment(settings),
                               stdin=subprocess.DEVNULL, capture_output=True, text=True)
    assert packaging.returncode != 0 and "does not verify" in packaging.stdout + packaging.stderr
    assert not list(build.glob("*.zip"))


# (what stands under tolvane.exe's signed name when packaging runs alone, what packaging says)
STAGED_INSTEAD = {
    "tolvane-run-exe-signed": ("tolvane-run.exe", "tolvane.exe in the package is not the image that this build made"),
    "timestamp-for-other-data": ("other-data", "tolvane.exe in the package does not verify"),
}


@pytest.mark.parametrize("instead,complaint", STAGED_INSTEAD.values(), ids=STAGED_INSTEAD.keys())
def test_packaging_alone_refuses_a_signed_image_of_another_program_or_timestamp(
        token_release, token, certificate, timestamp_authority, instead, complaint):
    signed = token_release / "signed" / "tolvane.exe"
    own = signed.read_bytes()
    try:
        signed.unlink()
        if instead == "tolvane-run.exe":
            shutil.copy2(token_release / "signed" / instead, signed)
        else:
            signed_with_test_certificate(certificate, token_release / "bin" / "tolvane.exe", signed, "-h", "sha256",
                                         "-n", "tolvane.exe", "-ts", timestamp_authority.other_data_url)
        packaging = subprocess.run(["cpack", "--preset", "release"], cwd=token_release.parent.parent,
                                   env=environment({**token, **timestamped(timestamp_authority)}),
                                   stdin=subprocess.DEVNULL, capture_output=True, text=True)
    finally:
        signed.write_bytes(own)
    assert packaging.returncode != 0 and complaint in packaging.stdout + packaging.stderr


@pytest.fixture(scope="module")
def unsigned_release_folder(source_dir, tmp_path_factory):
    """A release build that stopped for want of a key: its own check can be run on any image."""
    build = release(source_dir, tmp_path_factory.mktemp("check"), "release", {"SOURCE_DATE_EPOCH": EPOCH})
    assert build.result.returncode != 0
    return build.build


# (the release: made without or with a timestamp server; the image put in
#  place of its signed one: the built image or a broken build, signed with
#  a digest or unsigned, or None for its own; whether its check passes)
RELEASE_CHECKS = {
    "signed": ("untimestamped", (None, "sha256"), True),
    "unsigned": ("untimestamped", (None, None), False),
    "sha1-signature": ("untimestamped", (None, "sha1"), False),
    "broken-image": ("untimestamped", ("extra-import", "sha256"), False),
    "timestamped": ("timestamped", None, True),
    "timestamp-missing": ("timestamped", (None, "sha256"), False),
}


@pytest.mark.parametrize("made,image,passes", RELEASE_CHECKS.values(), ids=RELEASE_CHECKS.keys())
def test_the_release_check_fails_on_an_image_that_must_not_ship(request, certificate, unsigned, made, image, passes):
    """The release's own CTest check, its command line and exit status included."""
    folder = request.getfixturevalue("unsigned_release_folder" if made == "untimestamped" else "token_release")
    shipped = folder / "signed" / "tolvane.exe"
    shipped.parent.mkdir(exist_ok=True)
    own = shipped.read_bytes() if shipped.exists() else None
    try:
        if image is not None:
            broken_build, digest = image
            path = unsigned if broken_build is None else (
                request.config.getoption("--test-programs") / "broken-images" / broken_build / "tolvane.exe")
            shipped.unlink(missing_ok=True)
            if digest is None:
                shutil.copy2(path, shipped)
            else:
                signed_with_test_certificate(certificate, path, shipped, "-h", digest, "-n", "tolvane.exe")
        result = subprocess.run(["ctest", "--output-on-failure", "-R", "check_pe_image.tolvane$"], cwd=folder,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True)
    finally:
        if own is not None:  # the timestamped release's image, which other tests read
            shipped.write_bytes(own)
    assert (result.returncode == 0) == passes, result.stdout


@pytest.fixture(scope="module")
def token_release(source_dir, token, timestamp_authority, tmp_path_factory):
    """The release as a publisher makes it: the key in a token, timestamped."""
    settings = {**token, **timestamped(timestamp_authority), "SOURCE_DATE_EPOCH": EPOCH}
    return released(release(source_dir, tmp_path_factory.mktemp("token-release"), "release", settings))


@pytest.mark.parametrize("program", PROGRAMS)
def test_the_token_signed_timestamped_release_checks_and_verifies(token_release, checker, certificate,
                                                                   timestamp_authority, program):
    signed = token_release / "signed" / program
    assert checker(signed, signed=True, timestamped=True, program=program) == set()
    assert both_verify(certificate, signed)
    assert osslsigncode_verifies(certificate, signed, "-TSA-CAfile", str(timestamp_authority.ca))


def test_a_third_party_rebuilds_the_release_and_compares(source_dir, token_release, version, tmp_path):
    """As the README tells: the same commit and toolchain, rebuild, strip the
    signatures from the released programs, compare."""
    info = build_info(token_release / f"tolvane-{version}-win64.buildinfo")
    rebuilt = released(release(source_dir, tmp_path / "rebuild", "package-unsigned",
                               {"SOURCE_DATE_EPOCH": info["Source-Date-Epoch"]}))
    sha256 = lambda data: hashlib.sha256(data).hexdigest()
    with zipfile.ZipFile(token_release / f"tolvane-{version}-win64.zip") as archive:
        for program in PROGRAMS:
            (tmp_path / program).write_bytes(archive.read(program))
            quiet(["osslsigncode", "remove-signature", "-in", str(tmp_path / program),
                   "-out", str(tmp_path / f"stripped-{program}")])
            stripped = (tmp_path / f"stripped-{program}").read_bytes()
            assert stripped == (rebuilt / "bin" / program).read_bytes()
            assert f"{sha256(stripped)} {program}" in info["Unsigned-Image-SHA256"]
            assert f"{sha256(archive.read(program))} {program}" in info["Signed-Image-SHA256"]


def signing_time(path):
    """The signing time that the signature's signer states."""
    _, signature = certificate_table(path.read_bytes())
    attributes = cms.ContentInfo.load(signature)["content"]["signer_infos"][0]["signed_attrs"]
    (when,) = [attribute["values"][0].native for attribute in attributes if attribute["type"].native == "signing_time"]
    return int(when.timestamp())


@pytest.mark.parametrize("kind,uncommitted", [("unsigned", True), ("signed", False)],
                         ids=["unsigned-with-an-uncommitted-change", "signed"])
def test_without_source_date_epoch_the_fixed_time_is_the_last_commit(source_dir, certificate, tmp_path, version,
                                                                     kind, uncommitted):
    commit_time = 1600000000  # 2020-09-13 12:26:40 UTC
    preset, settings = ("release", {**pkcs12(certificate), **NO_TIMESTAMP}) if kind == "signed" else (
        "package-unsigned", {})
    build = release(source_dir, tmp_path, preset, settings, git_commit_time=commit_time, uncommitted=uncommitted)
    released(build)
    name = package_name(kind, version)
    with zipfile.ZipFile(build.build / f"{name}.zip") as archive:
        assert {entry.date_time for entry in archive.infolist()} == {(2020, 9, 13, 12, 26, 40)}
    info = build_info(build.build / f"{name}.buildinfo")
    assert info["Source-Date-Epoch"] == str(commit_time)
    commit = quiet(["git", "rev-parse", "HEAD"], cwd=build.source, text=True).stdout.strip()
    assert info["Source-Commit"] == commit + (" with uncommitted changes" if uncommitted else "")
    if kind == "signed":
        assert signing_time(shipped_image(kind, build.build)) == commit_time


def test_a_checkout_with_an_uncommitted_change_is_not_signed(source_dir, certificate, tmp_path):
    build = release(source_dir, tmp_path, "release", {**pkcs12(certificate), **NO_TIMESTAMP, "SOURCE_DATE_EPOCH": EPOCH},
                    git_commit_time=1600000000, uncommitted=True)
    assert build.result.returncode != 0
    said = build.result.stdout + build.result.stderr
    assert "Uncommitted changes, and a release is signed from a commit alone" in said and "M tools/setup.sh" in said
    assert not list(build.build.glob("signed/*.exe")) and not list(build.build.glob("*.zip"))


def header_value(include_dir, name):
    for header in ("winerror.h", "ntstatus.h"):
        match = re.search(rf"^#define {name} .*?(0x[0-9A-Fa-f]+|\b\d+\b)", (include_dir / header).read_text(),
                          re.MULTILINE)
        if match:
            return int(match.group(1), 0)
    return None


def test_documented_windows_codes_match_the_headers(request, source_dir):
    document = (source_dir / "packaging" / "README.txt").read_text()
    rows = re.findall(r"\|\s*(0x[0-9A-F]+|\d+)\s*\|\s*([A-Z_]+)\s*\|$", document, re.MULTILINE)
    documented = {name: int(code, 0) for code, name in rows}
    assert set(documented) == {"ERROR_ELEVATION_REQUIRED", "ERROR_CANCELLED", "STATUS_DLL_NOT_FOUND",
                               "STATUS_ENTRYPOINT_NOT_FOUND", "STATUS_INVALID_IMAGE_FORMAT",
                               "STATUS_DLL_INIT_FAILED", "STATUS_CONTROL_C_EXIT", "STATUS_ACCESS_VIOLATION",
                               "STATUS_STACK_BUFFER_OVERRUN", "ERROR_INSTALL_FAILURE", "ERROR_INVALID_PARAMETER",
                               "ERROR_OPEN_FAILED", "ERROR_INSTALL_ALREADY_RUNNING", "ERROR_INSTALL_PACKAGE_REJECTED",
                               "ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION", "ERROR_ACCESS_DISABLED_BY_POLICY",
                               "ERROR_VIRUS_INFECTED", "STATUS_INVALID_IMAGE_HASH"}
    # Errors that reach the launcher, as Task Scheduler shows them: HRESULT_FROM_WIN32
    launcher_errors = re.findall(r"\|\s*(0x[0-9A-F]+)\s*\|\s*(\d+)\s*\|\s*(ERROR_[A-Z_]+)\s*\|$", document, re.MULTILINE)
    assert {name: int(hresult, 16) for hresult, _, name in launcher_errors} == {
        name: 0x80070000 | documented[name] for name in ("ERROR_ELEVATION_REQUIRED", "ERROR_CANCELLED",
                                                          "ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION",
                                                          "ERROR_ACCESS_DISABLED_BY_POLICY", "ERROR_VIRUS_INFECTED")}
    # tolvane-run.exe's statuses, as Task Scheduler shows them: the code itself
    statuses = re.findall(r"\|\s*(\d+)\s*\|\s*(0x[0-9A-F]+)\s*\|\s*(ERROR_[A-Z_]+)?\s*\|$", document, re.MULTILINE)
    assert len(statuses) == 7 and all(int(code) == int(shown, 16) for code, shown, _ in statuses)
    include_dir = request.config.getoption("--mingw-include")
    lacking = {"ERROR_ELEVATION_REQUIRED": 740, "ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION": 4551,
               "ERROR_VIRUS_INFECTED": 225}  # which MinGW-w64 10's headers lack
    for name, code in documented.items():
        if name in lacking:
            assert (header_value(include_dir, name), code) == (None, lacking[name])
        else:
            assert header_value(include_dir, name) == code, name
    # and as %ERRORLEVEL% shows them
    for name, code in documented.items():
        if code > 0x7FFFFFFF:
            assert str(code - 2**32) in document, name
    # a code named in the text: "0xC0000008 (STATUS_INVALID_HANDLE)"
    named = re.findall(r"\b(0x[0-9A-F]+|\d+)\s+\(([A-Z]+_[A-Z0-9_]+)\)", document)
    assert {name: lacking.get(name, header_value(include_dir, name)) for _, name in named} == {
        name: int(code, 0) for code, name in named}


# What the PowerShell example may not use: it must run on PowerShell 2.0, keep
# its files out of %TEMP%, which every user can write where SYSTEM runs it, and
# neither append to the log nor read it in a way that decodes the ANSI code page
# wrongly in some version.
POWERSHELL_2_AND_NOT_TEMP = ["New-TemporaryFile", "$PSScriptRoot", "$PSCommandPath", "[ordered]", "-NoNewline",
                             "$env:TEMP", "$env:TMP", "GetTempPath", "%TEMP%", ">>", "Out-File", "Get-Content",
                             "Select-String", "[Text.Encoding]::Default"]


def test_the_powershell_example_runs_on_powershell_2(source_dir):
    document = (source_dir / "packaging" / "README.txt").read_text()
    example = document[document.index("PowerShell, only from"):document.index("Reading the outcome")]
    script = "\n".join(line for line in example.splitlines() if line.startswith("    "))
    assert "Start-Process" in script and "PowerShell 2.0" in example
    assert [token for token in POWERSHELL_2_AND_NOT_TEMP if token.lower() in script.lower()] == []
