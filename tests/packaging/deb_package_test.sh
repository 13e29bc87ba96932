#!/usr/bin/env bash
# deb_package_test.sh <build dir>: CPack makes a .deb whose dependencies come
# from the binaries and add Qt's translations, with the Japanese man pages,
# and lintian finds no error in it.
set -euo pipefail
build=$1
out=$(mktemp -d /tmp/mirvo-deb.XXXXXX)
trap 'rm -rf "$out"' EXIT
fail() { echo "deb_package_test: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/mirvo_*.deb)
depends=$(dpkg-deb --field "$deb" Depends)
grep -q 'libqt6widgets6' <<<"$depends" || fail "Depends lacks the Qt libraries: $depends"
# Qt's own buttons and menus are English without its translations.
grep -q 'qt6-translations-l10n' <<<"$depends" || fail "Depends lacks Qt's translations: $depends"
grep -q 'pdf-viewer' <<<"$(dpkg-deb --field "$deb" Recommends)" || fail "no PDF viewer recommended for the manual"
contents=$(dpkg-deb --contents "$deb")
grep -q ' ./usr/bin/mirvo$' <<<"$contents" || fail "no /usr/bin/mirvo in the package"
for page in mirvo mirvo-cli; do
  grep -q " ./usr/share/man/ja/man1/$page.1.gz$" <<<"$contents" || fail "no Japanese man page for $page"
done
lintian --fail-on error "$deb" || fail "lintian reports errors"
echo "deb_package_test: ok"
