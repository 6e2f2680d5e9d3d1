#!/usr/bin/env bash
# What goes on the unit (launcher/, framework/) must build with the unit's
# toolchain: Qt 5.3 and a C++11 compiler. Qt 5.3 cannot be installed here, so
# this compiles it as strict C++11 against the installed Qt and rejects the Qt
# names of .ci/qt-newer-than-5.3.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

awk '!/^#/ && NF { print $1 }' .ci/qt-newer-than-5.3.txt >"$tmp/names"
# The check must be able to fail: it finds every listed name in a probe.
if [ ! -s "$tmp/names" ]; then
    echo "unitfloor: no names to check"
    exit 1
fi
while read -r name; do
    if ! echo "x = $name(y);" | grep -qwF -f "$tmp/names"; then
        echo "unitfloor: the check would miss $name"
        exit 1
    fi
done <"$tmp/names"
if grep -rnwF -f "$tmp/names" --include='*.h' --include='*.cpp' --include='*.in' launcher framework; then
    echo "unitfloor: the names above are newer than Qt 5.3"
    exit 1
fi

# The generated header and the moc output the sources include; the values
# of the build constants do not matter to a syntax check.
sed 's/@[A-Z_]*@/x/' launcher/launcherconfig.h.in >"$tmp/launcherconfig.h"
moc="$(pkg-config --variable=host_bins Qt5Core)/moc"
for header in launcher/*.h launcher/interface/*.h launcher/shared/*.h; do
    if grep -q Q_OBJECT "$header"; then
        "$moc" "$header" -o "$tmp/moc_$(basename "$header" .h).cpp"
    fi
done

read -r -a qtflags <<<"$(pkg-config --cflags Qt5Widgets Qt5Multimedia automotive-dlt)"
cxx=(${CXX:-g++} -std=c++11 -pedantic-errors -fsyntax-only -fPIC "${qtflags[@]}" -I"$tmp" -Ilauncher -Ilauncher/interface -Ilauncher/shared -Iframework)
for source in launcher/*.cpp launcher/shared/*.cpp; do
    "${cxx[@]}" "$source"
done
for header in framework/*.h; do
    "${cxx[@]}" -x c++ "$header"
done
echo "unitfloor: launcher/ and framework/ are C++11 and use nothing newer than Qt 5.3"
