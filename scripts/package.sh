#!/usr/bin/env bash
# Builds the Debian package from a Linux build and the Windows zip from a MinGW build,
# checks what each holds, lints the package and the manual pages, and runs the tool as
# installed from the package into a scratch root.
# Usage: scripts/package.sh LINUX_BUILD_DIR WIN_BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
linux=$1
win=$2

echo "== packages: manual pages"
for page in docs/vorlaloader.1 docs/vorla-gang.1 docs/vorla-report.1 docs/vorla-devsim.1; do
  groff -ww -z -man "$page"
  mandoc -T lint -W warning "$page"
done

echo "== packages: .deb"
rm -f "$linux"/vorlaloader_*.deb
(cd "$linux" && cpack -G DEB >/dev/null)
deb=$(ls "$linux"/vorlaloader_*.deb)
contents=$(dpkg-deb -c "$deb")
for want in ./usr/bin/vorlaloader ./usr/bin/vorla-gang ./usr/bin/vorla-report ./usr/bin/vorla-devsim \
  ./usr/share/man/man1/vorlaloader.1.gz ./usr/share/man/man1/vorla-gang.1.gz ./usr/share/man/man1/vorla-report.1.gz \
  ./usr/share/man/man1/vorla-devsim.1.gz ./usr/share/doc/vorlaloader/README.md \
  ./usr/share/doc/vorlaloader/copyright; do
  grep -q " $want\$" <<<"$contents" || { echo "missing from the .deb: $want"; exit 1; }
done
[[ $(dpkg-deb -f "$deb" Section) == electronics ]] || { echo "section is not electronics"; exit 1; }
lint=$(lintian "$deb" 2>&1 | grep -E '^[EW]: ' || true)
[[ -z $lint ]] || { echo "lintian: $lint"; exit 1; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
# Each installed program, run without arguments, prints its usage text and exits with 1.
for program in vorlaloader vorla-gang vorla-report; do
  set +e
  out=$("$root/usr/bin/$program")
  code=$?
  set -e
  [[ $code -eq 1 ]] || { echo "installed $program without arguments: exit $code, want 1"; exit 1; }
  grep -qF "Command: $program[.exe]" <<<"$out" || { echo "installed $program printed no usage text"; exit 1; }
done
echo "$(basename "$deb"): contents, lintian and the installed programs are right"

echo "== packages: Windows zip"
rm -f "$win"/vorlaloader-*.zip
(cd "$win" && cpack -G ZIP >/dev/null)
zip=$(ls "$win"/vorlaloader-*.zip)
listing=$(unzip -l "$zip")
for want in vorlaloader.exe vorla-gang.exe vorla-report.exe README.md; do
  grep -q "/$want\$" <<<"$listing" || { echo "missing from the zip: $want"; exit 1; }
done
echo "$(basename "$zip"): holds vorlaloader.exe, vorla-gang.exe, vorla-report.exe and README.md"
