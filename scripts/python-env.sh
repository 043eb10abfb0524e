#!/usr/bin/env bash
# Usage: scripts/python-env.sh VERSION [REQUIREMENTS_FILE]
#
# Provides a virtual environment with CPython VERSION (3.14, 3.15, ...) and the
# packages of REQUIREMENTS_FILE (default: requirements-dev.txt), and prints its
# path on standard output. Everything else goes to standard error.
#
# The interpreter is, in this order:
#   1. a `pythonVERSION` found on PATH;
#   2. on Debian-family systems, Debian's own packages of it from the unstable
#      (or experimental) suite of the mirror this machine already uses. They
#      are downloaded with a private apt configuration (nothing is installed
#      system-wide), unpacked into the cache and made runnable with patchelf.
#      The package lists must verify against the keys this machine's apt
#      trusts; nothing unauthenticated is ever downloaded. When they do not
#      verify and this runs as root, the machine's own (authenticated) apt is
#      asked for a newer debian-archive-keyring from its configured suites,
#      backports included; otherwise the script stops and says what to install.
#
# Exit status 2 means that CPython VERSION cannot be obtained on this machine;
# standard output then tells why, in one line.
#
# Environment:
#   KARVEL_CACHE_DIR      where downloads and unpacked interpreters live
#                         (default: .cache in the repository); several clones
#                         may share one.
#   KARVEL_DEBIAN_MIRROR  Debian archive URI to use instead of the one found in
#                         the apt sources.
#   KARVEL_DEBIAN_KEYRING keyring file that must sign that archive's lists,
#                         instead of the keys this machine's apt trusts (the
#                         machine's keyring is then never updated).
set -euo pipefail

VERSION=${1:?usage: python-env.sh VERSION [REQUIREMENTS_FILE]}
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
REQUIREMENTS=${2:-$REPO/requirements-dev.txt}
CACHE=${KARVEL_CACHE_DIR:-$REPO/.cache}
VENV=$REPO/.venv-$VERSION
UNOBTAINABLE=2

log() { echo "python-env[$VERSION]: $*" >&2; }
die() { log "$*"; exit 1; }
unobtainable() { echo "$*"; exit $UNOBTAINABLE; }

# Runs a command with its output kept in a log file, shown only when it fails.
quietly() {
  local status=0
  "$@" >"$APT_DIR/last-$VERSION.log" 2>&1 || status=$?
  if ((status != 0)) || grep -q '^E:' "$APT_DIR/last-$VERSION.log"; then
    cat "$APT_DIR/last-$VERSION.log" >&2
    return $((status ? status : 1))
  fi
}

[[ $VERSION =~ ^3\.[0-9]+$ ]] || die "VERSION must look like 3.14, not '$VERSION'"
[[ -f $REQUIREMENTS ]] || die "no requirements file $REQUIREMENTS"
mkdir -p "$CACHE"
CACHE=$(cd "$CACHE" && pwd)

# One run at a time per version and cache: concurrent runs wait here.
exec 9>"$CACHE/python-$VERSION.lock"
flock 9

python_version_of() {
  "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null
}

# ---------------------------------------------------------------------------
# 1. An interpreter on PATH.
# ---------------------------------------------------------------------------
interpreter_on_path() {
  local candidate base
  candidate=$(command -v "python$VERSION" 2>/dev/null) || return 1
  [[ $(python_version_of "$candidate") == "$VERSION" ]] || return 1
  # A virtual environment's interpreter (ours included) stands for its base.
  base=$("$candidate" -c 'import sys; print(getattr(sys, "_base_executable", "") or sys.executable)')
  [[ -x $base ]] || return 1
  echo "$base"
}

# ---------------------------------------------------------------------------
# 2. Debian's packages, unpacked into the cache.
# ---------------------------------------------------------------------------
APT_DIR=$CACHE/debian
DEBIAN_ROOT=$CACHE/cpython-$VERSION/root
DEBIAN_STAMP=$CACHE/cpython-$VERSION/ready
DEBIAN_MISSING=$CACHE/cpython-$VERSION/missing

