# Sourced by the build scripts from the checkout's top: compile through ccache where it is
# installed, keyed on paths relative to the checkout, so that a fresh clone elsewhere reuses
# what an earlier build compiled (CI builds the same sources four ways).
if command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
fi
