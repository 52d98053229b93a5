#!/usr/bin/env bash
# Builds the Debian package from the build folder into a temporary folder and checks what it
# carries, what it depends on, and that lintian finds no error in it.
# Arguments: the build folder, then paths (extended regular expressions, without the leading
# "./") that the package must hold besides the program, the library and the manual page.
set -euo pipefail
build_dir=$1
shift
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build_dir" && cpack -G DEB -B "$tmp" >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log" >&2; fail "cpack failed"; }
debs=("$tmp"/*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no package"
[ ${#debs[@]} -eq 1 ] || fail "expected one package, got: ${debs[*]}"
deb=${debs[0]}

dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./||' >"$tmp/contents"
for path in usr/bin/ZEL_Client 'usr/lib/(.*/)?libzelclient\.so\.0' usr/share/man/man1/ZEL_Client\.1\.gz \
    usr/share/applications/zel-client\.desktop usr/share/zel-client/translations/ZEL_Client_es\.qm "$@"; do
    grep -qxE "$path" "$tmp/contents" || fail "$path is not in the package: $(cat "$tmp/contents")"
done
grep -q "demo" "$tmp/contents" && fail "the demo tools are in the package"

depends=$(dpkg-deb --field "$deb" Depends)
for package in libqt5widgets5 nxproxy; do
    [[ $depends == *"$package"* ]] || fail "Depends lacks $package: $depends"
done

lintian --fail-on error "$deb" >"$tmp/lintian.log" 2>&1 || { cat "$tmp/lintian.log" >&2; fail "lintian found errors"; }
echo "package $(basename "$deb") holds the client"