# Prints the URI of the machine's own Debian archive (not the security one).
debian_mirror() {
  if [[ -n ${KARVEL_DEBIAN_MIRROR:-} ]]; then
    echo "$KARVEL_DEBIAN_MIRROR"
    return
  fi
  local file uri=""
  # deb822 files: the first stanza whose suites are not security updates.
  for file in /etc/apt/sources.list.d/*.sources; do
    [[ -f $file ]] || continue
    uri=$(awk '
      function flush() {
        if (!found && uris != "" && suites !~ /security/ && types ~ /(^|[ \t])deb([ \t]|$)/) {
          split(uris, u, /[ \t]+/); print u[1]; found = 1; exit
        }
        uris = ""; suites = ""; types = ""
      }
      /^[ \t]*$/ { flush(); next }
      /^[ \t]*#/ { next }
      tolower($1) == "uris:" { $1 = ""; sub(/^[ \t]+/, ""); uris = $0 }
      tolower($1) == "suites:" { $1 = ""; suites = $0 }
      tolower($1) == "types:" { $1 = ""; types = $0 }
      END { flush() }
    ' "$file")
    [[ -n $uri ]] && break
  done
  # One-line format: "deb [options] URI SUITE COMPONENTS...".
  if [[ -z $uri ]]; then
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
      [[ -f $file ]] || continue
      uri=$(awk '
        $1 != "deb" { next }
        { i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ } }
        $(i + 1) ~ /security/ { next }
        { print $i; exit }
      ' "$file")
      [[ -n $uri ]] && break
    done
  fi
  [[ -n $uri ]] || return 1
  echo "${uri%/}"
}

apt_options() {
  APT_OPTS=(
    -o "Dir::Etc::SourceList=$APT_DIR/sources.list"
    -o Dir::Etc::SourceParts=/dev/null
    -o Dir::Etc::Preferences=/dev/null
    -o Dir::Etc::PreferencesParts=/dev/null
    -o "Dir::State::Lists=$APT_DIR/lists"
    -o "Dir::State::status=$APT_DIR/status"
    -o "Dir::Cache=$APT_DIR/cache-$VERSION"
    -o Dir::Cache::pkgcache=
    -o Dir::Cache::srcpkgcache=
    -o APT::Install-Recommends=false
    -o APT::Install-Suggests=false
    -o Debug::NoLocking=true
    -o Acquire::Languages=none
  )
  if [[ $(id -u) -eq 0 ]]; then
    # Downloads go into the cache, which the unprivileged _apt user may not reach.
    APT_OPTS+=(-o APT::Sandbox::User=root)
  fi
}

prepare_apt_dir() {
  local mirror
  mirror=$(debian_mirror) || return 1
  mkdir -p "$APT_DIR/lists/partial" "$APT_DIR/cache-$VERSION/archives/partial"
  : >"$APT_DIR/status"
  local options=""
  if [[ -n ${KARVEL_DEBIAN_KEYRING:-} ]]; then
    [[ -f $KARVEL_DEBIAN_KEYRING ]] || die "KARVEL_DEBIAN_KEYRING: no file $KARVEL_DEBIAN_KEYRING"
    options="[signed-by=$(cd "$(dirname "$KARVEL_DEBIAN_KEYRING")" && pwd)/$(basename "$KARVEL_DEBIAN_KEYRING")] "
  fi
  printf 'deb %s%s unstable main\ndeb %s%s experimental main\n' "$options" "$mirror" "$options" "$mirror" \
    >"$APT_DIR/sources.list"
}

# Earlier versions of this script could fetch lists without signature checks
# (leaving an "insecure" mark): whatever came from them is fetched again.
forget_unauthenticated_downloads() {
  [[ -e $APT_DIR/insecure ]] || return 0
  log "discarding package lists and interpreters fetched without signature checks"
  rm -rf "$APT_DIR/lists" "$APT_DIR"/cache-* "$APT_DIR/lists.ready"
  rm -f "$CACHE"/cpython-*/ready
  rm -f "$APT_DIR/insecure"
}

# True when apt's last update failed because the lists' signatures could not
# be checked (missing or expired key, unsigned or badly signed lists).
lists_unverifiable() {
  grep -Eq 'NO_PUBKEY|EXPKEYSIG|EXPSIG|KEYEXPIRED|not signed|GPG error|signature|OpenPGP' "$APT_DIR/last-$VERSION.log"
}

# Prints the version of the installed debian-archive-keyring, if any.
installed_keyring_version() {
  dpkg-query -W -f='${Version}' debian-archive-keyring 2>/dev/null || true
}

