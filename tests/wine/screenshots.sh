#!/bin/sh
# Takes the README's pictures of the program's boxes: the notice, the final
# message and a failure, each as Wine shows it on a virtual desktop (so that
# Wine draws the caption), cropped to the box with a margin.
#
# usage: tests/wine/screenshots.sh [EXE]
# EXE defaults to the 32-bit product where 32-bit Wine runs, else to the
# x86-64 build of the same sources. Writes docs/box-notice.png,
# docs/box-success.png and docs/box-failure.png. Needs Xvfb, xdotool,
# xwininfo and ImageMagick; makes its own Wine prefix and X display.
set -eu

top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
xvfb_pid=""
cleanup() {
  # Each step is best effort: what remains is removed with the folder.
  WINEPREFIX="$work/prefix" "$wineserver" -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
wineserver=/usr/lib/wine/wineserver
trap cleanup EXIT

export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# The display is just the desktop's size, so the root window is the desktop.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"

timeout 300 /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1

# The caption's buttons are glyphs of the Marlett font. Wine ships one
# (Debian: fonts-wine) but does not look where Debian puts it, and without
# it the close button shows an "r". In the prefix's Fonts folder, where
# Windows keeps it, Wine finds it.
marlett=""
for candidate in /usr/share/wine/fonts/marlett.ttf /usr/share/wine/wine/fonts/marlett.ttf \
                 /opt/wine-stable/share/wine/fonts/marlett.ttf; do
  [ -f "$candidate" ] && marlett=$candidate && break
done
if [ -z "$marlett" ]; then
  echo "no marlett.ttf: install fonts-wine" >&2
  exit 1
fi
cp "$marlett" "$WINEPREFIX/drive_c/windows/Fonts/"

if [ $# -ge 1 ]; then
  exe=$(realpath "$1")
elif timeout 60 wine cmd /c exit >/dev/null 2>&1; then
  exe="$top/build/windows/TalvenClient_SET.exe"
else
  exe="$top/build/windows64/TalvenClient_SET.exe"
fi
case $(file -b "$exe") in
  PE32+*) wine=/usr/lib/wine/wine64 ;;
  *) wine=wine ;;
esac
echo "pictures of $exe"

# The program's box once it shows, in $window.
wait_for_box() {
  window=""
  for _ in $(seq 300); do
    window=$(xdotool search --onlyvisible --name '^TALVEN Client$' 2>/dev/null | head -n 1) || true
    [ -n "$window" ] && return 0
    sleep 0.1
  done
  echo "no box appeared" >&2
  exit 1
}

# Presses Return on the box in $window and waits until it has gone.
dismiss() {
  xdotool windowfocus --sync "$window" key Return
  for _ in $(seq 100); do
    xwininfo -id "$window" 2>/dev/null | grep -q IsViewable || return 0
    sleep 0.1
  done
}

# Photographs the box in $window into docs/$1.
shoot() {
  sleep 1  # let Wine finish painting the box
  geometry=$(xwininfo -id "$window")
  x=$(echo "$geometry" | awk '/Absolute upper-left X/ {print $4}')
  y=$(echo "$geometry" | awk '/Absolute upper-left Y/ {print $4}')
  w=$(echo "$geometry" | awk '/Width:/ {print $2}')
  h=$(echo "$geometry" | awk '/Height:/ {print $2}')
  margin=16
  import -window root "$work/root.png"
  convert "$work/root.png" \
    -crop "$((w + 2 * margin))x$((h + 2 * margin))+$((x - margin))+$((y - margin))" \
    +repage -strip "$top/docs/$1"
}

mkdir -p "$top/docs" "$work/typical" "$work/missing"
printf 'exe 1' >"$work/typical/TALVENClient.exe"
printf 'exe 2' >"$work/typical/TALVENClient_NEW.exe"
printf '7.0.001' >"$work/typical/TALVENClient_VER.txt"
printf 'exe 1' >"$work/missing/TALVENClient.exe"

# A typical update: the notice, then the final message.
(cd "$work/typical" && exec timeout 120 "$wine" explorer /desktop=TALVEN,800x600 "$exe") &
run=$!
wait_for_box && shoot box-notice.png && dismiss
wait_for_box && shoot box-success.png && dismiss
wait "$run" || true  # the desktop's own exit status says nothing here

# No new executable delivered: the notice, then the error.
(cd "$work/missing" && exec timeout 120 "$wine" explorer /desktop=TALVEN,800x600 "$exe") &
run=$!
wait_for_box && dismiss
wait_for_box && shoot box-failure.png && dismiss
wait "$run" || true
echo "wrote docs/box-notice.png docs/box-success.png docs/box-failure.png"
