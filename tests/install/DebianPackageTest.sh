#!/usr/bin/env bash
# The Debian package that CPack makes from the build: its name, its files, its
# computed dependencies, the tool unpacked from it, and lintian's verdict.
# Usage: DebianPackageTest.sh <build folder> <built appdeploy> <Sample.appinstaller>
set -euo pipefail
build=$1 built=$2 sample=$3
source "$(dirname "$0")/InstalledTool.sh"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
log=$(cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" 2>&1) || fail "cpack failed:"$'\n'"$log"
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} = 1 ] || fail "cpack made ${#debs[@]} packages:"$'\n'"$log"
deb=${debs[0]}
[ "$(basename "$deb")" = "appdeploy_$(dpkg-deb -f "$deb" Version)_$(dpkg --print-architecture).deb" ] ||
  fail "the package is named $(basename "$deb")"

dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $NF }' | check_file_list "the package" "./usr/bin/appdeploy
./usr/share/man/man1/appdeploy.1.gz
./usr/share/doc/appdeploy/README.md
./usr/share/doc/appdeploy/copyright
./usr/share/doc/appdeploy/changelog.gz"

# Nothing names these libraries by hand: only dpkg-shlibdeps can have found them.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libsqlite3-0 libzip4 liburiparser1; do
  grep -qE "(^|, )$library( |,|$)" <<<"$depends" || fail "Depends lacks $library: $depends"
done

dpkg-deb -x "$deb" "$scratch/root"
check_installed_tool "$scratch/root/usr/bin/appdeploy" "$built" "$sample" "$scratch/store"

lintian_output=$(lintian --fail-on error "$deb" 2>&1) || fail "lintian finds errors:"$'\n'"$lintian_output"
echo "$(basename "$deb") built, unpacked and ran; lintian:"
echo "${lintian_output:-(nothing to report)}"
