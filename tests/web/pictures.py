"""Pictures for the page's browser tests, made and judged with NumPy and Pillow, apart from
the page and from libvips.

    python3 pictures.py make DIR          the test images, in DIR
    python3 pictures.py upright IN OUT    IN turned upright by its EXIF orientation, as RGBA
    python3 pictures.py stored IN X,Y,W,H the stored pixels' bounding rectangle of the upright
                                          picture's rectangle X,Y,W,H
"""
import sys
import zlib
import struct

import numpy as np
from PIL import Image, ImageOps

ORIENTATION = 0x0112


def smooth_noise(rng, h, w):
    """Colours with some structure (gradients and blobs) and noise, correlated across bands."""
    y, x = np.mgrid[0:h, 0:w]
    base = 90 + 60 * np.sin(x / 9.0) * np.cos(y / 7.0)
    rgb = np.stack([base + 30 * np.sin(y / 5.0), base * 0.8 + 20, base * 0.6 + 10 * np.cos(x / 4.0)],
                   axis=-1)
    rgb += rng.normal(0, 12, rgb.shape)
    return np.clip(rgb, 0, 255).astype(np.uint8)


def cut_out(rng, h, w):
    """A subject on a transparent ground: alpha 255 inside an ellipse, a feathered rim of
    every alpha from 1 to 254, and 0 outside, where the colours are random."""
    rgb = smooth_noise(rng, h, w)
    y, x = np.mgrid[0:h, 0:w]
    r = np.hypot((x - w / 2) / (w * 0.4), (y - h / 2) / (h * 0.4))
    alpha = np.clip((1.25 - r) / 0.25 * 255, 0, 255).astype(np.uint8)
    outside = alpha == 0
    rgb[outside] = rng.integers(0, 256, (outside.sum(), 3), dtype=np.uint8)
    return np.dstack([rgb, alpha])


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def write_png(path, width, height, depth, colour_type, rows):
    """A PNG of packed rows (each with its filter byte), compressed as they come, for what
    Pillow does not write: 16-bit colour, and large plain images at little cost."""
    squeeze = zlib.compressobj(6)
    data = [squeeze.compress(row) for row in rows]
    data.append(squeeze.flush())
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0, 0)))
        f.write(chunk(b"IDAT", b"".join(data)))
        f.write(chunk(b"IEND", b""))


def make(folder):
    rng = np.random.default_rng(20240611)
    # Wider than a WebGL tile (4096), so that the texture's way reads it in pieces.
    Image.fromarray(cut_out(rng, 72, 4200), "RGBA").save(f"{folder}/cutout.png")
    # A picture for each orientation; its upright form is Pillow's.
    rgb = smooth_noise(rng, 30, 44)
    for o in range(1, 9):
        exif = Image.Exif()
        exif[ORIENTATION] = o
        Image.fromarray(rgb).save(f"{folder}/turned-{o}.png", exif=exif.tobytes())
    for o in (3, 6):
        exif = Image.Exif()
        exif[ORIENTATION] = o
        Image.fromarray(rgb).save(f"{folder}/turned-{o}.jpg", exif=exif.tobytes(), quality=92)
    # Opened one after the other: the first takes longer to decode.
    Image.fromarray(rng.integers(0, 256, (1500, 2000, 3), dtype=np.uint8)).save(
        f"{folder}/slow.png", compress_level=1)
    Image.fromarray(smooth_noise(rng, 20, 30)).save(f"{folder}/quick.png")
    # 16-bit colour: Pillow writes 16-bit grey only.
    deep = rng.integers(0, 65536, (20, 30, 3)).astype(">u2")
    write_png(f"{folder}/deep.png", 30, 20, 16, 2, (b"\0" + deep[y].tobytes() for y in range(20)))
    # Valid, large and nearly all one colour (1-bit grey): a canvas just over 2^28 pixels, and
    # a photograph of 900 megapixels.
    for name, w, h in (("over-canvas.png", 16500, 16500), ("huge.png", 30000, 30000)):
        row = b"\0" + b"\x55" * ((w + 7) // 8)
        write_png(f"{folder}/{name}", w, h, 1, 0, (row for _ in range(h)))


def upright(path, out):
    image = ImageOps.exif_transpose(Image.open(path)).convert("RGBA")
    image.save(out)


def stored(path, rect):
    """Numbers every stored pixel, turns the numbers as Pillow turns the picture, and returns
    the bounding box of the numbers under the upright rectangle."""
    image = Image.open(path)
    w, h = image.size
    index = Image.fromarray(np.arange(w * h, dtype=np.int32).reshape(h, w), "I")
    index.info["exif"] = image.info.get("exif", b"")
    index.getexif()[ORIENTATION] = image.getexif().get(ORIENTATION, 1)
    turned = np.asarray(ImageOps.exif_transpose(index))
    x, y, rw, rh = rect
    under = turned[y:y + rh, x:x + rw].ravel()
    xs, ys = under % w, under // w
    return [int(xs.min()), int(ys.min()), int(xs.max() - xs.min() + 1), int(ys.max() - ys.min() + 1)]


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "make":
        make(sys.argv[2])
    elif command == "upright":
        upright(sys.argv[2], sys.argv[3])
    elif command == "stored":
        print(",".join(map(str, stored(sys.argv[2], [int(v) for v in sys.argv[3].split(",")]))))
