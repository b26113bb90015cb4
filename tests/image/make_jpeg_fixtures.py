#!/usr/bin/env python3
# Writes the JPEG fixtures of jpeg_glue_test.cpp into data/ with Debian's python3-pil:
# a greyscale JPEG, and CMYK JPEGs with, beside each, the pixels a decoder of 4-byte RGB
# must give (.rgb, 3 bytes a pixel): red = c*k/255 and so on over the samples stored in
# the file. Pillow writes CMYK inverted with an Adobe marker and reads it back inverted,
# so a stored sample is 255 minus Pillow's value. Also colour JPEGs that our encoder
# never writes (progressive; restart markers every row, by cjpeg) with the pixels Pillow
# decodes from them (.rgb). Run once with /usr/bin/python3.
import os
import subprocess

from PIL import Image

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
W, H = 16, 16


def save_grey():
    im = Image.new("L", (W, H))
    im.putdata([(x * 16 + y) & 255 for y in range(H) for x in range(W)])
    im.save(os.path.join(here, "grey.jpg"), quality=90)


def save_cmyk(name, stored_k):
    im = Image.new("CMYK", (W, H))
    px = []
    for y in range(H):
        for x in range(W):
            c, m, yy = (x * 16) & 255, (y * 16) & 255, ((x + y) * 8) & 255
            k = stored_k(x, y)
            px.append((255 - c, 255 - m, 255 - yy, 255 - k))
    im.putdata(px)
    path = os.path.join(here, name + ".jpg")
    im.save(path, quality=95)
    back = Image.open(path)
    assert back.mode == "CMYK"
    rgb = bytearray()
    for (c, m, yy, k) in back.getdata():
        c, m, yy, k = 255 - c, 255 - m, 255 - yy, 255 - k  # the samples in the file
        rgb += bytes((c * k // 255, m * k // 255, yy * k // 255))
    with open(os.path.join(here, name + ".rgb"), "wb") as f:
        f.write(rgb)


def save_colour():
    im = Image.new("RGB", (40, 24))
    im.putdata([((x * 6) & 255, (y * 10) & 255, ((x ^ y) * 7) & 255) for y in range(24) for x in range(40)])
    path = os.path.join(here, "progressive.jpg")
    im.save(path, quality=85, progressive=True)
    with open(os.path.join(here, "progressive.rgb"), "wb") as f:
        f.write(Image.open(path).convert("RGB").tobytes())
    ppm = os.path.join(here, "restart.ppm")
    im.save(ppm)
    path = os.path.join(here, "restart.jpg")
    with open(path, "wb") as f:
        subprocess.run(["cjpeg", "-quality", "75", "-restart", "1", ppm], stdout=f, check=True)
    os.remove(ppm)
    with open(os.path.join(here, "restart.rgb"), "wb") as f:
        f.write(Image.open(path).convert("RGB").tobytes())


save_grey()
save_colour()
save_cmyk("cmyk_k255", lambda x, y: 255)
save_cmyk("cmyk_k0", lambda x, y: 0)
save_cmyk("cmyk_mixed", lambda x, y: (x * 16 + 8) & 255)
