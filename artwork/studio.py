"""The photo studio every picture of the pedal is rendered in.

One light set-up is shared by the knob, the body and the floor, so that the
pieces look as if they were photographed together: a large softbox up and to
the left of the pedal (the key light), a dim fill from the right, a pale
ceiling, and the light wooden floor the pedal stands on, which chrome parts
reflect along their lower edges.

All shading happens in linear light on a supersampled grid; the pictures are
box-filtered down and encoded to sRGB only at the end.
"""

import struct
import zlib

import cairo
import numpy as np
from PIL import Image

SUPERSAMPLE = 3


def normalised (v):
    v = np.asarray (v, dtype=np.float64)
    return v / np.linalg.norm (v)


# Image axes: x to the right, y down the picture, z out of the picture towards
# the camera. "Top-left" is therefore negative x and negative y.
KEY_DIR = normalised ((-0.55, -0.70, 0.78))
FILL_DIR = normalised ((0.80, -0.15, 0.55))
OVERHEAD_DIR = normalised ((-0.22, -0.30, 1.0))
KEY_POWER = 1.05
FILL_POWER = 0.16
AMBIENT = 0.24

FLOOR_TINT = np.array ((0.50, 0.43, 0.34))


#==============================================================================
# Small numeric helpers

def smoothstep (e0, e1, x):
    t = np.clip ((x - e0) / (e1 - e0), 0.0, 1.0)
    return t * t * (3.0 - 2.0 * t)


def box_blur_axis (a, radius, axis):
    if radius < 1:
        return a
    pad = [(0, 0)] * a.ndim
    pad[axis] = (radius + 1, radius)
    p = np.pad (a, pad, mode="edge")
    c = np.cumsum (p, axis=axis, dtype=np.float64)
    n = a.shape[axis]
    hi = np.take (c, np.arange (2 * radius + 1, 2 * radius + 1 + n), axis=axis)
    lo = np.take (c, np.arange (0, n), axis=axis)
    return ((hi - lo) / (2 * radius + 1)).astype (a.dtype)


def blur (a, sigma):
    """Gaussian-like blur: three box passes per axis."""
    if sigma <= 0.0:
        return a
    radius = int (round (np.sqrt (12.0 * sigma * sigma / 3.0 + 1.0) / 2.0))
    out = a.astype (np.float32)
    for _ in range (3):
        out = box_blur_axis (out, radius, 0)
        out = box_blur_axis (out, radius, 1)
    return out


def value_noise (shape, cell, seed, octaves=1, persistence=0.5):
    """Smooth noise in 0..1: random lattice values resized bicubically."""
    rng = np.random.default_rng (seed)
    h, w = shape
    total = np.zeros (shape, dtype=np.float32)
    amp, norm = 1.0, 0.0
    for _ in range (octaves):
        gh = max (2, int (np.ceil (h / cell)) + 3)
        gw = max (2, int (np.ceil (w / cell)) + 3)
        grid = rng.random ((gh, gw)).astype (np.float32)
        big = Image.fromarray (grid, mode="F").resize ((int (gw * cell), int (gh * cell)), Image.BICUBIC)
        arr = np.asarray (big, dtype=np.float32)
        oy, ox = int (cell), int (cell)
        total += amp * arr[oy:oy + h, ox:ox + w]
        norm += amp
        amp *= persistence
        cell = max (1.0, cell / 2.0)
    return total / norm


def normals_from_height (h, step):
    """Unit normals of a height field sampled every `step` units."""
    gy, gx = np.gradient (h, step)
    inv = 1.0 / np.sqrt (gx * gx + gy * gy + 1.0)
    return (-gx * inv, -gy * inv, inv)


def heightfield_shadow (h, step, light, steps=48, reach=30.0, softness=1.5):
    """Fraction of key light reaching each texel of a height field.

    Marches from every texel towards the light and darkens it when some texel
    on the way stands above the ray. `reach` is the longest shadow in units.
    """
    lx, ly, lz = light
    horiz = np.hypot (lx, ly)
    dx, dy = lx / horiz, ly / horiz
    rise = lz / horiz
    lit = np.ones_like (h, dtype=np.float32)
    hp = h.astype (np.float32)
    H, W = h.shape
    for k in range (1, steps + 1):
        dist = reach * k / steps
        sx = int (round (dx * dist / step))
        sy = int (round (dy * dist / step))
        shifted = np.full_like (hp, -1e9)
        ys0, ys1 = max (0, sy), min (H, H + sy)
        xs0, xs1 = max (0, sx), min (W, W + sx)
        shifted[ys0 - sy:ys1 - sy, xs0 - sx:xs1 - sx] = hp[ys0:ys1, xs0:xs1]
        above = shifted - (hp + rise * dist)
        lit = np.minimum (lit, 1.0 - smoothstep (0.0, softness, above))
    return lit


#==============================================================================
# Light and reflection

