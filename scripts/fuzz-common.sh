# Sourced by scripts/fuzz.sh and scripts/fuzz-campaign.sh: the list of
# targets and the build of the libFuzzer tree. Expects REPO to be set and the
# working directory to be the repository.

BUILD=build/fuzz
FUZZ_CXX=${KARVEL_FUZZ_CXX:-clang++-19}

# FUZZ_TARGETS: every target of fuzz/targets.txt, in its order.
# FUZZ_DICTIONARIES: target -> dictionary file.
declare -a FUZZ_TARGETS=()
declare -A FUZZ_DICTIONARIES=()
while read -r target dictionary _; do
  [[ -z $target || $target == \#* ]] && continue
  FUZZ_TARGETS+=("$target")
  FUZZ_DICTIONARIES[$target]=fuzz/dict/${dictionary:-binary}.dict
done <fuzz/targets.txt

# Fails with a message unless every argument is a known target.
check_fuzz_targets() {
  local target
  for target in "$@"; do
    [[ -n ${FUZZ_DICTIONARIES[$target]:-} ]] || { echo "fuzz: unknown target '$target' (see fuzz/targets.txt)" >&2; return 1; }
  done
}

# Builds the given targets in $BUILD with clang and the sanitizers, and writes
# fresh seed corpora into $BUILD/seeds. Holds the tree's lock on fd 9.
build_fuzz_targets() {
  local venv
  venv=$(scripts/python-env.sh 3.14)
  export PATH=$venv/bin:$PATH
  source scripts/build-env.sh
  command -v "$FUZZ_CXX" >/dev/null || { echo "fuzz: $FUZZ_CXX not found (scripts/system-deps.sh fuzz installs it)" >&2; return 1; }
  mkdir -p "$BUILD"
  exec 9>"$BUILD/.lock"
  flock 9
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER="$(command -v "$FUZZ_CXX")" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKARVEL_PYTHON=OFF -DKARVEL_FUZZ=ON "${KARVEL_CMAKE_LAUNCHER[@]}" >"$BUILD/.configure.log" || { cat "$BUILD/.configure.log" >&2; return 1; }
  nice cmake --build "$BUILD" --parallel "${JOBS:-2}" -- "$@"
  rm -rf "$BUILD/seeds"
  python fuzz/make_seeds.py "$BUILD/seeds" >/dev/null
}
