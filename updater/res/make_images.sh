#!/usr/bin/env bash
# Draws the updater's pictures: the program icon (updater.ico: 48, 32 and 16
# pixels at 4, 8 and 32 bits per pixel) and the banner over the download view
# (banner.bmp: 400 x 65, 24 bits per pixel). The results are committed, so a
# build never needs ImageMagick; run this again only to change the pictures.
#
#   updater/res/make_images.sh [OUTPUT_DIRECTORY]     (default: beside this script)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=${1:-$here}
mkdir -p "$out"
# The real ImageMagick, not a wrapper that may flatten transparency.
im=${CONVERT:-$( [ -x /usr/bin/convert ] && echo /usr/bin/convert || command -v convert )}
latin_font=${LATIN_FONT:-/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf}
cjk_font=${CJK_FONT:-/usr/share/fonts/truetype/wqy/wqy-microhei.ttc}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# ------------------------------------------------------------------ the icon
# A blue tile holding a white archive box closed by a zipper, with a green
# download badge. Drawn large and scaled down; the smallest size has its own
# plainer drawing, since zipper teeth turn to mud at 16 pixels.

draw_tile() {  # $1 = size of the drawing, $2 = output
  local s=$1 r=$(( $1 * 3 / 16 )) m=$(( $1 / 22 ))
  "$im" -size "${s}x${s}" gradient:'#5ab8ff'-'#0b47a8' \
    \( -size "${s}x${s}" xc:none -fill white -draw "roundrectangle $m,$m $((s-m-1)),$((s-m-1)) $r,$r" \) \
    -alpha off -compose CopyOpacity -composite \
    \( -size "${s}x${s}" xc:none -fill 'rgba(255,255,255,0.22)' \
       -draw "ellipse $((s/2)),$((s/8)) $((s*5/8)),$((s*5/16)) 0,360" \
       \( -size "${s}x${s}" xc:none -fill white -draw "roundrectangle $m,$m $((s-m-1)),$((s-m-1)) $r,$r" \) \
       -compose DstIn -composite \) \
    -compose Over -composite \
    -fill none -stroke '#06357a' -strokewidth $(( s / 64 + 1 )) \
    -draw "roundrectangle $m,$m $((s-m-1)),$((s-m-1)) $r,$r" \
    "$2"
}

draw_big() {  # 256-pixel drawing with the zipper
  draw_tile 256 "$work/tile256.png"
  "$im" "$work/tile256.png" \
    -stroke '#b8c6d9' -strokewidth 3 \
    -fill '#eef3f9' -draw "roundrectangle 52,104 204,214 10,10" \
    -fill '#ffffff' -draw "roundrectangle 42,70 214,112 12,12" \
    -stroke none -fill '#d5dfeb' -draw "rectangle 54,112 202,122" \
    -fill '#33445c' -draw "rectangle 119,72 137,212" \
    -fill '#f2c230' \
    -draw "rectangle 113,84 123,92" -draw "rectangle 133,96 143,104" \
    -draw "rectangle 113,108 123,116" -draw "rectangle 133,120 143,128" \
    -draw "rectangle 113,132 123,140" -draw "rectangle 133,144 143,152" \
    -draw "rectangle 113,156 123,164" -draw "rectangle 133,168 143,176" \
    -fill '#f7d25a' -stroke '#a57f12' -strokewidth 3 -draw "roundrectangle 108,56 148,86 8,8" \
    -fill '#a57f12' -stroke none -draw "roundrectangle 122,64 134,100 5,5" \
    -stroke white -strokewidth 8 -fill '#27a844' -draw "circle 188,188 188,136" \
    -stroke none -fill white -draw "polygon 176,158 200,158 200,188 216,188 188,220 160,188 176,188" \
    "$work/big.png"
}

draw_small() {  # 64-pixel drawing for 16 pixels: box, zipper line, badge
  draw_tile 64 "$work/tile64.png"
  "$im" "$work/tile64.png" \
    -stroke '#b8c6d9' -strokewidth 2 -fill '#ffffff' -draw "rectangle 11,19 43,47" \
    -stroke none -fill '#33445c' -draw "rectangle 24,17 30,47" \
    -fill '#f2c230' -draw "rectangle 23,12 31,22" \
    -fill '#27a844' -stroke white -strokewidth 3 -draw "circle 46,46 46,32" \
    -stroke none -fill white -draw "polygon 43,38 49,38 49,45 54,45 46,54 38,45 43,45" \
    "$work/small.png"
}

draw_big
draw_small
"$im" "$work/big.png" -filter Lanczos -resize 48x48 -unsharp 0x0.6 "$work/48.png"
"$im" "$work/big.png" -filter Lanczos -resize 32x32 -unsharp 0x0.6 "$work/32.png"
"$im" "$work/small.png" -filter Lanczos -resize 16x16 "$work/16.png"