# As root, and only for the machine's own keys: installs the newest
# debian-archive-keyring that the machine's apt offers from its configured
# suites (backports included), through its usual signature checks. True when
# a newer one was installed.
upgrade_machine_keyring() {
  [[ -z ${KARVEL_DEBIAN_KEYRING:-} && $(id -u) -eq 0 ]] || return 1
  local before newest version
  before=$(installed_keyring_version)
  log "updating debian-archive-keyring (now ${before:-not installed}) with this machine's apt"
  apt-get update -q >"$APT_DIR/keyring-$VERSION.log" 2>&1 || return 1
  newest=$before
  for version in $(apt-cache madison debian-archive-keyring 2>/dev/null | awk -F'|' '{ gsub(/ /, "", $2); print $2 }'); do
    if [[ -z $newest ]] || dpkg --compare-versions "$version" gt "$newest"; then
      newest=$version
    fi
  done
  [[ -n $newest && $newest != "$before" ]] || return 1
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "debian-archive-keyring=$newest" >>"$APT_DIR/keyring-$VERSION.log" 2>&1 || return 1
  log "installed debian-archive-keyring $newest"
}

# Stops with one line that says what would make the lists verifiable.
refuse_unverifiable_lists() {
  local what="the keys this machine's apt trusts"
  local fix="install a current debian-archive-keyring (as root: apt-get install debian-archive-keyring, from your release's backports if its own is too old)"
  if [[ -n ${KARVEL_DEBIAN_KEYRING:-} ]]; then
    what="KARVEL_DEBIAN_KEYRING ($KARVEL_DEBIAN_KEYRING)"
    fix="point KARVEL_DEBIAN_KEYRING to a keyring that signs Debian unstable, or unset it"
  fi
  die "refusing unauthenticated packages: Debian's package lists cannot be verified with $what; $fix, then run again (apt said: $APT_DIR/last-$VERSION.log)"
}

# Fetches the package lists of the private configuration. They must verify;
# when the machine's keys are too old, a newer keyring is tried once (as root).
apt_update() {
  log "fetching the package lists of Debian unstable and experimental"
  rm -f "$APT_DIR/lists.ready"
  apt_options
  if ! apt-get "${APT_OPTS[@]}" update >"$APT_DIR/last-$VERSION.log" 2>&1 || grep -q '^E:' "$APT_DIR/last-$VERSION.log"; then
    lists_unverifiable || { cat "$APT_DIR/last-$VERSION.log" >&2; return 1; }
    upgrade_machine_keyring || refuse_unverifiable_lists
    if ! apt-get "${APT_OPTS[@]}" update >"$APT_DIR/last-$VERSION.log" 2>&1 || grep -q '^E:' "$APT_DIR/last-$VERSION.log"; then
      lists_unverifiable && refuse_unverifiable_lists
      cat "$APT_DIR/last-$VERSION.log" >&2
      return 1
    fi
  fi
  touch "$APT_DIR/lists.ready"
}

# True when apt knows a candidate version of package $1.
apt_has_candidate() {
  local candidate
  candidate=$(apt-cache "${APT_OPTS[@]}" policy "$1" 2>/dev/null | awk '/Candidate:/ { print $2 }')
  [[ -n $candidate && $candidate != "(none)" ]]
}

download_debian_python() {
  local packages=("python$VERSION" "python$VERSION-dev" "python$VERSION-venv")
  apt_options
  quietly apt-get "${APT_OPTS[@]}" -y install --download-only "${packages[@]}"
}

unpack_debian_python() {
  local staging deb ldso libdir
  staging=$CACHE/cpython-$VERSION/root.new
  rm -rf "$staging"
  mkdir -p "$staging"
  for deb in "$APT_DIR/cache-$VERSION"/archives/*.deb; do
    dpkg-deb -x "$deb" "$staging"
  done
  ldso=$(compgen -G "$staging/usr/lib/*/ld-linux*.so.*" | head -n 1 || true)
  [[ -n $ldso ]] || die "no dynamic loader among the unpacked packages"
  libdir=$(dirname "$ldso")
  # Paths are final ones: the staging tree is moved into place below.
  ldso=$DEBIAN_ROOT/usr/lib/$(basename "$libdir")/$(basename "$ldso")
  libdir=$DEBIAN_ROOT/usr/lib/$(basename "$libdir")
  patchelf --set-interpreter "$ldso" --force-rpath --set-rpath "$libdir" \
    "$staging/usr/bin/python$VERSION"
  rm -rf "$DEBIAN_ROOT"
  mv "$staging" "$DEBIAN_ROOT"
}

