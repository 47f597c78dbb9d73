#!/usr/bin/env bash
# Draws the bootstrapper's pictures with ImageMagick: the button's normal and pressed looks
# (71 x 29, 24 bits) and the application icon (16, 32 and 48 pixels). The results are committed;
# run this only to change them.
set -euo pipefail
cd "$(dirname "$0")"

# A raised olive plate, and the same plate sunk in for the pressed look.
convert -size 71x29 gradient:'rgb(112,126,98)-rgb(66,76,58)' -raise 2 \
  -alpha off -type TrueColor BMP3:ButtonNormal.bmp
convert -size 71x29 gradient:'rgb(58,66,50)-rgb(88,100,78)' +raise 2 \
  -alpha off -type TrueColor BMP3:ButtonPressed.bmp

# A larch: a tall green cone with a brown trunk on a dark olive disc.
convert -size 48x48 xc:none \
  -fill 'rgb(76,88,68)' -draw 'circle 24,24 24,1' \
  -fill 'rgb(120,80,40)' -draw 'rectangle 22,34 26,43' \
  -fill 'rgb(153,153,51)' -draw 'polygon 24,5 36,36 12,36' \
  -fill 'rgb(213,223,212)' -draw 'polygon 24,5 27,14 21,14' \
  -define icon:auto-resize=48,32,16 Larch.ico
