# Sourced by the install tests: runs an installed appdeploy as a user would.

fail() { echo "FAIL: $*" >&2; exit 1; }

# check_installed_tool <installed appdeploy> <built appdeploy> <Sample.appinstaller> <new store folder>
# The installed tool prints the built tool's help and adds the sample into a store of its own,
# which trusts the sample's test certificate (made by the build beside the AppInstaller file).
check_installed_tool() {
  local exe=$1 built=$2 sample=$3 store=$4
  local help uri transcript full
  help=$("$exe" -?) || fail "$exe -? exited with $?"
  [ "$help" = "$("$built" -?)" ] || fail "$exe -? prints another help:"$'\n'"$help"

  # The AppInstaller file's own Uri attribute is the file: URI it is served from.
  uri=$(sed -n 's/^ *Uri="\(file:[^"]*\)".*/\1/p' "$sample")
  [ -n "$uri" ] || fail "no file: URI in $sample"
  trust_sample "$sample" "$store"
  transcript=$(APPDEPLOY_STORE=$store "$exe" -i "$uri" 2>&1) || fail "the add exited with $?:"$'\n'"$transcript"
  grep -qx 'Add package completed' <<<"$transcript" || fail "the add did not complete:"$'\n'"$transcript"
  [ -f "$store/registry.db" ] || fail "the add left no registry in $store"
  full=$(ls "$store/packages" 2>/dev/null) || true
  [ "$(wc -l <<<"$full")" = 1 ] && [ -f "$store/packages/$full/README.txt" ] ||
    fail "the add did not install one package with its files: $full"
}

# trust_sample <Sample.appinstaller> <store folder>: as an administrator trusts a publisher.
trust_sample() {
  install -D -m 0644 "$(dirname "$1")/SampleSigning.crt" "$2/trusted/SampleSigning.crt" ||
    fail "cannot trust the sample's certificate in $2"
}

# check_file_list <what> <expected files, one a line>: standard input lists the actual ones.
check_file_list() {
  local actual
  actual=$(sort)
  [ "$actual" = "$(sort <<<"$2")" ] ||
    fail "$1 holds other files (< expected, > actual):"$'\n'"$(diff <(sort <<<"$2") <(echo "$actual"))"
}
