#!/usr/bin/env bash
# Installs the build into a temporary prefix, moves it, and runs the installed program there:
# it must find its library and its translations relative to itself, not in the build tree.
set -euo pipefail
build_dir=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build_dir" --prefix "$tmp/first" >/dev/null
mv "$tmp/first" "$tmp/moved"
program="$tmp/moved/bin/ZEL_Client"
[ -x "$program" ] || fail "no installed program at $program"

mkdir -p "$tmp/home" "$tmp/work"
run() {   # runs the installed program from an empty working folder, without a display
    (cd "$tmp/work" && env -u LD_LIBRARY_PATH -u DISPLAY -u WAYLAND_DISPLAY -u LC_ALL -u LC_MESSAGES -u LANGUAGE \
        HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/home/config" XDG_DATA_HOME="$tmp/home/data" \
        QT_QPA_PLATFORM=offscreen "$@")
}

version=$(run "$program" --version 2>"$tmp/version.err") || fail "--version failed: $(cat "$tmp/version.err")"
[ -n "$version" ] || fail "--version printed nothing"

run "$program" --help >"$tmp/help.out" 2>"$tmp/help.err" || fail "--help failed: $(cat "$tmp/help.err")"
grep -q -- "--host" "$tmp/help.out" || fail "--help lists no options"

# The Spanish translation ships with the program and comes from the installed folder.
installed_translations="$tmp/moved/share/zel-client/translations"
run env LANG=es_ES.UTF-8 "$program" --help --verbose >"$tmp/help-es.out" 2>"$tmp/help-es.err" || fail "--help in Spanish failed"
grep -q "Loaded translation for .* from \"$installed_translations\"" "$tmp/help-es.err" \
    || fail "translation not loaded from $installed_translations: $(cat "$tmp/help-es.err")"
cmp -s "$tmp/help.out" "$tmp/help-es.out" && fail "the Spanish help is the English one"

# The manual page is installed and formats without warnings.
manual="$tmp/moved/share/man/man1/ZEL_Client.1.gz"
[ -f "$manual" ] || fail "no manual page at $manual"
warnings=$(MANWIDTH=80 man --warnings -l "$manual" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "manual page warnings: $warnings"

desktop-file-validate "$tmp/moved/share/applications/zel-client.desktop" || fail "desktop file is not valid"
echo "installed program runs from $tmp/moved"
