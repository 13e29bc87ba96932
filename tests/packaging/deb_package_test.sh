#!/usr/bin/env bash
# deb_package_test.sh <build dir>: CPack makes a .deb whose dependencies come
# from the binaries, and lintian finds no error in it.
set -euo pipefail
build=$1
out=$(mktemp -d /tmp/mirvo-deb.XXXXXX)
trap 'rm -rf "$out"' EXIT
fail() { echo "deb_package_test: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/mirvo_*.deb)
depends=$(dpkg-deb --field "$deb" Depends)
grep -q 'libqt6widgets6' <<<"$depends" || fail "Depends lacks the Qt libraries: $depends"
contents=$(dpkg-deb --contents "$deb")
grep -q ' ./usr/bin/mirvo$' <<<"$contents" || fail "no /usr/bin/mirvo in the package"
lintian --fail-on error "$deb" || fail "lintian reports errors"
echo "deb_package_test: ok"
