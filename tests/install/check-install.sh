#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a user and a
# desktop get: the validators accept the menu entry and the metainfo, each
# installed program answers --version with the project's version (the window
# without a display), the manual pages render without warnings, and
# voxlet-cli reads its settings from the directory an option names.
# usage: check-install.sh BUILD_DIR VERSION GUI(ON/OFF)
set -uo pipefail
build=$1 version=$2 gui=$3
work=$(mktemp -d /tmp/voxlet-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; exit 1; }

programs=(voxlet-cli voxlet-phone)
pages=(voxlet-cli.1 voxlet-phone.1)
if [ "$gui" = ON ]; then
  programs+=(voxlet)
  pages+=(voxlet.1)
  app=$prefix/share/applications/io.voxlet.Voxlet.desktop
  # Hints are advice; errors and warnings fail.
  out=$(desktop-file-validate "$app" 2>&1) && ! grep -qE 'error|warning' <<<"$out" ||
    fail "desktop-file-validate: $out"
  icon=$(sed -n 's/^Icon=//p' "$app")
  [ -f "$prefix/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no icon named $icon"
  exec_line=$(sed -n 's/^Exec=//p' "$app")
  [ -x "$prefix/bin/${exec_line%% *}" ] || fail "Exec names no installed program: $exec_line"
  out=$(appstreamcli validate --no-net "$prefix/share/metainfo/io.voxlet.Voxlet.metainfo.xml" 2>&1) ||
    fail "appstreamcli: $out"
  grep -q "<release version=\"$version\"" "$prefix/share/metainfo/io.voxlet.Voxlet.metainfo.xml" ||
    fail "metainfo has no release $version"
  [ -f "$prefix/share/voxlet/help.html" ] || fail "no help page where Help looks"
fi

# No display and no platform: the window must not try to open.
bare() { (cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/$1" "${@:2}" 2>&1); }
for program in "${programs[@]}"; do
  out=$(bare "$program" --version)
  [ "$out" = "$program $version" ] || fail "$program --version printed '$out'"
  out=$(bare "$program" --help) && grep -q "^usage: $program" <<<"$out" || fail "$program --help: '$out'"
  out=$(bare "$program" --frobnicate)
  status=$?
  [ $status -eq 2 ] && grep -q -- '--frobnicate' <<<"${out%%$'\n'*}" ||
    fail "$program --frobnicate: status $status, '$out'"
done

unit=$prefix/lib/systemd/user/voxlet-cli.service
exec_line=$(sed -n 's/^ExecStart=//p' "$unit" 2>/dev/null)
# The unit names the configured prefix's program, not this temporary one.
[[ "$exec_line" == /*/bin/voxlet-cli\ --user-settings\ --reconnect ]] ||
  fail "the user unit does not start voxlet-cli --reconnect: '$exec_line'"

for page in "${pages[@]}"; do
  file=$prefix/share/man/man1/$page.gz
  if [ ! -f "$file" ]; then
    fail "no manual page $page"
    continue
  fi
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
done

# The settings file comes from the named directory, whichever option form;
# the working directory has none. Port 1 on loopback refuses at once.
mkdir -p "$work/dir" "$work/xdg/voxlet" "$work/cwd"
printf 'wifiServerAddr:127.0.0.1\ncontrolPort:1\n' | tee "$work/dir/settings.dat" >"$work/xdg/voxlet/settings.dat"
expected=$'state 1\nstate 0\nerror -5: Fail to connect to server.'
for args in "--settings-dir=$work/dir" "--settings-dir $work/dir" "--user-settings"; do
  # shellcheck disable=SC2086
  out=$(cd "$work/cwd" && XDG_CONFIG_HOME=$work/xdg "$prefix/bin/voxlet-cli" $args 2>&1)
  [ "$out" = "$expected" ] || fail "voxlet-cli $args: '$out'"
done
out=$(cd "$work/cwd" && "$prefix/bin/voxlet-cli" --control-port=1 2>&1)
[ "$out" = "Invalid target IP address." ] || fail "voxlet-cli without settings: '$out'"
out=$(env -u HOME -u XDG_CONFIG_HOME "$prefix/bin/voxlet-cli" --user-settings 2>&1)
[ $? -eq 2 ] && grep -q '^voxlet-cli: --user-settings needs' <<<"$out" || fail "no home: '$out'"

exit $((failures > 0))
