#!/bin/sh
# packaging/build-package.sh TREE [JOBS]: makes the Debian package quantoria_<version>_<arch>.deb
# in TREE, a Release tree of its own (configured here, built with JOBS parallel jobs, default 2),
# with CPack's DEB generator, and prints the package's path on its last line.
#
# The tree is compiled with the flags Debian builds its packages with (dpkg-buildflags), all
# hardening features on (DEB_BUILD_MAINT_OPTIONS=hardening=+all: stack protector, fortified libc
# calls, format checks, full RELRO with immediate binding, PIE), and their optimisation (-O2, in
# place of CMake's Release -O3, with which GCC 12 gives false -Wrestrict warnings in libstdc++'s
# string code). -g is left out: the programs are stripped and no debug symbol package is made. Needs dpkg-dev (dpkg-buildflags, dpkg-shlibdeps)
# and file (CPack finds the programs to hand to dpkg-shlibdeps with it).
set -eu

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 TREE [JOBS]" >&2
    exit 2
fi
source_dir=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
tree=$(cd "$1" && pwd)
jobs=${2:-2}

for tool in dpkg-buildflags dpkg-shlibdeps file; do
    command -v "$tool" >/dev/null || {
        echo "$0: $tool not found: install the Debian packages dpkg-dev and file" >&2
        exit 1
    }
done

start=$(date +%s)
# From the source folder, so that -ffile-prefix-map maps it to "." in the programs.
cd "$source_dir"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags=$(printf '%s %s' "$(dpkg-buildflags --get CPPFLAGS)" "$(dpkg-buildflags --get CXXFLAGS)" |
    sed -E 's/(^| )-g( |$)/ /g')
ldflags=$(dpkg-buildflags --get LDFLAGS)

cmake -S "$source_dir" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX=/usr -DQUANTORIA_TESTS=OFF -DQUANTORIA_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$tree" -j "$jobs"

# Only this version's package: an older one left in the tree is not it.
version=$(sed -En 's/^set\(CPACK_PACKAGE_VERSION "([^"]*)"\)$/\1/p' "$tree/CPackConfig.cmake")
package="$tree/quantoria_${version}_$(dpkg --print-architecture).deb"
rm -f "$package"
(cd "$tree" && cpack --config CPackConfig.cmake >/dev/null)
[ -f "$package" ] || {
    echo "$0: CPack did not make $package" >&2
    exit 1
}
echo "package built in $(($(date +%s) - start)) s: $(du -k "$package" | cut -f1) KiB"
echo "$package"
