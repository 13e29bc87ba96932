#!/usr/bin/env bash
# install_tree_test.sh <build dir>: the installed tree holds exactly the
# program's files, and the desktop entry and AppStream data validate.
set -euo pipefail
build=$1
prefix=$(mktemp -d /tmp/mirvo-install.XXXXXX)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "install_tree_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

expected=$(sort <<'LIST'
bin/mirvo
bin/mirvo-cli
share/applications/jp.zqr.mirvo.desktop
share/doc/mirvo/changelog.gz
share/doc/mirvo/copyright
share/doc/mirvo/取扱説明書.pdf
share/icons/hicolor/scalable/apps/jp.zqr.mirvo.svg
share/man/man1/mirvo-cli.1.gz
share/man/man1/mirvo.1.gz
share/man/ja/man1/mirvo-cli.1.gz
share/man/ja/man1/mirvo.1.gz
share/metainfo/jp.zqr.mirvo.metainfo.xml
LIST
)
actual=$(cd "$prefix" && find . -type f -printf '%P\n' | LC_ALL=C sort)
[ "$actual" = "$(LC_ALL=C sort <<<"$expected")" ] ||
  fail "installed files differ:$(diff <(LC_ALL=C sort <<<"$expected") <(echo "$actual"))"

for exe in mirvo mirvo-cli; do [ -x "$prefix/bin/$exe" ] || fail "bin/$exe is not executable"; done
usage=$("$prefix/bin/mirvo-cli" --help) || fail "installed mirvo-cli does not run"
grep -q '^Usage: mirvo-cli' <<<"$usage" || fail "installed mirvo-cli gives no usage"

desktop=$prefix/share/applications/jp.zqr.mirvo.desktop
desktop-file-validate "$desktop" || fail "desktop entry does not validate"
grep -qx 'Exec=mirvo %F' "$desktop" || fail "desktop entry does not pass files"
grep -qx 'Categories=Utility;' "$desktop" || fail "desktop entry category"
grep -q '^Name\[ja\]=' "$desktop" && grep -q '^Comment\[ja\]=' "$desktop" || fail "no Japanese name or comment"
appstreamcli validate --no-net --pedantic "$prefix/share/metainfo/jp.zqr.mirvo.metainfo.xml" >/dev/null ||
  fail "AppStream data does not validate"

# The pages must render without groff complaints, the Japanese ones too.
warnings=$(for page in man1/mirvo man1/mirvo-cli ja/man1/mirvo ja/man1/mirvo-cli; do
  zcat "$prefix/share/man/$page.1.gz" | LC_ALL=C.UTF-8 groff -k -man -Tutf8 -ww -z 2>&1; done)
[ -z "$warnings" ] || fail "man page: $warnings"
echo "install_tree_test: ok"