def _basis (d):
    up = np.array ((0.0, 0.0, 1.0)) if abs (d[2]) < 0.9 else np.array ((1.0, 0.0, 0.0))
    u = np.cross (up, d)
    u /= np.linalg.norm (u)
    v = np.cross (d, u)
    return u, v


_KEY_U, _KEY_V = _basis (KEY_DIR)


def environment (rx, ry, rz, rough, floor_gain=1.0, horizon=None):
    """Radiance seen along reflected directions (linear RGB, three arrays).

    `rough` (0..1) widens the softbox edges and dims its peak, standing in for
    the blur a satin surface gives to reflections. `horizon` is what a part
    sees when it looks sideways and down: the floor unless it stands on the
    pedal, where it sees the painted lid around it.
    """
    tint = FLOOR_TINT if horizon is None else np.asarray (horizon)
    rough = np.asarray (rough, dtype=np.float32)
    kd = rx * KEY_DIR[0] + ry * KEY_DIR[1] + rz * KEY_DIR[2]
    safe = np.maximum (kd, 0.05)
    a = (rx * _KEY_U[0] + ry * _KEY_U[1] + rz * _KEY_U[2]) / safe
    b = (rx * _KEY_V[0] + ry * _KEY_V[1] + rz * _KEY_V[2]) / safe
    soft = 0.05 + 0.9 * rough
    box = (1.0 - smoothstep (0.55 - soft, 0.55 + soft, np.abs (a))) \
        * (1.0 - smoothstep (0.38 - soft, 0.38 + soft, np.abs (b)))
    box = box * (kd > 0.0)
    key = box * (4.2 / (1.0 + 5.0 * rough))
    fd = rx * FILL_DIR[0] + ry * FILL_DIR[1] + rz * FILL_DIR[2]
    fill = 0.55 * np.exp ((fd - 1.0) / (0.05 + 0.25 * rough))
    # a large diffuser straight above, a little towards the key light, and a
    # darker studio around it
    od = rx * OVERHEAD_DIR[0] + ry * OVERHEAD_DIR[1] + rz * OVERHEAD_DIR[2]
    overhead = 0.5 * np.exp (-(1.0 - od) / (0.03 + 0.2 * rough))
    ceiling = 0.05 + 0.06 * np.clip (1.0 - rz, 0.0, 1.0) + overhead
    floor_w = 1.0 - smoothstep (-0.05, 0.35, rz)
    grey = key + fill + ceiling
    r = grey * (1.0 - floor_w) + floor_w * tint[0] * floor_gain
    g = grey * (1.0 - floor_w) + floor_w * tint[1] * floor_gain
    bl = grey * (1.0 - floor_w) + floor_w * tint[2] * floor_gain
    # the softbox is a touch cooler than the warm room around it
    return r * 0.98, g * 1.0, bl * 1.03


def reflect_view (nx, ny, nz, vx=0.0, vy=0.0, vz=1.0):
    d = nx * vx + ny * vy + nz * vz
    return 2.0 * d * nx - vx, 2.0 * d * ny - vy, 2.0 * d * nz - vz, d


def diffuse_light (nx, ny, nz, key_shadow=1.0, occlusion=1.0):
    key = np.maximum (0.0, nx * KEY_DIR[0] + ny * KEY_DIR[1] + nz * KEY_DIR[2]) * key_shadow
    fill = np.maximum (0.0, nx * FILL_DIR[0] + ny * FILL_DIR[1] + nz * FILL_DIR[2])
    amb = AMBIENT * (0.55 + 0.45 * nz) * occlusion
    return KEY_POWER * key + FILL_POWER * fill + amb


def shade_dielectric (n, albedo, rough, gloss, key_shadow=1.0, occlusion=1.0, view=(0.0, 0.0, 1.0),
                      edge_sheen=0.25):
    nx, ny, nz = n
    rx, ry, rz, ndv = reflect_view (nx, ny, nz, *view)
    light = diffuse_light (nx, ny, nz, key_shadow, occlusion)
    # rough surfaces never reach the full grazing reflectance of a mirror
    fres = 0.04 + edge_sheen * (1.0 - np.clip (ndv, 0.0, 1.0)) ** 5
    er, eg, eb = environment (rx, ry, rz, rough, floor_gain=0.45)
    spec_shadow = 0.35 + 0.65 * np.asarray (key_shadow)
    s = gloss * fres * spec_shadow * occlusion
    return (albedo[0] * light + s * er,
            albedo[1] * light + s * eg,
            albedo[2] * light + s * eb)


def shade_metal (n, tint, rough, key_shadow=1.0, occlusion=1.0, view=(0.0, 0.0, 1.0), horizon=None):
    nx, ny, nz = n
    rx, ry, rz, _ = reflect_view (nx, ny, nz, *view)
    er, eg, eb = environment (rx, ry, rz, rough, floor_gain=0.75, horizon=horizon)
    s = (0.45 + 0.55 * np.asarray (key_shadow)) * occlusion
    return tint[0] * er * s, tint[1] * eg * s, tint[2] * eb * s


