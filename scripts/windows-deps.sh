#!/usr/bin/env bash
# Builds, for the Windows cross build, the libraries it links into a prefix of
# the build's own (build/windows-deps, or $QV_WINDOWS_DEPS), which the MinGW
# toolchain file searches:
#   SQLite      the amalgamation of Debian's own sqlite3 source package, as a
#               static library
#   GoogleTest  from the sources libgtest-dev installs (/usr/src/googletest)
#   CLI11, nlohmann_json  the host's header-only packages, headers and CMake
#               package files copied (the host's /usr/include must not be on
#               the cross include path: its C headers would hide MinGW's)
# Each is made once; one already in the prefix is skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
prefix=${QV_WINDOWS_DEPS:-$root/build/windows-deps}
work=$prefix/src
toolchain=$root/cmake/toolchain-mingw-w64.cmake
triple=x86_64-w64-mingw32
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
mkdir -p "$prefix/include" "$prefix/lib" "$work"

# apt-get source needs a deb-src entry; Debian 12 lists only binary ones.
ensure_deb_src() {
  if grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return
  fi
  local codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$codename" | $sudo tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
  $sudo apt-get update -qq
}

build_sqlite() {
  [ -f "$prefix/lib/libsqlite3.a" ] && [ -f "$prefix/include/sqlite3.h" ] && return
  ensure_deb_src
  rm -rf "$work/sqlite3"
  mkdir -p "$work/sqlite3"
  cd "$work/sqlite3"
  # The source lists may never have been fetched although the entry exists.
  apt-get source -qq sqlite3 >/dev/null 2>&1 || {
    $sudo apt-get update -qq
    apt-get source -qq sqlite3 >/dev/null
  }
  cd "$(find . -mindepth 1 -maxdepth 1 -type d -name 'sqlite3-*' | head -n 1)"
  ./configure -q >/dev/null
  make -s sqlite3.c >/dev/null
  # The options of Debian's build that change what the library does for its
  # callers: thread safety, URI file names, secure delete, the schema retry
  # count and the bound-parameter limit, and LIKE never matching a BLOB.
  "$triple-gcc-posix" -O2 -c sqlite3.c -o sqlite3.o \
    -DSQLITE_THREADSAFE=1 -DSQLITE_USE_URI=1 -DSQLITE_SECURE_DELETE \
    -DSQLITE_MAX_SCHEMA_RETRY=25 -DSQLITE_MAX_VARIABLE_NUMBER=250000 \
    -DSQLITE_LIKE_DOESNT_MATCH_BLOBS
  rm -f "$prefix/lib/libsqlite3.a"
  "$triple-ar" rcs "$prefix/lib/libsqlite3.a" sqlite3.o
  cp sqlite3.h sqlite3ext.h "$prefix/include/"
  cd "$root"
}

build_googletest() {
  [ -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ] && return
  rm -rf "$work/googletest-build"
  cmake -S /usr/src/googletest -B "$work/googletest-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF -Dgtest_disable_pthreads=OFF \
    >/dev/null
  cmake --build "$work/googletest-build" -j 2 >/dev/null
  cmake --install "$work/googletest-build" >/dev/null
}

# The packages' CMake files locate the headers relative to themselves
# (three folders up), so the copies describe the prefix, not /usr.
copy_header_only() {
  local headers=$1 package=$2
  [ -f "$prefix/share/cmake/$package/${package}Config.cmake" ] && return
  rm -rf "${prefix:?}/include/$headers"
  cp -r "/usr/include/$headers" "$prefix/include/"
  mkdir -p "$prefix/share/cmake"
  cp -r "/usr/share/cmake/$package" "$prefix/share/cmake/"
}

build_sqlite
build_googletest
copy_header_only CLI CLI11
copy_header_only nlohmann nlohmann_json
