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
for f in ./usr/bin/calvetra ./usr/bin/chamber-sim ./usr/bin/calvetra-recorder \
         ./usr/share/applications/calvetra.desktop ./usr/share/icons/hicolor/scalable/apps/calvetra.svg \
         ./usr/lib/systemd/system/calvetra-recorder.service ./usr/lib/sysusers.d/calvetra.conf \
         ./etc/calvetra/recorder.conf ./usr/share/doc/calvetra/README.md \
         ./usr/share/doc/calvetra/docs/operator-guide.ru.md ./usr/share/doc/calvetra/docs/main-window.png \
         ./usr/share/doc/calvetra/docs/recorder.md; do
  grep -qF " $f" <<<"$contents" || { echo "missing from the package: $f"; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
for p in libqt6widgets6 libqt6gui6 libqt6core6 libqt6charts6; do
  grep -q "$p" <<<"$depends" || { echo "Depends lacks $p: $depends"; exit 1; }
done
dpkg-deb -x "$deb" "$out/root"
grep -q '^Exec=calvetra$' "$out/root/usr/share/applications/calvetra.desktop"
"$out/root/usr/bin/chamber-sim" --help >/dev/null
# The sample configuration is kept through upgrades, and it reads.
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/calvetra/recorder.conf
"$out/root/usr/bin/calvetra-recorder" --check --config "$out/root/etc/calvetra/recorder.conf" 2>/dev/null
# The recorder runs without a display: no widgets, no Qt Gui.
if ldd "$out/root/usr/bin/calvetra-recorder" | grep -qE 'libQt6(Gui|Widgets)'; then
  echo "calvetra-recorder links Qt Gui or Widgets"; exit 1
fi
# The unit as systemd reads it, pointed at the unpacked program.
if command -v systemd-analyze >/dev/null; then
  sed "s|/usr/bin/calvetra-recorder|$out/root/usr/bin/calvetra-recorder|" \
    "$out/root/usr/lib/systemd/system/calvetra-recorder.service" >"$out/calvetra-recorder.service"
  systemd-analyze verify "$out/calvetra-recorder.service"
fi
echo "package ok: $(basename "$deb")"
