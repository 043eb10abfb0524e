# Sourced by the build scripts: compiler caching shared by every build tree.
#
# The C++ unit tests and the extension module for each interpreter compile the
# same core library; with ccache (when installed) only the first tree pays for
# it. KARVEL_CACHE_DIR lets several clones share the compiler cache as well.

# One compiler name for every tree (ccache keys include it); otherwise the
# Python build would take the interpreter's own configured compiler name.
export CXX=${CXX:-g++}

if command -v ccache >/dev/null 2>&1 && [[ ${KARVEL_CCACHE:-1} != 0 ]]; then
  export CCACHE_DIR=${CCACHE_DIR:-${KARVEL_CACHE_DIR:-$REPO/.cache}/ccache}
  # Objects do not depend on where the tree lies: clones and trees share hits.
  export CCACHE_BASEDIR=$REPO
  export CCACHE_NOHASHDIR=true
  export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-2G}
  KARVEL_CMAKE_LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export SKBUILD_CMAKE_DEFINE=CMAKE_CXX_COMPILER_LAUNCHER=ccache${SKBUILD_CMAKE_DEFINE:+;$SKBUILD_CMAKE_DEFINE}
else
  KARVEL_CMAKE_LAUNCHER=()
fi