# Each size as raw RGBA (32 bits) and as quantised RGB for 8 and 4 bits.
# Transparent pixels are masked in the icon anyway; laying the picture on its
# own blue first keeps the edge colours from eating palette entries.
for size in 48 32 16; do
  "$im" "$work/$size.png" -depth 8 rgba:"$work/$size.rgba"
  for colors in 255 15; do
    "$im" "$work/$size.png" -background '#1a63c4' -alpha remove -alpha off \
      $([ "$size" = 16 ] && echo "-dither None" || echo "-dither FloydSteinberg") \
      -colors "$colors" -depth 8 rgb:"$work/$size.$colors.rgb"
  done
done

python3 - "$work" "$out/updater.ico" <<'PY'
import struct
import sys

work, target = sys.argv[1], sys.argv[2]


def rows_bottom_up(height):
    return range(height - 1, -1, -1)


def and_mask(alpha, size):
    """1 bit per pixel, set where the pixel is transparent; rows padded to 4 bytes."""
    stride = (size + 31) // 32 * 4
    out = bytearray()
    for y in rows_bottom_up(size):
        row = bytearray(stride)
        for x in range(size):
            if alpha[y * size + x] < 128:
                row[x // 8] |= 0x80 >> (x % 8)
        out += row
    return bytes(out)


def header(size, bits, colors):
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, colors, 0)


def image_32(size, rgba):
    alpha = rgba[3::4]
    pixels = bytearray()
    for y in rows_bottom_up(size):
        for x in range(size):
            r, g, b, a = rgba[(y * size + x) * 4:(y * size + x) * 4 + 4]
            pixels += bytes((b, g, r, a))
    return header(size, 32, 0) + bytes(pixels) + and_mask(alpha, size)


def image_indexed(size, rgb, alpha, bits):
    # Entry 0 is black: masked pixels use it, and only black vanishes under
    # the mask on every background.
    colors = [b"\0\0\0"]
    index = {colors[0]: 0}
    for i in range(size * size):
        c = rgb[i * 3:i * 3 + 3]
        if alpha[i] < 128:
            continue
        if c not in index:
            index[c] = len(colors)
            colors.append(c)
    if len(colors) > (1 << bits):
        sys.exit(f"{size} px: {len(colors)} colours do not fit {bits} bits")
    while len(colors) < (1 << bits):
        colors.append(b"\0\0\0")
    palette = b"".join(bytes((c[2], c[1], c[0], 0)) for c in colors)
    stride = (size * bits + 31) // 32 * 4
    pixels = bytearray()
    for y in rows_bottom_up(size):
        row = bytearray(stride)
        for x in range(size):
            i = y * size + x
            value = 0 if alpha[i] < 128 else index[rgb[i * 3:i * 3 + 3]]
            if bits == 8:
                row[x] = value
            else:
                row[x // 2] |= value << (4 if x % 2 == 0 else 0)
        pixels += row
    return header(size, bits, 1 << bits) + palette + bytes(pixels) + and_mask(alpha, size)


entries = []
for size in (48, 32, 16):
    rgba = open(f"{work}/{size}.rgba", "rb").read()
    alpha = rgba[3::4]
    for bits, colors in ((4, 15), (8, 255)):
        rgb = open(f"{work}/{size}.{colors}.rgb", "rb").read()
        # The quantiser had the whole picture; keep only colours of shown pixels.
        entries.append((size, bits, 1 << bits, image_indexed(size, rgb, alpha, bits)))
    entries.append((size, 32, 0, image_32(size, rgba)))

offset = 6 + 16 * len(entries)
directory = struct.pack("<HHH", 0, 1, len(entries))
blob = b""
for size, bits, colors, data in entries:
    directory += struct.pack("<BBBBHHII", size, size, colors if colors < 256 else 0, 0, 1, bits,
                             len(data), offset + len(blob))
    blob += data
open(target, "wb").write(directory + blob)
PY

# ---------------------------------------------------------------- the banner
# The product's colours across the top of the download view: name, a line
# of what is happening, and the icon.
"$im" -size 65x400 gradient:'#0a3a8c'-'#1d7fe0' -rotate -90 \
  \( -size 400x65 xc:none -fill 'rgba(255,255,255,0.07)' \
     -draw "polygon 250,0 290,0 230,65 190,65" -draw "polygon 300,0 320,0 260,65 240,65" \
     -draw "polygon 335,0 395,0 335,65 275,65" \
     -fill 'rgba(255,255,255,0.10)' -draw "circle 372,32 372,-8" \) -compose Over -composite \
  \( "$work/big.png" -filter Lanczos -resize 50x50 \) -geometry +14+8 -compose Over -composite \
  -fill 'rgba(0,0,0,0.25)' -font "$latin_font" -pointsize 25 -annotate +77+33 'Parvel' \
  -fill white -annotate +76+32 'Parvel' \
  -fill '#d8ebff' -font "$cjk_font" -pointsize 13 -annotate +77+53 '升级助手  ·  正在为您获取最新版本' \
  -fill 'rgba(255,255,255,0.85)' -font "$latin_font" -pointsize 11 -annotate +330+20 'UPDATE' \
  -fill 'rgba(255,255,255,0.35)' -draw "rectangle 0,63 399,64" \
  -alpha off -type TrueColor BMP3:"$out/banner.bmp"

echo "wrote $out/updater.ico and $out/banner.bmp"
