#!/usr/bin/env python3
# Makes the GIF reader's corpus in data/gif/ with Debian's python3-pil and giflib's
# gifbuild (giflib-tools), and beside each file the pixels Pillow decodes from it
# (.rgba: 4 bytes a pixel of the first image, as Pillow composites it onto the screen:
# so every first image is placed at (0, 0) and is the size of the screen). manifest.txt
# lists "name width height". Each file is checked here for the property it stands for
# (version, interlace bit, local map, transparency, image count). Run once with
# /usr/bin/python3.
import os
import subprocess

from PIL import Image

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "gif")


class Lcg:
    def __init__(self, seed):
        self.x = seed

    def below(self, n):
        self.x = (self.x * 1103515245 + 12345) & 0xFFFFFFFF
        return ((self.x >> 8) * n) >> 24


def palette(n, seed):
    g = Lcg(seed)
    return [g.below(256) for _ in range(3 * n)]


def pil_image(w, h, ncol, seed):
    im = Image.new("P", (w, h))
    im.putpalette(palette(ncol, seed))
    g = Lcg(seed + 1)
    im.putdata([g.below(ncol) for _ in range(w * h)])
    return im


def gifbuild(name, text):
    path = os.path.join(HERE, name)
    with open(path, "wb") as f:
        subprocess.run(["gifbuild"], input=text.encode(), stdout=f, check=True)
    return path


def spec_map(colours):
    lines = ["\trgb %d %d %d is %s" % (colours[3 * i], colours[3 * i + 1], colours[3 * i + 2], "0123456789abcdef"[i])
             for i in range(len(colours) // 3)]
    return "\n".join(lines) + "\nend\n"


def spec_raster(w, h, ncol, seed):
    g = Lcg(seed)
    return "\n".join("".join("0123456789abcdef"[g.below(ncol)] for _ in range(w)) for _ in range(h)) + "\n"


def spec_hex_raster(w, h, seed):
    g = Lcg(seed)
    return "\n".join("".join("%02x" % g.below(256) for _ in range(w)) for _ in range(h)) + "\n"


def hex_map(colours):
    return "\n".join("\trgb %d %d %d" % tuple(colours[3 * i:3 * i + 3]) for i in range(len(colours) // 3)) + "\nend\n"


def first_descriptor(path):
    """(version, flags of the first image descriptor, image count, transparent index or None)."""
    b = open(path, "rb").read()
    pos = 13 + (3 << ((b[10] & 7) + 1) if b[10] & 0x80 else 0)
    flags, images, transp = None, 0, None
    while pos < len(b) and b[pos] != 0x3B:
        if b[pos] == 0x21:
            if b[pos + 1] == 0xF9 and images == 0 and b[pos + 3] & 1:
                transp = b[pos + 6]
            pos += 2
            while b[pos]:
                pos += b[pos] + 1
            pos += 1
        elif b[pos] == 0x2C:
            if images == 0:
                flags = b[pos + 9]
            images += 1
            pos += 10
            if b[pos - 1] & 0x80:
                pos += 3 << ((b[pos - 1] & 7) + 1)
            pos += 1
            while b[pos]:
                pos += b[pos] + 1
            pos += 1
        else:
            raise ValueError("unexpected byte %d in %s" % (b[pos], path))
    return b[:6].decode(), flags, images, transp


def record(manifest, name, check):
    path = os.path.join(HERE, name)
    version, flags, images, transp = first_descriptor(path)
    assert check(version, flags, images, transp), (name, version, flags, images, transp)
    im = Image.open(path)
    im.seek(0)
    rgba = im.convert("RGBA")
    with open(path[:-4] + ".rgba", "wb") as f:
        f.write(rgba.tobytes())
    manifest.append("%s %d %d" % (name, im.size[0], im.size[1]))


def main():
    os.makedirs(HERE, exist_ok=True)
    m = []
    # Pillow: GIF87a without extensions, GIF89a with transparency, interlaced and plain
    # twins (Pillow interlaces only images of 16 rows or more), two images, 256 colours.
    pil_image(13, 7, 16, 1).save(os.path.join(HERE, "pil_87.gif"))
    record(m, "pil_87.gif", lambda v, f, n, t: v == "GIF87a" and not f & 0x40 and n == 1)
    pil_image(12, 10, 16, 2).save(os.path.join(HERE, "pil_89_transparent5.gif"), transparency=5)
    record(m, "pil_89_transparent5.gif", lambda v, f, n, t: v == "GIF89a" and t == 5)
    twin = pil_image(16, 16, 32, 3)
    twin.save(os.path.join(HERE, "pil_interlaced16.gif"), interlace=True)
    record(m, "pil_interlaced16.gif", lambda v, f, n, t: f & 0x40)
    twin.save(os.path.join(HERE, "pil_plain16.gif"), interlace=False)
    record(m, "pil_plain16.gif", lambda v, f, n, t: not f & 0x40)
    frames = [pil_image(20, 9, 16, 4), pil_image(20, 9, 16, 5)]
    frames[0].save(os.path.join(HERE, "pil_two_images.gif"), save_all=True, append_images=frames[1:])
    record(m, "pil_two_images.gif", lambda v, f, n, t: n == 2)
    pil_image(128, 128, 256, 6).save(os.path.join(HERE, "pil_256_noise.gif"), interlace=False)
    record(m, "pil_256_noise.gif", lambda v, f, n, t: n == 1)

    # gifbuild: interlaced images of 1 to 9 rows, a local map of 4 colours, transparency,
    # and 256 colours in hex rows.
    screen = palette(16, 7)
    for h in [1, 2, 3, 4, 5, 7, 9]:
        name = "gb_interlaced_h%d.gif" % h
        gifbuild(name, "screen width 6\nscreen height %d\nscreen map\n%s\nimage\nimage interlaced\n"
                       "image bits 6 by %d\n%s" % (h, spec_map(screen), h, spec_raster(6, h, 16, 10 + h)))
        record(m, name, lambda v, f, n, t: f & 0x40 and n == 1)
    gifbuild("gb_local4.gif", "screen width 7\nscreen height 5\nscreen map\n%s\nimage\nimage map\n%s\n"
                              "image bits 7 by 5\n%s" % (spec_map(screen), spec_map(palette(4, 8)),
                                                         spec_raster(7, 5, 4, 20)))
    record(m, "gb_local4.gif", lambda v, f, n, t: f & 0x80 and (f & 7) == 1)
    # gifbuild gives an extension to the image that follows it
    gifbuild("gb_transparent5.gif", "screen width 9\nscreen height 4\nscreen map\n%s\n"
                                    "graphics control\n\ttransparent index 5\nend\nimage\nimage bits 9 by 4\n%s"
             % (spec_map(screen), spec_raster(9, 4, 16, 21)))
    record(m, "gb_transparent5.gif", lambda v, f, n, t: v == "GIF89a" and t == 5)
    gifbuild("gb_256_noise.gif", "screen width 100\nscreen height 90\nscreen map\n%s\nimage\n"
                                 "image bits 100 by 90 hex\n%s" % (hex_map(palette(256, 9)),
                                                                   spec_hex_raster(100, 90, 22)))
    record(m, "gb_256_noise.gif", lambda v, f, n, t: n == 1)
    with open(os.path.join(HERE, "manifest.txt"), "w") as f:
        f.write("\n".join(m) + "\n")


main()
