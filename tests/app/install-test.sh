#!/usr/bin/env bash
# Installs the build into a temporary prefix and starts the installed program offscreen
# through its launcher link: it must find its library folder beside the real program.
#   install-test.sh BUILD_DIR WORK_DIR
set -euo pipefail
build="$1"
root="$2"
rm -rf "$root"
mkdir -p "$root/home"
prefix="$root/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "install-test: $*" >&2; exit 1; }
[ -L "$prefix/bin/pelorix" ] || fail "no launcher link in bin/"
[ -x "$prefix/lib/pelorix/pelorix" ] || fail "no program in lib/pelorix/"
[ -e "$prefix/lib/pelorix/lib/libavcodec.so" ] || fail "no library folder beside the program"
[ -f "$prefix/share/applications/pelorix.desktop" ] || fail "no desktop entry"
grep -q '^Exec=pelorix$' "$prefix/share/applications/pelorix.desktop" || fail "desktop entry does not start pelorix"
[ -f "$prefix/share/icons/hicolor/scalable/apps/pelorix.svg" ] || fail "no icon"

# Started from somewhere else, through the link, as a desktop launcher would.
cd "$root"
out="$(HOME="$root/home" QT_QPA_PLATFORM=offscreen PELORIX_STARTUP_CHECK=1 PATH="$prefix/bin:$PATH" pelorix)" \
  || fail "the installed program did not start: $out"
expected="pelorix: library folder $prefix/lib/pelorix/lib loaded"
[ "$out" = "$expected" ] || fail "unexpected start-up line: $out (wanted: $expected)"

# Without a display it says so in one line and does not abort.
set +e
msg="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/pelorix" 2>&1)"
status=$?
set -e
[ "$status" -eq 3 ] || fail "without a display: status $status ($msg)"
[ "$(printf '%s\n' "$msg" | wc -l)" -eq 1 ] || fail "without a display: more than one line: $msg"
echo "install-test: installed program starts and finds $prefix/lib/pelorix/lib"
