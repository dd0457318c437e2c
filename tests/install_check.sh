#!/usr/bin/env bash
# Installs the built program into a staging folder and checks what lands
# there: the program, a valid desktop entry, its icons and valid AppStream
# metadata; then builds the .deb, checks its fields and has lintian, Debian's
# package checker, find neither error nor warning in it. Installed straight
# into a prefix (no DESTDIR), GIO must list the program for JPEG files. Last,
# two fresh clones of the last commit, in other folders, built one after the
# other with the default configure, must give one and the same .deb, which
# lintian finds clean too.
#   install_check.sh BUILD_FOLDER
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$stage/usr" > /dev/null
[ -x "$stage/usr/bin/sixfold" ] || fail "no program in bin/"
# OpenCV's codecs are in a module of their own, which the program loads when
# a file needs them; a start loads none of the libraries they pull in.
[ -n "$(find "$stage/usr/lib" -path '*/sixfold/sixfold-codecs.so')" ] || fail "no codecs module in lib/.../sixfold/"
# Outputs are captured before they are searched: under pipefail, grep -q
# ending a pipe early could fail the writer (SIGPIPE) and so the check.
links=$(ldd "$stage/usr/bin/sixfold") || fail "ldd cannot read the program"
! grep -q libopencv_imgcodecs <<< "$links" || fail "the program links libopencv_imgcodecs"

entries=("$stage"/usr/share/applications/*.desktop)
[ ${#entries[@]} -eq 1 ] && [ -f "${entries[0]}" ] || fail "expected one desktop entry"
entry=${entries[0]}
[[ $(basename "$entry") =~ ^[a-z0-9]+(\.[A-Za-z0-9_-]+){2,}\.desktop$ ]] || fail "entry name is not a reverse-DNS id"
desktop-file-validate "$entry" || fail "desktop-file-validate rejects the entry"
field() { sed -n "s/^$1=//p" "$entry"; }
[ "$(field Name)" = "Sixfold" ] || fail "Name is not Sixfold"
[ -n "$(field Comment)" ] || fail "no Comment"
[ "$(field Categories)" = "Graphics;Viewer;" ] || fail "Categories are not Graphics;Viewer;"
[ "$(field Exec)" = "sixfold %f" ] || fail "Exec does not pass one file (sixfold %f)"
mimetypes=$(field MimeType)
for type in image/jpeg image/png image/heif image/bmp image/tiff image/webp; do
    [[ ";$mimetypes" == *";$type;"* ]] || fail "MimeType lacks $type: $mimetypes"
done
icon=$(field Icon)
[ -f "$stage/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no scalable icon $icon.svg"
pngs=("$stage"/usr/share/icons/hicolor/*x*/apps/"$icon".png)
[ -f "${pngs[0]}" ] || fail "no PNG icon $icon.png"

metainfo=$stage/usr/share/metainfo/io.sixfold.Sixfold.metainfo.xml
[ -f "$metainfo" ] || fail "no AppStream metadata"
# Neither error nor warning, with whichever AppStream the release has.
report=$(appstreamcli validate --no-net "$metainfo" 2>&1) || fail "appstreamcli rejects the metadata: $report"
! grep -qE '^[EW]: ' <<< "$report" || fail "appstreamcli warns: $report"
grep -q '<url type="homepage">' "$metainfo" || fail "the test build's metadata names no homepage"
for type in ${mimetypes//;/ }; do
    grep -q "<mediatype>$type</mediatype>" "$metainfo" || fail "the metadata does not provide $type"
done

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$stage/package" > /dev/null
debs=("$stage"/package/sixfold_*.deb)
[ -f "${debs[0]}" ] || fail "no .deb made"
depends=$(dpkg-deb -f "${debs[0]}" Depends)
# Package names carry the library's version (libopencv-imgcodecs406 on
# Debian 12, ...410 later): match the names' stems.
for library in libqt6widgets6 'libopencv-imgcodecs[0-9]+' libheif1 'libisal[0-9]+' qt6-image-formats-plugins; do
    [[ $depends =~ (^|[ ,])$library ]] || fail ".deb does not depend on $library: $depends"
done
recommends=$(dpkg-deb -f "${debs[0]}" Recommends)
[[ $recommends == *fonts-wqy-microhei* ]] || fail ".deb does not recommend a CJK font"
[[ $recommends == *qt6-wayland* ]] || fail ".deb does not recommend Qt's Wayland plugin"
contents=$(dpkg-deb -c "${debs[0]}")
grep -q '\./usr/share/applications/.*\.desktop$' <<< "$contents" || fail ".deb lacks the desktop entry"
grep -q '\./usr/share/metainfo/io\.sixfold\.Sixfold\.metainfo\.xml$' <<< "$contents" || fail ".deb lacks the metadata"
grep -q '\./usr/lib/.*sixfold/sixfold-codecs\.so$' <<< "$contents" || fail ".deb lacks the codecs module"
# Errors and warnings only, at lintian's default profile; it reports
# nothing (and no overrides are used) when the package is clean.
lintian_clean() {
    local report
    # 1: it found errors; anything else but 0: it could not check.
    report=$(lintian --tag-display-limit 0 "$1" 2>&1) || [ $? -eq 1 ] || fail "lintian could not check $1: $report"
    report=$(grep -E '^[EW]: ' <<< "$report" || true)
    [ -z "$report" ] || fail "lintian on $1: $report"
}
lintian_clean "${debs[0]}"

# Installed without DESTDIR, the desktop's MIME cache is refreshed.
DESTDIR= cmake --install "$build" --prefix "$stage/prefix" > /dev/null
handlers=$(PATH="$stage/prefix/bin:$PATH" XDG_DATA_DIRS="$stage/prefix/share" XDG_DATA_HOME="$stage/none" \
    gio mime image/jpeg) || fail "gio mime image/jpeg failed"
grep -q io.sixfold.Sixfold.desktop <<< "$handlers" || fail "GIO does not list Sixfold for image/jpeg"

source=$(cd "$(dirname "$0")/.." && pwd)
if git -C "$source" rev-parse -q --verify HEAD > /dev/null; then
    for clone in "$stage/one/sixfold" "$stage/another/place"; do
        git clone -q "$source" "$clone"
        # The default prefix; AppStream 1.0 (and lintian with it) wants a
        # homepage, which a packager gives.
        (cd "$clone" && env -u SOURCE_DATE_EPOCH cmake -B build -DSIXFOLD_TESTS=OFF \
            -DSIXFOLD_HOMEPAGE=https://sixfold.invalid/ > /dev/null &&
            cmake --build build --parallel "$(nproc)" > /dev/null && cd build && cpack -G DEB > /dev/null)
    done
    made=("$stage"/one/sixfold/build/sixfold_*.deb)
    lintian_clean "${made[0]}"
    cmp "${made[0]}" "$stage"/another/place/build/sixfold_*.deb || fail "two builds of one commit differ"
else
    echo "not a git checkout: the reproducibility check is left out"
fi
echo "install and package checks passed"
