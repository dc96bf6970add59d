#!/usr/bin/env bash
# Renders Pulvane's icon from its drawings into the files the builds use,
# which are committed beside the drawings so that no build needs these tools:
#   packaging/icons/pulvane.svg        the icon, drawn for 32 pixels and up
#   packaging/icons/pulvane-small.svg  the same drawn for 16 to 24 pixels
#   packaging/icons/pulvane-<N>.png    N = 16 22 24 32 48 64 128 256: the
#                                      Linux icon theme and the window's icon
#   packaging/icons/pulvane.ico        16, 24, 32, 48 and 256 pixels: the
#                                      Windows program files and installer
# Run it after changing a drawing, then commit what it wrote.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
pulvane_install_packages librsvg2-bin imagemagick

icons="$PULVANE_ROOT/packaging/icons"
for size in 16 22 24 32 48 64 128 256; do
    drawing=pulvane.svg
    [ "$size" -le 24 ] && drawing=pulvane-small.svg
    rsvg-convert --width "$size" --height "$size" "$icons/$drawing" -o "$icons/pulvane-$size.png"
done
# Small sizes as bitmaps, 256 as PNG (ImageMagick's choice); no time stamps,
# so an unchanged drawing gives the same file.
convert "$icons"/pulvane-{16,24,32,48,256}.png -strip "$icons/pulvane.ico"
identify "$icons/pulvane.ico"
