#!/usr/bin/env bash
# Installs the Debian package DEB on this machine, runs both programs from their installed
# paths (a copy through the installed kellovaran-cli included), then removes the package and
# checks that none of its files is left. For a throwaway machine (CI), as root.
#   packaging/check-installed.sh DEB
set -euo pipefail
deb=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "--- $(basename "$deb"): $(stat -c %s "$deb") bytes"
dpkg-deb --field "$deb" Package Version Depends Installed-Size

# apt fetches what the dependencies lack; dpkg -i alone would stop on a missing one.
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
dpkg -L kellovaran > "$work/files"

version=$(/usr/bin/kellovaran-cli --version)
echo "$version"
[[ "$version" =~ ^kellovaran-cli\ [0-9] ]] || { echo "bad version text from kellovaran-cli"; exit 1; }
version=$(env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/kellovaran --version)
echo "$version"
[[ "$version" =~ ^kellovaran\ [0-9] ]] || { echo "bad version text from kellovaran"; exit 1; }

# The stripped programs still do their job: an image made and read back byte for byte.
head -c 100000 /dev/urandom > "$work/one.bin"
printf 'second file\n' > "$work/two.txt"
/usr/bin/kellovaran-cli mktape --block-size 4096 "$work/t.tap" "$work/one.bin" "$work/two.txt" >/dev/null
/usr/bin/kellovaran-cli load --tape-image "$work/t.tap" --dir "$work/out" --base f >/dev/null
cmp "$work/one.bin" "$work/out/f0000"
cmp "$work/two.txt" "$work/out/f0001"

for f in /usr/share/man/man1/kellovaran-cli.1.gz /usr/share/man/man1/kellovaran.1.gz \
         /usr/share/applications/kellovaran.desktop /usr/share/metainfo/org.kellovaran.kellovaran.metainfo.xml \
         /usr/share/icons/hicolor/48x48/apps/kellovaran.png /usr/share/icons/hicolor/256x256/apps/kellovaran.png \
         /usr/share/doc/kellovaran/copyright /usr/share/doc/kellovaran/changelog.Debian.gz; do
    [ -s "$f" ] || { echo "missing after install: $f"; exit 1; }
done
zcat /usr/share/man/man1/kellovaran-cli.1.gz | grep -q '^\.SH EXIT STATUS' || { echo "man page unreadable"; exit 1; }
if command -v man >/dev/null; then
    man -w kellovaran-cli
fi
desktop-file-validate /usr/share/applications/kellovaran.desktop

dpkg -r kellovaran >/dev/null
status=$(dpkg-query -W -f='${db:Status-Status}' kellovaran 2>/dev/null || true)
[ -z "$status" ] || [ "$status" = "not-installed" ] || { echo "package still $status after dpkg -r"; exit 1; }
left=0
while read -r f; do
    if [ -e "$f" ] && [ ! -d "$f" ]; then echo "left after removal: $f"; left=1; fi
done < "$work/files"
[ "$left" -eq 0 ]
echo "--- installed, ran and removed cleanly"
