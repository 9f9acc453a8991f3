#!/bin/sh
# Draws the application icon -- a speaker with sound waves and an upward arrow
# on a blue tile -- at 1024 pixels and scales it to every size the icon group
# holds, then bundles the sizes into app.ico. The two smallest sizes leave the
# waves out, which would only blur there. Needs ImageMagick's convert.
#   usage: res/icons/make-icons.sh
set -e
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Drawn on a 256-unit grid, scaled by 4 (stroke widths too).
grid="affine 4,0,0,4,0,0"
tile="roundrectangle 8,8 248,248 52,52"
speaker="polygon 22,100 56,100 100,60 100,196 56,156 22,156"
# The waves are two rings around the speaker's mouth, cut to a 100-degree wedge.
rings="circle 100,128 132,128 circle 100,128 158,128"
wedge="polygon 100,128 229,-25 229,281"
arrow="polygon 206,40 242,94 219,94 219,206 193,206 193,94 170,94"

master() {   # output, with waves (yes/no)
    convert -size 1024x1024 gradient:'#2d8ad6-#14497d' "$work/fill.png"
    convert -size 1024x1024 xc:none -fill white -draw "$grid $tile" "$work/mask.png"
    convert "$work/fill.png" "$work/mask.png" -alpha off -compose CopyOpacity -composite \
        -compose Over -fill none -stroke '#0d3358' -strokewidth 2 -draw "$grid $tile" \
        -stroke none -fill white -draw "$grid $speaker" "$work/base.png"
    if [ "$2" = yes ]; then
        convert -size 1024x1024 xc:none -fill none -stroke white -strokewidth 11 \
            -draw "$grid $rings" "$work/rings.png"
        convert -size 1024x1024 xc:none -fill white -draw "$grid $wedge" "$work/wedge.png"
        convert "$work/rings.png" "$work/wedge.png" -compose DstIn -composite "$work/waves.png"
        convert "$work/base.png" "$work/waves.png" -compose Over -composite "$work/base.png"
    fi
    convert "$work/base.png" -stroke '#7a4a00' -strokewidth 3 -fill '#ffc531' \
        -draw "stroke-linejoin round $grid $arrow" "$1"
}
master "$work/master.png" yes
master "$work/small.png" no

sizes="256 192 128 96 64 48 40 32 24 16"
for s in $sizes; do
    src="$work/master.png"
    [ "$s" -le 24 ] && src="$work/small.png"
    convert "$src" -filter Lanczos -resize "${s}x${s}" -strip "PNG32:app-$s.png"
done
set --
for s in $sizes; do set -- "$@" "app-$s.png"; done
convert "$@" app.ico
