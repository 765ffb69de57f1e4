#!/bin/sh
# Renders the PNG icons from loudara.svg (needs rsvg-convert, Debian package librsvg2-bin).
# The PNGs are committed, so building Loudara does not need it.
set -e
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" loudara.svg -o "loudara-$size.png"
done
