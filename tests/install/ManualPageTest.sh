#!/usr/bin/env bash
# The manual page lists exactly the options the help prints, with the same
# argument, description and default; and man renders it without a warning.
# Usage: ManualPageTest.sh <appdeploy> <appdeploy.1>
set -euo pipefail
exe=$1 page=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

# "  -i [ --long ] arg (=default)   Description", the description on the next
# line when the option is too wide. One "short long arg|- default|- description" per option.
help_options() {
  awk '
    function emit() { if (short != "") print short, long, arg, dflt, desc; short = "" }
    /^  -/ {
      emit()
      short = $1; long = $3; arg = "-"; dflt = "-"
      rest = $0; sub(/^[^]]*\] ?/, "", rest)
      if (rest ~ /^arg/) { arg = "arg"; sub(/^arg ?/, "", rest) }
      if (rest ~ /^\(=/) { dflt = rest; sub(/^\(=/, "", dflt); sub(/\).*/, "", dflt); sub(/^[^)]*\)/, "", rest) }
      desc = rest; sub(/^ +/, "", desc)
      next
    }
    short != "" && desc == "" && /^ +[^ ]/ { desc = $0; sub(/^ +/, "", desc) }
    END { emit() }'
}

# The OPTIONS section as man renders it: "       -i, --long uri" then the body indented further.
manual_options() {
  awk '
    function emit() { if (short != "") print short, long, arg, body; short = "" }
    /^[A-Z]/ { emit(); inside = ($0 == "OPTIONS"); next }
    !inside { next }
    /^       -/ {
      emit()
      short = $1; sub(/,$/, "", short); long = $2; arg = (NF > 2) ? "arg" : "-"; body = ""
      next
    }
    short != "" && NF > 0 { line = $0; sub(/^ +/, "", line); body = body " " line }
    END { emit() }'
}

help=$("$exe" -?) || fail "appdeploy -? exited with $?"
rendered=$(LC_ALL=C MANWIDTH=1000 man -l "$page" 2>/dev/null) || fail "man cannot render $page"
from_help=$(help_options <<<"$help")
from_manual=$(manual_options <<<"$rendered")
[ -n "$from_help" ] || fail "no option found in the help:"$'\n'"$help"

names_help=$(awk '{ print $1, $2, $3 }' <<<"$from_help" | sort)
names_manual=$(awk '{ print $1, $2, $3 }' <<<"$from_manual" | sort)
if [ "$names_help" != "$names_manual" ]; then
  fail "options differ (< help, > manual page):"$'\n'"$(diff <(echo "$names_help") <(echo "$names_manual"))"
fi

while read -r short long arg dflt desc; do
  body=$(awk -v s="$short" '$1 == s { $1 = $2 = $3 = ""; print }' <<<"$from_manual")
  grep -qiF -- "$desc" <<<"$body" || fail "$short: the manual page does not say \"$desc\""
  if [ "$dflt" != "-" ]; then
    grep -qF -- "$dflt" <<<"$body" || fail "$short: the manual page does not give the default $dflt"
  fi
done <<<"$from_help"

warnings=$(LC_ALL=C MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man warns about $page:"$'\n'"$warnings"
echo "manual page options match the help: $(wc -l <<<"$from_help")"
