#!/bin/sh
# Remakes res/update.bin with the image maker; the mkimage test checks that the
# committed file is exactly this output.
#   usage: res/make-update-bin.sh <path to qel-mkimage>
set -e
here=$(dirname "$0")
"$1" --out "$here/update.bin" --product Qel --version 102 --build 31 \
     --date 2017-03-13 --size 268320 --checksum 0x0140C7B8
