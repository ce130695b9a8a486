#!/usr/bin/python3
"""Rebuilds host/res/installer.ico from the lantern artwork in host/res/icon/.

The .ico is committed, so the build never runs this; run it by hand after editing the SVGs:

    /usr/bin/python3 tools/make-icon.py

Rasterising is done by rsvg-convert (Debian package librsvg2-bin). Debian 12's ImageMagick is
built without librsvg, so `convert x.svg` falls back to ImageMagick's own SVG renderer, which
paints every gradient in this artwork solid black. rsvg-convert draws each size straight from
the vector art rather than scaling one large render down, so edges placed on a size's pixel
grid stay sharp. ImageMagick's `convert` (Debian package imagemagick) then turns
rsvg-convert's PNG into raw 8-bit RGBA and, for the previews, raw RGBA back into PNGs.

    apt-get install librsvg2-bin imagemagick

Every image in the .ico is an uncompressed 32-bit BMP with an AND mask, including 256 px.
PNG-compressed entries would be smaller, but some of the tools that read icons out of PE
resources (and Windows before Vista) only understand the BMP form.

The output depends only on the SVGs and the tool versions (no timestamps), so re-running this
without changing the art leaves installer.ico byte-for-byte unchanged. The new file is read
back and its layout checked before it replaces the old one; then enlarged previews on a light
and a dark background go into a fresh temporary directory, whose path is printed (skip them
with --no-preview).
"""

import os
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ART_DIR = os.path.join(ROOT, "host", "res", "icon")
ICO_PATH = os.path.join(ROOT, "host", "res", "installer.ico")

# The sizes Windows asks for across its DPI scales (100% to 200% small icons, plus the large
# and jumbo views), in the order the entries are written.
SIZES = (16, 20, 24, 32, 40, 48, 64, 256)

# Below 32 px the detailed drawing's edges fall between pixels and its thin parts melt
# together, so each small size has its own drawing laid out on that size's pixel grid.
PIXEL_ART = {16: "lantern-16.svg", 20: "lantern-20.svg", 24: "lantern-24.svg"}

ICONDIR = struct.Struct("<HHH")              # reserved, type, count
ICONDIRENTRY = struct.Struct("<BBBBHHII")    # w, h, colours, reserved, planes, bpp, bytes, offset
BITMAPINFOHEADER = struct.Struct("<IiiHHIIiiII")


def art_for(size):
    return os.path.join(ART_DIR, PIXEL_ART.get(size, "lantern.svg"))


def run(argv, stdin=None):
    try:
        done = subprocess.run(argv, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              check=False)
    except FileNotFoundError:
        sys.exit(f"make-icon: {argv[0]} is missing; apt-get install librsvg2-bin imagemagick")
    if done.returncode != 0:
        sys.exit(f"make-icon: {' '.join(argv)} failed:\n{done.stderr.decode(errors='replace')}")
    return done.stdout


def rasterise(svg, size):
    """Returns size*size straight (not premultiplied) RGBA pixels, top row first."""
    png = run(["rsvg-convert", "--width", str(size), "--height", str(size), "--format", "png", svg])
    # -extent guards against a drawing whose viewBox is not square coming out a pixel short.
    rgba = run(["convert", "png:-", "-background", "none", "-gravity", "center",
                "-extent", f"{size}x{size}", "-depth", "8", "rgba:-"], stdin=png)
    if len(rgba) != 4 * size * size:
        sys.exit(f"make-icon: {svg} at {size} px gave {len(rgba)} bytes of RGBA, "
                 f"not {4 * size * size}")
    return rgba


