#!/usr/bin/env bash
# Cross-builds fwsplice.exe and fwsplice-image.exe with MinGW-w64 and checks them end to end
# under Wine: binary-exact images (every byte value, CR, LF and 0x1A among them), the failure
# roads and their statuses, and non-ASCII paths, with and without the UTF-8 manifest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${WINDOWS_BUILD_DIR:-$root/build-windows}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)

cmake -S . -B "$out" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake -DBUILD_TESTING=OFF \
    -DFWSPLICE_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$out" --parallel "$(nproc)" --target fwsplice fwsplice_no_manifest fwsplice_image
exe=$out/fwsplice.exe
image_exe=$out/fwsplice-image.exe

work=$(mktemp -d)
trap '"$(dirname "$wine")/wineserver" -k 2>/dev/null || true; rm -rf "$work"' EXIT
export WINEPREFIX=$work/prefix WINEDEBUG=-all
# Making the prefix can fail now and then (status 53, a network path) on a closed network;
# wine makes it on first use anyway, and the runs below check what counts.
"$wine" wineboot -i >/dev/null 2>&1 || true
# The same tool without its manifest stands for Windows before 1903, where paths are ANSI.
cp "$out/fwsplice_no_manifest.exe" "$work/ansi.exe"
cd "$work"

failures=0
passes=0
check() {  # name, expected status, expected stdout, then: -- tool, arguments
    local name=$1 status=$2 expected=$3 actual got=0
    shift 4
    actual=$("$wine" "$@" | tr -d '\r') || got=$?
    if [ "$got" -ne "$status" ] || [ "$actual" != "$expected" ]; then
        printf 'FAIL %s: status %s (expected %s)\n--- got\n%s\n--- expected\n%s\n' \
            "$name" "$got" "$status" "$actual" "$expected"
        failures=$((failures + 1))
    else
        echo "ok   $name"
        passes=$((passes + 1))
    fi
}
loaded() {  # bootloader, sketch: the lines of a run that gets as far as the output
    printf 'Opened bootloader file %s : size is %s\nOpened sketch file %s : size is %s\n' \
        "$1" "$(stat -c %s "$1")" "$2" "$(stat -c %s "$2")"
    printf 'Allocated %s bytes for buffer' "$(($(stat -c %s "$2") + 8192))"
}
merged() {  # bootloader, sketch, output: the stdout of a good run
    printf '%s\nWrote combined file to %s ' "$(loaded "$1" "$2")" "$3"
}
image_is() {  # name, output, bootloader, sketch: the output must be the padded bootloader + sketch
    local pad=$((8192 - $(stat -c %s "$3")))
    if cmp -s "$2" <(head -c 8192 "$3"; head -c $((pad > 0 ? pad : 0)) /dev/zero | tr '\0' '\377'; cat "$4"); then
        echo "ok   $1: image"
        passes=$((passes + 1))
    else
        echo "FAIL $1: image differs"
        failures=$((failures + 1))
    fi
}
for i in $(seq 0 39); do printf '\r\n\032\000\377text\n' ; done >crlf-boot.bin
for i in $(seq 0 255); do printf "\\$(printf %03o "$i")"; done >bytes.bin
for i in $(seq 0 300); do cat bytes.bin; done >sketch.bin
head -c 20000 sketch.bin >long-boot.bin
: >empty.bin

check "every byte value" 0 "$(merged crlf-boot.bin sketch.bin out.bin)" -- "$exe" crlf-boot.bin sketch.bin out.bin
image_is "every byte value" out.bin crlf-boot.bin sketch.bin
check "empty sketch" 0 "$(merged bytes.bin empty.bin out.bin)" -- "$exe" bytes.bin empty.bin out.bin
image_is "empty sketch" out.bin bytes.bin empty.bin
check "empty bootloader" 0 "$(merged empty.bin sketch.bin out.bin)" -- "$exe" empty.bin sketch.bin out.bin
image_is "empty bootloader" out.bin empty.bin sketch.bin
check "long bootloader" 0 "$(merged long-boot.bin sketch.bin out.bin)" -- "$exe" long-boot.bin sketch.bin out.bin
image_is "long bootloader" out.bin long-boot.bin sketch.bin