# Sets PYTHON to Debian's interpreter, fetching it first when needed.
debian_interpreter() {
  local python=$DEBIAN_ROOT/usr/bin/python$VERSION
  forget_unauthenticated_downloads
  if [[ -f $DEBIAN_STAMP && -x $python ]]; then
    PYTHON=$python
    return 0
  fi
  if ! command -v apt-get >/dev/null || ! command -v dpkg-deb >/dev/null; then
    unobtainable "no python$VERSION on PATH, and this is not a Debian-family system to fetch it from"
  fi
  command -v patchelf >/dev/null || die "patchelf is needed (run scripts/system-deps.sh)"
  # The package lists are shared by all versions: one fetch at a time.
  exec 8>"$CACHE/debian.lock"
  flock 8
  if ! prepare_apt_dir; then
    unobtainable "no python$VERSION on PATH, and no Debian archive in the apt sources (set KARVEL_DEBIAN_MIRROR)"
  fi
  # A version found missing is not looked for again for a day.
  if [[ -n $(find "$DEBIAN_MISSING" -mmin -1440 2>/dev/null) ]]; then
    unobtainable "Debian unstable and experimental had no python$VERSION (checked $(date -r "$DEBIAN_MISSING" '+%F %R'))"
  fi
  [[ -f $APT_DIR/lists.ready ]] || apt_update || die "could not fetch the Debian package lists"
  apt_options
  if ! apt_has_candidate "python$VERSION"; then
    # Lists older than an hour may predate the package: look again with fresh ones.
    if [[ -z $(find "$APT_DIR/lists.ready" -mmin -60) ]]; then
      apt_update || die "could not fetch the Debian package lists"
    fi
    if ! apt_has_candidate "python$VERSION"; then
      mkdir -p "$(dirname "$DEBIAN_MISSING")"
      touch "$DEBIAN_MISSING"
      unobtainable "Debian unstable and experimental have no python$VERSION"
    fi
  fi
  rm -f "$DEBIAN_MISSING"
  log "downloading Debian's python$VERSION packages"
  if ! download_debian_python; then
    apt_update || die "could not fetch the Debian package lists"
    download_debian_python || die "could not download Debian's python$VERSION packages"
  fi
  log "unpacking into $DEBIAN_ROOT"
  unpack_debian_python
  "$python" -c 'import ssl, sqlite3, venv, zlib' >&2 ||
    die "the unpacked python$VERSION does not run"
  touch "$DEBIAN_STAMP"
  exec 8>&-
  PYTHON=$python
}

# ---------------------------------------------------------------------------
# The virtual environment.
# ---------------------------------------------------------------------------
bootstrap_pip() {
  local python=$1 base wheel
  # Debian's interpreters carry pip as a wheel under <prefix>/share/python-wheels.
  base=$("$python" -c 'import sys; print(sys.base_prefix)')
  wheel=$(compgen -G "$base/share/python-wheels/pip-*.whl" | head -n 1 || true)
  if [[ -n $wheel ]]; then
    "$VENV/bin/python" "$wheel/pip" install -q --no-index --disable-pip-version-check "$wheel" >&2
  else
    "$VENV/bin/python" -m ensurepip --default-pip >&2
  fi
}

venv_matches() {
  local python=$1
  [[ -x $VENV/bin/python ]] || return 1
  [[ $(python_version_of "$VENV/bin/python") == "$VERSION" ]] || return 1
  [[ $("$VENV/bin/python" -c 'import sys; print(sys._base_executable)' 2>/dev/null) -ef $python ]]
}

ensure_venv() {
  local python=$1 wanted
  if ! venv_matches "$python"; then
    log "creating $VENV"
    rm -rf "$VENV"
    "$python" -m venv --without-pip "$VENV" >&2
  fi
  "$VENV/bin/python" -m pip --version >/dev/null 2>&1 || bootstrap_pip "$python"
  # Requirement files may include each other: all of them count.
  wanted=$({ basename "$REQUIREMENTS"; cat "$REQUIREMENTS" "$(dirname "$REQUIREMENTS")"/requirements*.txt; } | sha256sum | cut -d' ' -f1)
  if [[ $(cat "$VENV/.requirements-installed" 2>/dev/null) != "$wanted" ]]; then
    log "installing $(basename "$REQUIREMENTS") into $VENV"
    # Debian's pyconfig.h includes its multiarch twin, which lies in the
    # unpacked tree: packages built from source (no wheel yet) must find it.
    local cflags=${CFLAGS:-}
    [[ $python == "$DEBIAN_ROOT"/* ]] && cflags+=" -idirafter $DEBIAN_ROOT/usr/include"
    CFLAGS=$cflags "$VENV/bin/python" -m pip install -q --disable-pip-version-check -r "$REQUIREMENTS" >&2
    echo "$wanted" >"$VENV/.requirements-installed"
  fi
}

main() {
  if ! PYTHON=$(interpreter_on_path); then
    debian_interpreter
  fi
  ensure_venv "$PYTHON"
  echo "$VENV"
}

main
