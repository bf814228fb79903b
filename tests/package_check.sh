#!/usr/bin/env bash
# Builds the Debian package from the build folder given as $1 and checks its
# contents and dependencies, then unpacks it into a scratch root.
set -euo pipefail
build="$1"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/calvetra_*.deb)
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/calvetra ./usr/bin/chamber-sim ./usr/share/applications/calvetra.desktop \
         ./usr/share/icons/hicolor/scalable/apps/calvetra.svg ./usr/share/doc/calvetra/README.md \
         ./usr/share/doc/calvetra/docs/operator-guide.ru.md ./usr/share/doc/calvetra/docs/main-window.png; do
  grep -qF " $f" <<<"$contents" || { echo "missing from the package: $f"; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
for p in libqt6widgets6 libqt6gui6 libqt6core6 libqt6charts6; do
  grep -q "$p" <<<"$depends" || { echo "Depends lacks $p: $depends"; exit 1; }
done
dpkg-deb -x "$deb" "$out/root"
grep -q '^Exec=calvetra$' "$out/root/usr/share/applications/calvetra.desktop"
"$out/root/usr/bin/chamber-sim" --help >/dev/null
echo "package ok: $(basename "$deb")"
