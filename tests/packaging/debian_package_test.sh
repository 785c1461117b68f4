#!/usr/bin/env bash
# The Debian package, made by cpack from this build tree: lintian finds no
# error and no program built without Debian's hardening flags, the control
# fields and the files are what the install rules promise, and the unpacked
# program formats a temporary image that fsck.fat accepts. Every link of the
# installed README leads to a file that is installed (and to a heading there),
# in the package and after cmake --install, which the README's uninstall line
# undoes. Without dpkg-shlibdeps and file on PATH cpack names the packages to
# install. Two more builds of the source, in folders of other names and
# depths, make the same program and the same package.
#
#   debian_package_test.sh CPACK CPACK_CONFIG VERSION MANUAL_PAGE CMAKE SOURCE CXX
#
# Exits 77 (skipped) when a packaging tool or fsck.fat is missing.
set -u
cpack=$1
config=$2
version=$3
manual_page=$4
cmake=$5
source=$6
cxx=$7
for tool in "$cpack" dpkg dpkg-deb dpkg-shlibdeps dpkg-buildflags file lintian fsck.fat strip; do
    if ! command -v "$tool" > /dev/null; then
        echo "SKIPPED: $tool is not installed (Debian packages cmake, dpkg-dev, file, lintian, dosfstools)"
        exit 77
    fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { failed=1; echo "FAIL: $*"; }
# The links of the README installed in FOLDER that lead to no installed file,
# or to no heading of it: GitHub's anchors, the heading in lower case with
# everything but letters, digits, _, - and blanks taken out, blanks as -.
broken_links() {
    local folder=$1 link file anchor
    grep -o '](\([^)]*\))' "$folder/README.md" | sed 's/^](//; s/)$//' | grep -v '^[a-z]*:' |
        while read -r link; do
            file=${link%%#*}
            anchor=${link#"$file"}
            [ -e "$folder/${file:-README.md}" ] || { echo "$link"; continue; }
            [ -z "$anchor" ] || sed -n 's/^#\{1,6\} //p' "$folder/${file:-README.md}" | tr 'A-Z' 'a-z' |
                sed 's/[^a-z0-9_ -]//g; s/ /-/g' | grep -qx -- "${anchor#\#}" || echo "$link"
        done
}

if ! "$cpack" -G DEB --config "$config" -B "$work/out" > "$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack -G DEB"
    exit 1
fi
package=$work/out/format149_${version}_$(dpkg --print-architecture).deb
if [ ! -f "$package" ]; then
    ls "$work/out"
    echo "FAIL: cpack made no $(basename "$package")"
    exit 1
fi

# Errors fail the test, and so does a program without hardening; every other
# tag is shown for the record.
lintian_tags=$(lintian --fail-on error --display-level ">=info" "$package") || fail "lintian reports errors"
echo "$lintian_tags"
! grep -q "hardening-" <<<"$lintian_tags" || fail "the program lacks Debian's hardening flags"

[ "$(dpkg-deb -f "$package" Section)" = otherosfs ] || fail "section is not otherosfs"
dpkg-deb -f "$package" Depends | grep -q '^libc6 ' || fail "no libc6 dependency computed from the program"

dpkg-deb -x "$package" "$work/root"
expected_files='./usr/bin/format149
./usr/share/doc/format149/LICENSE -> copyright
./usr/share/doc/format149/README.md
./usr/share/doc/format149/changelog.gz
./usr/share/doc/format149/copyright
./usr/share/doc/format149/docs/benchmark.md
./usr/share/doc/format149/docs/bootstrap.md
./usr/share/doc/format149/docs/drives.md
./usr/share/doc/format149/docs/packaging.md
./usr/share/doc/format149/docs/source.md
./usr/share/doc/format149/docs/testing.md
./usr/share/doc/format149/docs/windows.md
./usr/share/man/man1/format149.1.gz'
actual_files=$(cd "$work/root" && find . \( -type f -printf '%p\n' \) -o \( -type l -printf '%p -> %l\n' \) | LC_ALL=C sort)
[ "$actual_files" = "$expected_files" ] || fail "packaged files:"$'\n'"$actual_files"
links=$(broken_links "$work/root/usr/share/doc/format149")
[ -z "$links" ] || fail "links of the packaged README that lead nowhere:"$'\n'"$links"
gzip -dc "$work/root/usr/share/man/man1/format149.1.gz" | cmp -s - "$manual_page" ||
    fail "the packaged manual page is not docs/format149.1"

image=$work/a.img
printf 'y\n\n' | DRIVE_A_IMAGE=$image "$work/root/usr/bin/format149" > "$work/console" 2>&1
status=$?
[ $status -eq 0 ] || fail "the packaged program ended with status $status"
grep -q 'Unlock succeeded!' "$work/console" || fail "no successful unlock in the console output"
[ "$(stat -c %s "$image" 2>/dev/null)" = 1511424 ] || fail "the image is not 2952 sectors long"
fsck.fat -n "$image" > "$work/fsck.log" 2>&1 || { cat "$work/fsck.log"; fail "fsck.fat -n rejects the image"; }

for folder in "$work/one" "$work/two/deeper/build"; do
    { "$cmake" -S "$source" -B "$folder" -DCMAKE_CXX_COMPILER="$cxx" && "$cmake" --build "$folder" -j2 &&
        strip -o "$folder/format149.stripped" "$folder/format149" && "$cpack" -G DEB --config "$folder/CPackConfig.cmake" \
        -B "$folder/out"; } >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "the build in $folder"; }
done
cmp "$work"/{one,two/deeper/build}/format149.stripped || fail "two build folders made two programs"

# cmake --install, then the README's uninstall line, run as printed there
# beside the build folder.
"$cmake" --install "$work/two/deeper/build" --prefix "$work/prefix" > "$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "cmake --install"; }
links=$(broken_links "$work/prefix/share/doc/format149")
[ -z "$links" ] || fail "links of the installed README that lead nowhere:"$'\n'"$links"
(cd "$work/two/deeper" && xargs rm < build/install_manifest.txt) || fail "the uninstall line"
[ -z "$(find "$work/prefix" ! -type d)" ] || fail "left after the uninstall line: $(find "$work/prefix" ! -type d)"

# Without dpkg-shlibdeps and file on PATH: one line that says what to install.
mkdir "$work/empty"
PATH=$work/empty "$cpack" -G DEB --config "$config" -B "$work/none" > "$work/missing.log" 2>&1 &&
    fail "cpack made a package without dpkg-shlibdeps and file"
grep -qx '  format149: cpack -G DEB needs: apt-get install dpkg-dev file' "$work/missing.log" ||
    { cat "$work/missing.log"; fail "cpack without dpkg-shlibdeps and file does not say what to install"; }
cmp "$work"/{one,two/deeper/build}/out/"$(basename "$package")" || fail "two build folders made two packages"

[ $failed -eq 0 ] && echo "passed: $(basename "$package")"
exit $failed
