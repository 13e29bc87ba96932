#!/usr/bin/env bash
# manual_pdf_test.sh <pdf>: the manual was made, holds its chapters and
# embeds every font it uses (the Japanese one above all).
set -euo pipefail
pdf=$1
fail() { echo "manual_pdf_test: $*" >&2; exit 1; }
[ -s "$pdf" ] || fail "no manual at $pdf"

pages=$(pdfinfo "$pdf" | awk '/^Pages:/ {print $2}')
[ "$pages" -ge 5 ] || fail "only $pages pages"
text=$(pdftotext -enc UTF-8 "$pdf" -)
for heading in "Mirvo 取扱説明書" "1. インストール" "2. 電話機との接続" "2.3 デバイスの権限（dialout グループ）" \
  "3. パスワード" "4. 表示と並べ替え" "5. 検索とワイルドカード" "5.2 例" "6. ファイルの取得" "7. ファイルの送信" \
  "8. 切り取り・コピー・貼り付けとドラッグ＆ドロップ" "9. ファイルの削除" "10. 転送結果" "11. 設定ファイル" \
  "12. 通信ログ（debug.log）" "13. コマンド mirvo-cli"; do
  grep -qF "$heading" <<<"$text" || fail "heading missing: $heading"
done
# A "|" inside a table cell must survive as text.
grep -qF '[=jpg|jpeg]' <<<"$text" || fail "the alternatives example lost its |"

fonts=$(pdffonts "$pdf" | tail -n +3)
grep -q 'IPAPGothic' <<<"$fonts" || fail "the Japanese font is not used: $fonts"
# Columns from the right: object number, generation, uni, sub, emb.
not_embedded=$(awk '$(NF-4) != "yes"' <<<"$fonts")
[ -z "$not_embedded" ] || fail "fonts not embedded: $not_embedded"
echo "manual_pdf_test: ok ($pages pages)"