def mask_row_bytes(size):
    return 4 * ((size + 31) // 32)


def image_bytes(size):
    """What one entry must take: header, BGRA rows, then AND-mask rows padded to 32 bits."""
    return BITMAPINFOHEADER.size + 4 * size * size + size * mask_row_bytes(size)


def bmp_image(size, rgba):
    pixels = bytearray()
    mask = bytearray()
    for y in reversed(range(size)):  # a DIB is stored bottom row first
        row = rgba[4 * size * y: 4 * size * (y + 1)]
        bits = bytearray(mask_row_bytes(size))
        for x in range(size):
            r, g, b, a = row[4 * x: 4 * x + 4]
            if a == 0:
                # Readers that ignore alpha draw masked pixels as screen XOR colour, so a
                # leftover colour under a hole would tint whatever is behind the icon.
                r = g = b = 0
                bits[x // 8] |= 0x80 >> (x % 8)
            pixels += bytes((b, g, r, a))
        mask += bits
    header = BITMAPINFOHEADER.pack(BITMAPINFOHEADER.size, size, 2 * size, 1, 32, 0,
                                   len(pixels) + len(mask), 0, 0, 0, 0)
    return header + pixels + mask


def build_ico(images):
    """images: (size, bmp bytes) pairs, already in entry order."""
    directory = ICONDIR.pack(0, 1, len(images))
    offset = ICONDIR.size + ICONDIRENTRY.size * len(images)
    body = b""
    for size, data in images:
        dim = 0 if size == 256 else size  # the byte field can't hold 256, so 0 stands for it
        directory += ICONDIRENTRY.pack(dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
        body += data
    return directory + body


def check_image(size, data):
    """Decodes one BMP entry back to top-down RGBA; returns (rgba, fault or None)."""
    header = BITMAPINFOHEADER.unpack_from(data, 0)
    want = (40, size, 2 * size, 1, 32, 0, len(data) - 40, 0, 0, 0, 0)
    if header != want:
        return None, f"BITMAPINFOHEADER is {header}, expected {want}"
    rgba = bytearray(4 * size * size)
    visible = 0
    mask_at = 40 + 4 * size * size
    stride = mask_row_bytes(size)
    for row in range(size):
        y = size - 1 - row
        mask_row = data[mask_at + row * stride: mask_at + (row + 1) * stride]
        for x in range(size):
            at = 40 + 4 * (row * size + x)
            b, g, r, a = data[at: at + 4]
            rgba[4 * (y * size + x): 4 * (y * size + x + 1)] = bytes((r, g, b, a))
            if (mask_row[x // 8] >> (7 - x % 8) & 1) != (a == 0):
                return None, f"AND mask disagrees with alpha at ({x}, {y})"
            visible += a != 0
        if any(mask_row[(size + 7) // 8:]):
            return None, f"AND mask row {y} has bits set in its padding"
    # Catches a blank render as well as one flattened onto an opaque background.
    if not 0 < visible < size * size:
        return None, f"{visible} of {size * size} pixels visible"
    return bytes(rgba), None


def check_ico(blob):
    """Re-reads an .ico as build_ico should have written it; returns (images, faults)."""
    if len(blob) < ICONDIR.size + ICONDIRENTRY.size * len(SIZES):
        return [], ["file is too short to hold its directory"]
    head = ICONDIR.unpack_from(blob, 0)
    if head != (0, 1, len(SIZES)):
        return [], [f"ICONDIR is {head}, expected (0, 1, {len(SIZES)})"]
    faults = []
    decoded = []
    offset = ICONDIR.size + ICONDIRENTRY.size * len(SIZES)
    for i, size in enumerate(SIZES):
        entry = ICONDIRENTRY.unpack_from(blob, ICONDIR.size + ICONDIRENTRY.size * i)
        dim = 0 if size == 256 else size
        want = (dim, dim, 0, 0, 1, 32, image_bytes(size), offset)
        if entry != want:
            # Later offsets depend on this one, so checking on would only repeat the fault.
            faults.append(f"entry {i} ({size} px) is {entry}, expected {want}")
            return decoded, faults
        data = blob[offset: offset + image_bytes(size)]
        if len(data) != image_bytes(size):
            faults.append(f"entry {i} ({size} px) runs past the end of the file")
            return decoded, faults
        offset += len(data)
        rgba, fault = check_image(size, data)
        if fault:
            faults.append(f"entry {i} ({size} px): {fault}")
        else:
            decoded.append((size, rgba))
    if offset != len(blob):
        faults.append(f"file is {len(blob)} bytes, its entries account for {offset}")
    return decoded, faults


def write_previews(decoded):
    out = tempfile.mkdtemp(prefix="installer-icon-")
    tiles = []
    for size, rgba in decoded:
        actual = os.path.join(out, f"{size}.png")
        run(["convert", "-size", f"{size}x{size}", "-depth", "8", "rgba:-", actual], stdin=rgba)
        # Whole-number blow-ups only, so every source pixel stays a clean square.
        scale = max(1, 256 // size)
        big = os.path.join(out, f"{size}-x{scale}.png")
        run(["convert", actual, "-filter", "point", "-resize", f"{size * scale}x{size * scale}",
             "-background", "none", "-gravity", "center", "-extent", "256x256", "+repage", big])
        tiles.append(big)
    for name, colour in (("light", "#f3f3f3"), ("dark", "#202020")):
        run(["convert", "-background", colour, *tiles, "+repage", "-splice", "8x0", "+append",
             "+repage", "-flatten", os.path.join(out, f"sheet-{name}.png")])
        # Actual pixels side by side, as a taskbar or file list would show them.
        run(["convert", "-background", colour, *[os.path.join(out, f"{s}.png") for s in SIZES],
             "+repage", "-gravity", "west", "-splice", "6x0", "-gravity", "south", "+append",
             "+repage", "-flatten", os.path.join(out, f"actual-{name}.png")])
    return out


def main():
    images = [(size, bmp_image(size, rasterise(art_for(size), size))) for size in SIZES]
    blob = build_ico(images)

    # Written beside the real file and checked from disk before it replaces it, so a bad run
    # leaves the committed icon as it was.
    fresh = ICO_PATH + ".new"
    with open(fresh, "wb") as f:
        f.write(blob)
    with open(fresh, "rb") as f:
        decoded, faults = check_ico(f.read())
    if faults:
        for fault in faults:
            print(f"make-icon: {fault}", file=sys.stderr)
        print(f"make-icon: left the rejected file at {fresh}", file=sys.stderr)
        return 1
    os.replace(fresh, ICO_PATH)

    print(f"{os.path.relpath(ICO_PATH, ROOT)}: {len(blob)} bytes")
    for size, data in images:
        print(f"  {size:3} px  {len(data):6} bytes")
    if "--no-preview" not in sys.argv[1:]:
        print(f"previews in {write_previews(decoded)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