# A run replaces an existing output whole, through a rename, and leaves no temporary file.
head -c 99999 sketch.bin >out.bin
check "existing output replaced" 0 "$(merged bytes.bin sketch.bin out.bin)" -- "$exe" bytes.bin sketch.bin out.bin
image_is "existing output replaced" out.bin bytes.bin sketch.bin
cp sketch.bin own.bin
check "output names an input" 0 "$(merged bytes.bin own.bin own.bin)" -- "$exe" bytes.bin own.bin own.bin
image_is "output names an input" own.bin bytes.bin sketch.bin
cp crlf-boot.bin locked.bin
chmod a-w locked.bin
check "read-only output" 254 "$(loaded bytes.bin sketch.bin)
Unable to open output file locked.bin for writing " -- "$exe" bytes.bin sketch.bin locked.bin
if cmp -s locked.bin crlf-boot.bin && ! ls ./*.fwsplice-* >/dev/null 2>&1; then
    echo "ok   read-only output: old bytes kept, no temporary file left"
    passes=$((passes + 1))
else
    echo "FAIL read-only output: old bytes changed or a temporary file left"
    failures=$((failures + 1))
fi

# A directory that takes no new file: the output is written in place, and a longer old
# output is cut to the image. chattr needs root and a file system that takes the flag.
mkdir fixed
cat sketch.bin sketch.bin >fixed/out.bin
if chattr +i fixed 2>/dev/null; then
    check "immutable directory: in place" 0 "$(merged bytes.bin sketch.bin fixed/out.bin)" -- "$exe" bytes.bin sketch.bin fixed/out.bin
    chattr -i fixed
    image_is "immutable directory: in place" fixed/out.bin bytes.bin sketch.bin
else
    echo "skip immutable directory: chattr +i needs root"
fi

usage=$'\nUsage. fwsplice bootloader.bin sketch.bin output.bin - Incorrect number of args'
check "usage" 255 "$usage" -- "$exe" bytes.bin sketch.bin
check "missing bootloader" 254 "Unable to open bootloader binary file missing.bin" -- "$exe" missing.bin sketch.bin out.bin
check "missing sketch" 254 "Opened bootloader file bytes.bin : size is 256
Unable to open sketch binary file missing.bin" -- "$exe" bytes.bin missing.bin out.bin
check "unopenable output" 254 "$(loaded bytes.bin sketch.bin)
Unable to open output file no-such-dir/out.bin for writing " -- "$exe" bytes.bin sketch.bin no-such-dir/out.bin

cp bytes.bin 'bööt €.bin'
cp sketch.bin 'скетч 固件.bin'
check "Windows-1252 path" 0 "$(merged 'bööt €.bin' sketch.bin 'sortie é.bin')" -- "$exe" 'bööt €.bin' sketch.bin 'sortie é.bin'
image_is "Windows-1252 path" 'sortie é.bin' 'bööt €.bin' sketch.bin
check "path beyond the ANSI code page" 0 "$(merged bytes.bin 'скетч 固件.bin' 'вывод.bin')" -- "$exe" bytes.bin 'скетч 固件.bin' 'вывод.bin'
image_is "path beyond the ANSI code page" 'вывод.bin' bytes.bin 'скетч 固件.bin'
# Without the manifest such a path cannot reach fopen; it must fail cleanly, not crash.
check "no manifest: path beyond the ANSI code page" 254 "Opened bootloader file bytes.bin : size is 256
Unable to open sketch binary file ????? ??.bin" -- ./ansi.exe bytes.bin 'скетч 固件.bin' out.bin

# fwsplice-image.exe: a HEX bootloader and a raw sketch, the image and its HEX read back; an
# output that is an input, by a second hard link, refused and the input kept.
printf ':0400000001020304F2\r\n:00000001FF\r\n' >boot.hex
printf '\001\002\003\004' >four.bin
size=$((8192 + $(stat -c %s sketch.bin)))
percent=$(awk -v s="$size" 'BEGIN { printf "%.1f", 100 * s / 1048576 }')
check "fwsplice-image: HEX bootloader" 0 "fwsplice: image.bin: $size of 1048576 bytes of flash ($percent%); bootloader 4 of 8192" \
    -- "$image_exe" --flash-size 1M --hex image.hex boot.hex sketch.bin image.bin
image_is "fwsplice-image: HEX bootloader" image.bin four.bin sketch.bin
if objcopy -I ihex -O binary image.hex from-hex.bin && cmp -s from-hex.bin image.bin; then
    echo "ok   fwsplice-image: its HEX reads back as the image"
    passes=$((passes + 1))
else
    echo "FAIL fwsplice-image: its HEX does not read back as the image"
    failures=$((failures + 1))
fi
cp sketch.bin own.bin
ln own.bin second-name.bin
check "fwsplice-image: output a second name of the sketch" 1 "" -- "$image_exe" bytes.bin own.bin second-name.bin
if cmp -s own.bin sketch.bin; then
    echo "ok   fwsplice-image: the sketch kept"
    passes=$((passes + 1))
else
    echo "FAIL fwsplice-image: the sketch was changed"
    failures=$((failures + 1))
fi

# The Windows release: a .zip of the install tree, the same bytes when made again a second
# later.
cmake --build "$out" --target release >/dev/null
cp "$out"/release/*.zip first.zip
touch "$root/README.md"
cmake --build "$out" --target release >/dev/null
if (cd "$out/release" && sha256sum -c --quiet SHA256SUMS) && cmp -s first.zip "$out"/release/*.zip &&
    [ "$(unzip -Z1 first.zip | sed 's|^[^/]*/||' | grep -cxE 'LICENSE|bin/fwsplice.exe|bin/fwsplice-image.exe|share/cmake/fwsplice/fwsplice-config.cmake|share/doc/fwsplice/fwsplice.1.html|share/doc/fwsplice/fwsplice-image.1.html')" = 6 ]; then
    echo "ok   release: the .zip holds both programs, the CMake package, the licence and the man page, and is made again the same"
    passes=$((passes + 1))
else
    echo "FAIL release: the .zip differs when made again, or its SHA256SUMS or contents are wrong"
    failures=$((failures + 1))
fi

echo "windows: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
