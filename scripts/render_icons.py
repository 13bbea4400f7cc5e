#!/usr/bin/python3
"""Renders the front-end's images into frontend/resources/ and the application
icon in the sizes desktops expect into packaging/icons/hicolor/.

Usage: scripts/render_icons.py [output folder [icon folder]]

Shapes are drawn at four times their size and scaled down, which gives clean
anti-aliased edges. Button images come in a plain (light grey) and a hover
(orange accent) colour; all of them have a transparent background.
"""
import os
import sys

from PIL import Image, ImageDraw

SCALE = 4
ACCENT = (234, 112, 12, 255)      # #EA700C
PLAIN = (214, 218, 222, 255)
DARK = (5, 15, 21, 255)           # #050F15
FIELD = (14, 43, 71, 255)         # #0E2B47


def canvas(w, h):
    img = Image.new("RGBA", (w * SCALE, h * SCALE), (0, 0, 0, 0))
    return img, ImageDraw.Draw(img)


def finish(img, w, h, path):
    img.resize((w, h), Image.LANCZOS).save(path, optimize=True)


def s(*values):
    return [v * SCALE for v in values]


def paste_icon(color, path):
    """A clipboard with a clip on top and three text lines."""
    img, d = canvas(96, 96)
    d.rounded_rectangle(s(18, 16, 78, 88), radius=8 * SCALE, outline=color, width=7 * SCALE)
    d.rounded_rectangle(s(34, 8, 62, 26), radius=5 * SCALE, fill=color)
    for y in (44, 58, 72):
        d.rounded_rectangle(s(32, y - 3, 64 if y != 72 else 52, y + 3), radius=3 * SCALE, fill=color)
    finish(img, 96, 96, path)


def clear_icon(color, path):
    """A ring with a diagonal cross."""
    img, d = canvas(96, 96)
    d.ellipse(s(10, 10, 86, 86), outline=color, width=7 * SCALE)
    w = 8 * SCALE
    d.line(s(33, 33, 63, 63), fill=color, width=w)
    d.line(s(63, 33, 33, 63), fill=color, width=w)
    for x, y in ((33, 33), (63, 63), (63, 33), (33, 63)):
        d.ellipse(s(x - 4, y - 4, x + 4, y + 4), fill=color)
    finish(img, 96, 96, path)


def save_icon(color, path):
    """A bookmark ribbon with a plus sign beside it."""
    img, d = canvas(96, 96)
    d.polygon([tuple(s(16, 10)), tuple(s(60, 10)), tuple(s(60, 86)),
               tuple(s(38, 68)), tuple(s(16, 86))], fill=color)
    d.rounded_rectangle(s(16, 10, 60, 30), radius=6 * SCALE, fill=color)
    d.rounded_rectangle(s(64, 42, 88, 50), radius=3 * SCALE, fill=color)
    d.rounded_rectangle(s(72, 34, 80, 58), radius=3 * SCALE, fill=color)
    finish(img, 96, 96, path)


def app_icon(path):
    """Dark rounded tile, orange play sign with two signal arcs."""
    w, h = 126, 127
    img, d = canvas(w, h)
    d.rounded_rectangle(s(2, 2, w - 2, h - 2), radius=24 * SCALE, fill=DARK, outline=FIELD, width=4 * SCALE)
    d.polygon([tuple(s(34, 34)), tuple(s(34, 94)), tuple(s(80, 64))], fill=ACCENT)
    for r in (18, 30):
        box = s(80 - r, 64 - r, 80 + r, 64 + r)
        d.arc(box, start=-45, end=45, fill=(255, 255, 255, 255), width=6 * SCALE)
    finish(img, w, h, path)


def windows_icon_group(png_path, ico_path):
    """The Windows icon group (16, 32, 48, 128) from the application icon, centred on a square."""
    src = Image.open(png_path).convert("RGBA")
    square = Image.new("RGBA", (128, 128), (0, 0, 0, 0))
    square.paste(src, ((128 - src.width) // 2, (128 - src.height) // 2))
    square.save(ico_path, sizes=[(16, 16), (32, 32), (48, 48), (128, 128)])


HICOLOR_SIZES = (16, 32, 48, 64, 128, 256)


def square_app_icon(size, path):
    """The application icon on a square canvas, drawn at 256 and scaled, for menus."""
    base = 256
    img = Image.new("RGBA", (base * SCALE, base * SCALE), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    k = base / 128.0

    def t(*values):
        return [round(v * k * SCALE) for v in values]

    # Small sizes get a thinner margin so the tile stays readable.
    margin = 1 if size <= 32 else 4
    d.rounded_rectangle(t(margin, margin, 128 - margin, 128 - margin), radius=round(24 * k * SCALE),
                        fill=DARK, outline=FIELD, width=round(4 * k * SCALE))
    d.polygon([tuple(t(34, 34)), tuple(t(34, 94)), tuple(t(80, 64))], fill=ACCENT)
    for r in (18, 30):
        d.arc(t(80 - r, 64 - r, 80 + r, 64 + r), start=-45, end=45, fill=(255, 255, 255, 255),
              width=round(6 * k * SCALE))
    img.resize((size, size), Image.LANCZOS).save(path, optimize=True)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "frontend", "resources")
    img_dir = os.path.join(out, "images")
    os.makedirs(img_dir, exist_ok=True)
    app_icon(os.path.join(img_dir, "app_icon.png"))
    windows_icon_group(os.path.join(img_dir, "app_icon.png"), os.path.join(out, "nuvix.ico"))
    for name, draw in (("paste", paste_icon), ("clear", clear_icon), ("save", save_icon)):
        draw(PLAIN, os.path.join(img_dir, name + ".png"))
        draw(ACCENT, os.path.join(img_dir, name + "_hover.png"))
    icons = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "..", "packaging", "icons", "hicolor")
    for size in HICOLOR_SIZES:
        folder = os.path.join(icons, "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        square_app_icon(size, os.path.join(folder, "nuvix.png"))


if __name__ == "__main__":
    main()