#==============================================================================
# Pixels out

def tone_map (c):
    """Soft shoulder so that chrome highlights roll off like on film."""
    c = np.maximum (c, 0.0)
    knee = 0.8
    over = c > knee
    out = c.copy()
    out[over] = knee + (1.0 - knee) * (1.0 - np.exp (-(c[over] - knee) / (1.0 - knee)))
    return out


def linear_to_srgb (c):
    c = np.clip (c, 0.0, 1.0)
    return np.where (c <= 0.0031308, 12.92 * c, 1.055 * np.power (c, 1.0 / 2.4) - 0.055)


def downsample (rgb, alpha, factor=SUPERSAMPLE):
    """Box-filters premultiplied linear colour and alpha by `factor`."""
    h, w = alpha.shape
    H, W = h // factor, w // factor

    def pool (a):
        return a[:H * factor, :W * factor].reshape (H, factor, W, factor).mean (axis=(1, 3))

    a = pool (alpha)
    chans = [pool (c * alpha) for c in rgb]
    safe = np.where (a > 1e-6, a, 1.0)
    return [c / safe for c in chans], a


def to_rgba8 (rgb, alpha):
    out = np.zeros (alpha.shape + (4,), dtype=np.uint8)
    for i in range (3):
        out[..., i] = np.round (linear_to_srgb (tone_map (rgb[i])) * 255.0)
    out[..., 3] = np.round (np.clip (alpha, 0.0, 1.0) * 255.0)
    out[out[..., 3] == 0] = 0
    return out


def save_png8 (path, rgba):
    Image.fromarray (rgba, mode="RGBA").save (path, format="PNG", compress_level=9)


def save_png16 (path, rgba16):
    """Writes a 16-bit RGBA PNG (colour type 6, depth 16), which PIL cannot."""
    h, w, _ = rgba16.shape
    be = rgba16.astype (">u2").reshape (h, w * 8 // 2).view (np.uint8).reshape (h, w * 8)
    # "up" filter on every row: the floor is smooth vertically within a plank
    prev = np.zeros (w * 8, dtype=np.uint8)
    rows = []
    for y in range (h):
        row = be[y]
        rows.append (b"\x02" + ((row.astype (np.int16) - prev.astype (np.int16)) & 0xFF).astype (np.uint8).tobytes())
        prev = row
    raw = b"".join (rows)

    def chunk (tag, data):
        body = tag + data
        return struct.pack (">I", len (data)) + body + struct.pack (">I", zlib.crc32 (body) & 0xFFFFFFFF)

    ihdr = struct.pack (">IIBBBBB", w, h, 16, 6, 0, 0, 0)
    with open (path, "wb") as f:
        f.write (b"\x89PNG\r\n\x1a\n")
        f.write (chunk (b"IHDR", ihdr))
        f.write (chunk (b"IDAT", zlib.compress (raw, 9)))
        f.write (chunk (b"IEND", b""))


#==============================================================================
# Printing with cairo

def text_mask (shape, scale, items):
    """Coverage (0..1) of silkscreened text on a supersampled grid.

    items: dicts with text, family, size, x, y (centre of the text's ink in
    picture pixels), optional weight/slant/tracking.
    """
    h, w = shape
    surf = cairo.ImageSurface (cairo.FORMAT_A8, w, h)
    ctx = cairo.Context (surf)
    opts = cairo.FontOptions()
    opts.set_antialias (cairo.ANTIALIAS_GRAY)
    opts.set_hint_style (cairo.HINT_STYLE_NONE)
    opts.set_hint_metrics (cairo.HINT_METRICS_OFF)
    ctx.set_font_options (opts)
    for it in items:
        slant = cairo.FONT_SLANT_ITALIC if it.get ("italic") else cairo.FONT_SLANT_NORMAL
        weight = cairo.FONT_WEIGHT_BOLD if it.get ("bold") else cairo.FONT_WEIGHT_NORMAL
        ctx.select_font_face (it["family"], slant, weight)
        ctx.set_font_size (it["size"] * scale)
        track = it.get ("tracking", 0.0) * scale
        text = it["text"]
        widths = [ctx.text_extents (ch).x_advance for ch in text]
        total = sum (widths) + track * (len (text) - 1)
        ext = ctx.text_extents (text)
        x = it["x"] * scale - total / 2.0
        y = it["y"] * scale - (ext.y_bearing + ext.height / 2.0)
        for ch, adv in zip (text, widths):
            ctx.move_to (x, y)
            ctx.show_text (ch)
            x += adv + track
    surf.flush()
    stride = surf.get_stride()
    data = np.frombuffer (surf.get_data(), dtype=np.uint8).reshape (h, stride)[:, :w]
    return data.astype (np.float32) / 255.0
