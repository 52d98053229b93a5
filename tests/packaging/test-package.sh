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

# Sound is optional: the package installs on a default desktop, whose sound stack is
# pipewire-audio (which pulseaudio conflicts with), as apt would install it there.
[[ $depends == *pulseaudio* ]] && fail "Depends names pulseaudio, which conflicts with pipewire-audio: $depends"
[[ $(dpkg-deb --field "$deb" Recommends) == *pulseaudio* ]] || fail "Recommends lacks pulseaudio"
apt-cache show pipewire-audio >/dev/null 2>&1 \
    || fail "the package lists do not know pipewire-audio: run 'apt-get update' so that the installation beside it can be checked"
apt-get -s install "$deb" pipewire-audio >"$tmp/apt.log" 2>&1 \
    || { cat "$tmp/apt.log" >&2; fail "the package cannot be installed beside pipewire-audio"; }
for package in zel-client pipewire-audio; do
    grep -q "^Inst $package " "$tmp/apt.log" || { cat "$tmp/apt.log" >&2; fail "apt would not install $package"; }
done

lintian --fail-on error "$deb" >"$tmp/lintian.log" 2>&1 || { cat "$tmp/lintian.log" >&2; fail "lintian found errors"; }
echo "package $(basename "$deb") holds the client"
