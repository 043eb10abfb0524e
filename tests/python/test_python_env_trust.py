"""scripts/python-env.sh takes Debian's packages only from lists it can verify.

A throwaway archive holding fake python3.99 packages is served from this
machine (no network). The script runs with a private cache and apt
configuration and a private keyring: lists that are unsigned or signed by a
key the keyring lacks must stop it with one line naming the fix, before
anything is downloaded or unpacked; lists signed by the keyring's own key must
get through to the download (the proof that the archive itself is sound).
"""
import functools
import http.server
import hashlib
import os
import shutil
import subprocess
import threading
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SCRIPT = REPO / "scripts" / "python-env.sh"
VERSION = "3.99"
PACKAGES = (f"python{VERSION}", f"python{VERSION}-dev", f"python{VERSION}-venv")
SUITES = (("unstable", "sid"), ("experimental", "rc-buggy"))

pytestmark = pytest.mark.skipif(
    not all(shutil.which(tool) for tool in ("apt-get", "dpkg-deb", "patchelf")),
    reason="needs a Debian-family system with apt-get, dpkg-deb and patchelf",
)


def tool_env() -> dict[str, str]:
    """The environment for the tools run here: no proxy, and no sanitizer runtime preloaded."""
    return {key: value for key, value in os.environ.items()
            if "proxy" not in key.lower() and key not in ("LD_PRELOAD", "PYTHONMALLOC")}


def gpg(home: Path, *args: str) -> None:
    subprocess.run(["gpg", "--homedir", str(home), "--batch", "--quiet", "--pinentry-mode", "loopback",
                    "--passphrase", "", *args], check=True, capture_output=True, env=tool_env())


def make_key(home: Path, keyring: Path) -> None:
    """A new signing key in the GnuPG home `home`, exported to `keyring`."""
    home.mkdir(mode=0o700)
    gpg(home, "--quick-gen-key", f"archive <{home.name}@example.org>", "ed25519", "sign", "never")
    gpg(home, "--output", str(keyring), "--export")


def write_archive(root: Path, signing_home: Path | None) -> None:
    """A Debian-style archive of the fake packages, signed with the key of `signing_home` if given."""
    pool = root / "pool"
    pool.mkdir(parents=True)
    entries = []
    for name in PACKAGES:
        source = root.parent / f"build-{root.name}-{name}"
        (source / "DEBIAN").mkdir(parents=True)
        (source / "DEBIAN" / "control").write_text(
            f"Package: {name}\nVersion: 1\nArchitecture: all\nMaintainer: t <t@example.org>\nDescription: t\n")
        deb = pool / f"{name}.deb"
        subprocess.run(["dpkg-deb", "--build", str(source), str(deb)], check=True, capture_output=True,
                       env=tool_env())
        data = deb.read_bytes()
        entries.append(f"Package: {name}\nVersion: 1\nArchitecture: all\nFilename: pool/{deb.name}\n"
                       f"Size: {len(data)}\nSHA256: {hashlib.sha256(data).hexdigest()}\n")
    packages = "\n".join(entries).encode()
    for suite, codename in SUITES:
        dists = root / "dists" / suite
        (dists / "main" / "binary-amd64").mkdir(parents=True)
        (dists / "main" / "binary-amd64" / "Packages").write_bytes(packages)
        (dists / "Release").write_text(
            f"Suite: {suite}\nCodename: {codename}\nArchitectures: amd64 all\nComponents: main\n"
            f"SHA256:\n {hashlib.sha256(packages).hexdigest()} {len(packages)} main/binary-amd64/Packages\n")
        if signing_home is not None:
            gpg(signing_home, "--output", str(dists / "InRelease"), "--clearsign", str(dists / "Release"))


@pytest.fixture(scope="module")
def archives(tmp_path_factory):
    """Serves ./unsigned and ./signed archives over local HTTP; yields (base URL, keyrings by name)."""
    root = tmp_path_factory.mktemp("archives")
    keyrings = {"empty": root / "empty.gpg"}
    keyrings["empty"].write_bytes(b"")
    write_archive(root / "www" / "unsigned", None)
    if shutil.which("gpg"):
        make_key(root / "signer", root / "signer.gpg")
        make_key(root / "other", root / "other.gpg")
        keyrings.update(signer=root / "signer.gpg", other=root / "other.gpg")
        write_archive(root / "www" / "signed", root / "signer")
    handler = functools.partial(QuietHandler, directory=str(root / "www"))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}", keyrings
    server.shutdown()
    thread.join()


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def run_python_env(cache: Path, mirror: str, keyring: Path) -> subprocess.CompletedProcess:
    env = tool_env()
    env.update(KARVEL_CACHE_DIR=str(cache), KARVEL_DEBIAN_MIRROR=mirror, KARVEL_DEBIAN_KEYRING=str(keyring),
               no_proxy="127.0.0.1", LC_ALL="C")
    return subprocess.run([str(SCRIPT), VERSION], env=env, capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize(("archive", "keyring", "accepted"), [
    ("unsigned", "empty", False),
    ("signed", "empty", False),
    ("signed", "other", False),
    ("signed", "signer", True),
], ids=["unsigned lists", "empty keyring", "keyring of another key", "keyring of the signing key"])
def test_only_verified_lists_lead_to_downloads(archives, tmp_path, archive, keyring, accepted):
    base, keyrings = archives
    if keyring not in keyrings:
        pytest.skip("gpg is needed to sign the archive")
    cache = tmp_path / "cache"
    result = run_python_env(cache, f"{base}/{archive}", keyrings[keyring])

    downloaded = sorted(p.name for p in (cache / "debian").rglob("*.deb"))
    assert result.stdout == "", "standard output is kept for the environment's path"
    assert not (REPO / f".venv-{VERSION}").exists()
    if accepted:
        # The fake packages hold no interpreter: the unpacking step is where it stops.
        assert downloaded == sorted(f"{name}_1_all.deb" for name in PACKAGES), result.stderr
        assert "refusing" not in result.stderr
        assert result.returncode != 0
    else:
        assert result.returncode == 1, result.stderr
        last_line = result.stderr.strip().splitlines()[-1]
        assert "refusing unauthenticated packages" in last_line
        assert "KARVEL_DEBIAN_KEYRING" in last_line
        assert downloaded == []
        assert not (cache / f"cpython-{VERSION}").exists()
        assert not (cache / "debian" / "lists.ready").exists()
