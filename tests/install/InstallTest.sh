#!/usr/bin/env bash
# `cmake --install` into a fresh prefix puts the tool, its manual page and its
# documentation there, nothing else, and the installed tool works.
# Usage: InstallTest.sh <build folder> <built appdeploy> <Sample.appinstaller>
set -euo pipefail
build=$1 built=$2 sample=$3
source "$(dirname "$0")/InstalledTool.sh"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
log=$(cmake --install "$build" --prefix "$prefix" 2>&1) || fail "cmake --install failed:"$'\n'"$log"

(cd "$prefix" && find . ! -type d) | check_file_list "the prefix" "./bin/appdeploy
./share/man/man1/appdeploy.1.gz
./share/doc/appdeploy/README.md
./share/doc/appdeploy/LICENSE"

found=$(MANPATH=$prefix/share/man man -w appdeploy) || fail "man does not find appdeploy under $prefix"
[ "$found" = "$prefix/share/man/man1/appdeploy.1.gz" ] || fail "man finds $found"
grep -q '^MIT License' "$prefix/share/doc/appdeploy/LICENSE" || fail "the installed LICENSE is not the MIT license"

check_installed_tool "$prefix/bin/appdeploy" "$built" "$sample" "$scratch/store"
echo "installed into $prefix and ran"
