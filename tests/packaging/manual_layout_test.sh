#!/usr/bin/env bash
# manual_layout_test.sh <mirvo-manual>: a table longer than a page keeps
# each row whole on one page and shows its header again on every page.
set -euo pipefail
maker=$1
dir=$(mktemp -d /tmp/mirvo-manual.XXXXXX)
trap 'rm -rf "$dir"' EXIT
fail() { echo "manual_layout_test: $*" >&2; exit 1; }

# Rows of three lines each, so that some row meets each page's end.
{
  printf '# T\n\n| head1 | head2 |\n|---|---|\n'
  for i in $(seq 1 45); do printf '| r%dstart | r%dfirst %s r%dlast |\n' "$i" "$i" "$(printf 'word %.0s' $(seq 1 40))" "$i"; done
} >"$dir/t.md"
QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0 "$maker" "$dir/t.md" "$dir/t.pdf"
pages=$(pdfinfo "$dir/t.pdf" | awk '/^Pages:/ {print $2}')
[ "$pages" -ge 3 ] || fail "only $pages pages"
for page in $(seq 1 "$pages"); do
  text=$(pdftotext -f "$page" -l "$page" -enc UTF-8 "$dir/t.pdf" -)
  grep -q 'head1' <<<"$text" || fail "page $page has no header"
  grep -o 'r[0-9]*\(start\|first\|last\)' <<<"$text" | sed "s/[a-z]*$/ $page/; s/^r//" 
done | sort -u | awk '{pages[$1] = pages[$1] " " $2; n[$1]++} END {for (r in n) if (n[r] > 1) {print "row " r " on pages" pages[r]; bad = 1}; exit bad}' ||
  fail "rows cut across pages"
echo "manual_layout_test: ok ($pages pages)"
