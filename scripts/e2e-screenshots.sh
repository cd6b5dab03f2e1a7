#!/usr/bin/env bash
# Takes the README's screenshots from a real run: vornfeed.exe under Wine in a
# virtual desktop (taskbar and notification area visible) on Xvfb, the tray
# icon right-clicked for the popup menu, then its version item chosen.
#
#   scripts/e2e-screenshots.sh [VORNFEED_EXE] [OUT_DIR]
#
# Defaults: build/win64/src/app/vornfeed.exe and docs/. Needs root (a private
# mount namespace for the Wine prefix), xdotool, ImageMagick and a Japanese
# font (installed here when missing, so the menu's texts are readable).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
exe=$(realpath "${1:-$root/build/win64/src/app/vornfeed.exe}")
out=$(realpath -m "${2:-$root/docs}")

if [ -z "${VORNFEED_IN_NETNS:-}" ]; then
    [ -f "$exe" ] || { echo "error: no $exe (scripts/build.sh win64)" >&2; exit 1; }
    if ! fc-list :lang=ja | grep -q .; then
        echo "==> Installing a Japanese font (fonts-ipafont-gothic)"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends fonts-ipafont-gothic >/dev/null
    fi
    exec "$root/scripts/netns-run.sh" -- "$0" "$exe" "$out"
fi

# shellcheck source=e2e-lib.sh
source "$root/scripts/e2e-lib.sh"
E2E_WORK=$(mktemp -d /tmp/vornfeed-shots.XXXXXX)
trap 'e2e_cleanup; rm -rf "$E2E_WORK"' EXIT
e2e_private_prefix || e2e_die "no booted Wine prefix" "run scripts/wine-prefix.sh"
e2e_wine_env
e2e_start_xvfb
mkdir -p "$E2E_WORK/srv" "$out"
cp "$exe" "$E2E_WORK/srv/vornfeed.exe"

# Wine draws menus and boxes in Tahoma, which has no Japanese: link a
# Japanese font behind it (in our private prefix only).
for face in Tahoma "MS Shell Dlg" "MS Shell Dlg 2" "Segoe UI"; do
    "$E2E_WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
        /v "$face" /t REG_MULTI_SZ /d 'ipagp.ttf,IPAPGothic' /f >/dev/null 2>&1
done

width=640
height=400
(cd "$E2E_WORK/srv" && exec "$E2E_WINE" explorer "/desktop=Vornfeed,${width}x${height}" vornfeed.exe) \
    >"$E2E_WORK/wine.out" 2>&1 &
E2E_PIDS+=($!)

desktop=
for _ in $(seq 1 100); do
    desktop=$(xdotool search --name 'Wine desktop' 2>/dev/null | head -n1 || true)
    [ -n "$desktop" ] && break
    sleep 0.2
done
[ -n "$desktop" ] || e2e_die "no Wine desktop window appeared"
# The icon is the only one in the notification area, at the taskbar's right end.
sleep 6
shot() { import -window "$desktop" "$1"; }
xdotool mousemove --window "$desktop" $((width - 11)) $((height - 10)) click 3
sleep 2
shot "$out/tray-menu.png"
# The popup opens up and to the left of the cursor at the screen's corner;
# its first item, about 30 pixels above the cursor, is the version box.
xdotool mousemove --window "$desktop" $((width - 60)) $((height - 30)) click 1
sleep 2
shot "$out/version-box.png"
echo "$out/tray-menu.png"
echo "$out/version-box.png"
