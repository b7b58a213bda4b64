"""The pedal's body seen from above: a powder-coated die-cast enclosure.

Everything that is drawn on the body has a place fixed by the editor's panel:
the knobs stand at (114, 95), (271, 148) and (436, 95), the read-outs print
light text over the three smoked windows, and the panel's invisible switch
covers x 38..518, y 552..850, so the chrome stomp switch sits in its middle.
The knobs themselves come from the filmstrip and are drawn over this picture.

The lit and the dark picture are rendered from one scene; only the lamp's
lens and the red glow it throws on the paint around it differ.
"""

import numpy as np

import studio as st

WIDTH, HEIGHT = 556, 955

# enclosure outline, inside the picture with room for the shadow on the floor
ENCL = (10.0, 3.0, 536.0, 931.0)
ENCL_CORNER = 34.0
ROUND_OVER = 15.0

KNOBS = ((114.0, 95.0), (271.0, 148.0), (436.0, 95.0))
WINDOWS = ((116.0, 220.0), (271.0, 267.0), (436.0, 220.0))
WINDOW_HALF = (64.0, 25.0)
WINDOW_CORNER = 9.0
BEZEL = 3.5

LAMP = (274.0, 44.0)
LAMP_LENS = 10.5
LAMP_RING = 14.5                          # middle of the chrome bezel
SWITCH = (275.0, 700.0)
SCREWS = ((36.0, 30.0), (510.0, 30.0), (36.0, 904.0), (510.0, 904.0))

PAINT = (0.0105, 0.083, 0.098)           # deep petrol blue-green, linear
INK = (0.86, 0.78, 0.60)                 # warm cream silkscreen
CHROME = (0.92, 0.92, 0.93)


#==============================================================================
# Signed distances (negative inside)

def sd_round_rect (x, y, x0, y0, x1, y1, rad):
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - rad, (y1 - y0) / 2.0 - rad
    qx = np.abs (x - cx) - hx
    qy = np.abs (y - cy) - hy
    outside = np.hypot (np.maximum (qx, 0.0), np.maximum (qy, 0.0))
    inside = np.minimum (np.maximum (qx, qy), 0.0)
    return outside + inside - rad


def sd_hexagon (x, y, cx, cy, inradius, rotation=0.0):
    px, py = x - cx, y - cy
    c, s = np.cos (rotation), np.sin (rotation)
    px, py = c * px + s * py, -s * px + c * py
    d = -1e9
    for k in range (6):
        a = k * np.pi / 3.0
        d = np.maximum (d, px * np.cos (a) + py * np.sin (a))
    return d - inradius


def cover (sd, ss):
    """Anti-aliased coverage of the inside of a signed distance."""
    return np.clip (0.5 - sd * ss, 0.0, 1.0)


#==============================================================================
class BodyRenderer:
    def __init__ (self):
        self.ss = st.SUPERSAMPLE
        ss = self.ss
        xs = (np.arange (WIDTH * ss, dtype=np.float32) + 0.5) / ss
        ys = (np.arange (HEIGHT * ss, dtype=np.float32) + 0.5) / ss
        self.x, self.y = np.meshgrid (xs, ys)
        self.step = 1.0 / ss

    #==========================================================================
    def geometry (self):
        x, y, ss = self.x, self.y, self.ss
        h = np.zeros_like (x)

        # enclosure: flat lid rolling over into the walls
        d_encl = sd_round_rect (x, y, *ENCL, ENCL_CORNER)
        t = np.clip (-d_encl / ROUND_OVER, 0.0, 1.0)
        h += ROUND_OVER * (np.sqrt (np.clip (1.0 - (1.0 - t) ** 2, 0.0, 1.0)) - 1.0)
        self.encl_cover = cover (d_encl, ss)
        self.d_encl = d_encl

        self.lid = (t > 0.99).astype (np.float32)

        # smoked windows for the read-outs, set in thin satin bezels
        self.glass = np.zeros_like (x)
        self.bezel = np.zeros_like (x)
        for cx, cy in WINDOWS:
            d = sd_round_rect (x, y, cx - WINDOW_HALF[0], cy - WINDOW_HALF[1],
                               cx + WINDOW_HALF[0], cy + WINDOW_HALF[1], WINDOW_CORNER)
            ring = np.clip (1.0 - np.abs (d + 0.0 - BEZEL * 0.5) / (BEZEL * 0.5 + 0.6), 0.0, 1.0)
            h += 1.6 * np.sqrt (ring)
            h -= 1.0 * (d < 0.0)
            self.glass = np.maximum (self.glass, cover (d, ss))
            self.bezel = np.maximum (self.bezel, cover (np.abs (d - BEZEL * 0.5) - BEZEL * 0.5, ss))

        # lamp: chrome bezel ring around a domed lens
        lx, ly = LAMP
        rl = np.hypot (x - lx, y - ly)
        ring = np.clip (1.0 - np.abs (rl - LAMP_RING) / 4.2, 0.0, 1.0)
        h += 3.4 * np.sin (ring * np.pi / 2.0)
        lens = np.clip (1.0 - (rl / LAMP_LENS) ** 2, 0.0, 1.0)
        h += np.where (rl < LAMP_LENS, 1.0 + 4.5 * np.sqrt (lens), 0.0)
        self.lamp_ring = cover (np.abs (rl - LAMP_RING) - 4.2, ss)
        self.lens = cover (rl - LAMP_LENS, ss)
        self.lamp_r = rl

        # screws: domed pan heads with a cross recess
        self.screw = np.zeros_like (x)
        self.screw_cross = np.zeros_like (x)
        for i, (sx, sy) in enumerate (SCREWS):
            rs = np.hypot (x - sx, y - sy)
            dome = np.clip (1.0 - (rs / 9.5) ** 2, 0.0, 1.0)
            hs = np.where (rs < 9.5, 1.0 + 3.5 * np.sqrt (dome), 0.0)
            a = 0.35 + 0.6 * i                     # screws are never lined up alike
            u = (x - sx) * np.cos (a) + (y - sy) * np.sin (a)
            v = -(x - sx) * np.sin (a) + (y - sy) * np.cos (a)
            arm = np.minimum (np.maximum (np.abs (u) - 1.2, np.abs (v) - 5.5),
                              np.maximum (np.abs (v) - 1.2, np.abs (u) - 5.5))
            cross = cover (arm, ss)
            hs -= 2.2 * cross * (1.0 - np.clip (np.hypot (u, v) / 6.0, 0.0, 1.0) * 0.5)
            h += hs
            self.screw = np.maximum (self.screw, cover (rs - 9.5, ss))
            self.screw_cross = np.maximum (self.screw_cross, cross)

        # footswitch: washer, chamfered hex nut and the domed stomp cap
        fx, fy = SWITCH
        rf = np.hypot (x - fx, y - fy)
        washer = cover (rf - 66.0, ss)
        hw = 2.0 * np.clip ((66.0 - rf) / 1.2, 0.0, 1.0)
        d_hex = sd_hexagon (x, y, fx, fy, 50.0, rotation=np.deg2rad (8.0))
        nut = cover (d_hex, ss)
        chamfer = 16.0 - np.maximum (rf - 45.0, 0.0) * 0.58
        hn = np.where (d_hex < 0.0, np.maximum (chamfer, 4.0), 0.0)
        cap = cover (rf - 40.0, ss)
        ct = np.clip ((40.0 - rf) / 10.0, 0.0, 1.0)
        dome = np.sqrt (np.clip (1.0 - (rf / 48.0) ** 2, 0.0, 1.0))
        hc = 17.0 + 18.0 * np.sqrt (1.0 - (1.0 - ct) ** 2) + 48.0 * (dome - np.sqrt (1.0 - (30.0 / 48.0) ** 2)) * (rf < 30.0)
        hc += 0.015 * np.sin (rf * 2.2) * (rf < 29.0)        # turning marks on the cap
        hsw = np.where (rf < 40.0, hc, np.where (d_hex < 0.0, hn, hw * (rf < 66.0)))
        h += hsw
        self.washer, self.nut, self.cap, self.switch_r = washer, nut, cap, rf

        # orange peel of the powder coat, only where the lid is bare
        bare = self.lid * (1.0 - np.maximum.reduce ([self.glass, self.bezel, self.lamp_ring, self.lens,
                                                     self.screw, washer]))
        peel = st.value_noise (x.shape, 5.0 * ss, seed=11, octaves=2) - 0.5
        h += 0.17 * peel * bare

        # silkscreen ink stands a little proud of the paint and catches the light
        self.ink = self.print_mask()
        h += 0.35 * st.blur (self.ink, 0.4 * ss)
        self.h = h.astype (np.float32)

    #==========================================================================
    def print_mask (self):
        ss = self.ss
        items = [
            dict (text="DRIVE", family="URW Gothic", bold=True, size=17.0, tracking=3.0, x=114.0, y=166.0),
            dict (text="TONE", family="URW Gothic", bold=True, size=17.0, tracking=3.0, x=271.0, y=219.0),
            dict (text="LEVEL", family="URW Gothic", bold=True, size=17.0, tracking=3.0, x=436.0, y=166.0),
            dict (text="Brask", family="Z003", size=132.0, x=273.0, y=372.0),
            dict (text="Overdrive", family="URW Gothic", size=34.0, tracking=7.0, x=273.0, y=452.0),
            dict (text="Quillon Audio", family="URW Bookman", italic=True, size=22.0, x=273.0, y=520.0),
        ]
        m = st.text_mask (self.x.shape, ss, items)
        # fine rules either side of the maker's name
        x, y = self.x, self.y
        for x0, x1 in ((150.0, 190.0), (356.0, 396.0)):
            d = np.maximum (np.abs (y - 519.0) - 0.6, np.maximum (x0 - x, x - x1))
            m = np.maximum (m, cover (d, ss))
        return m

    #==========================================================================
    def render (self, lamp_on):
        x, y, ss = self.x, self.y, self.ss
        if not hasattr (self, "h"):
            self.geometry()
            self.nrm = st.normals_from_height (self.h, self.step)
            lit = st.heightfield_shadow (self.h, self.step, st.KEY_DIR, steps=48, reach=56.0, softness=1.5)
            self.lit = st.blur (lit, 2.0 * ss)
            cav = np.clip (st.blur (self.h, 4.0 * ss) - self.h, 0.0, None)
            self.occ = np.clip (1.0 - 0.10 * cav, 0.4, 1.0)
            self.base = self.shade_static()

        rgb = [c.copy() for c in self.base]
        lamp = self.lamp (lamp_on)
        for i in range (3):
            rgb[i] = rgb[i] * (1.0 - self.lens) + lamp[0][i] * self.lens + lamp[1][i]

        alpha, rgb = self.floor_shadow (rgb)
        small_rgb, small_a = st.downsample (rgb, alpha)
        return st.to_rgba8 (small_rgb, small_a)

    #==========================================================================
    def light_falloff (self):
        # the softbox is up and to the left: its light weakens across the lid
        d = np.hypot ((self.x + 200.0) / WIDTH, (self.y + 150.0) / HEIGHT)
        return (1.18 - 0.22 * d).astype (np.float32)

    def view_dirs (self):
        # the camera stands above the middle of the pedal, not infinitely far
        dist = 1.3 * HEIGHT
        vx = (WIDTH / 2.0 - self.x)
        vy = (HEIGHT / 2.0 - self.y)
        n = np.sqrt (vx * vx + vy * vy + dist * dist)
        return vx / n, vy / n, dist / n

    def shade_static (self):
        x, y = self.x, self.y
        lit, occ, nrm = self.lit, self.occ, self.nrm
        fall = self.light_falloff()
        view = self.view_dirs()
        key = lit * fall

        # powder coat: coloured base, a little metallic flake, glossy clear coat
        mottle = st.value_noise (x.shape, 40.0 * self.ss, seed=5, octaves=3) - 0.5
        paint_albedo = [c * (1.0 + 0.10 * mottle) for c in PAINT]
        paint = st.shade_dielectric (nrm, paint_albedo, 0.18, 0.9, key, occ, view)

        rng = np.random.default_rng (23)
        flake = (rng.random (x.shape) < 0.05).astype (np.float32)
        fnx = rng.normal (0.0, 0.22, x.shape).astype (np.float32)
        fny = rng.normal (0.0, 0.22, x.shape).astype (np.float32)
        hv = st.normalised (st.KEY_DIR + np.array ((0.0, 0.0, 1.0)))
        fd = (nrm[0] + fnx) * hv[0] + (nrm[1] + fny) * hv[1] + nrm[2] * hv[2]
        fd = fd / np.sqrt ((nrm[0] + fnx) ** 2 + (nrm[1] + fny) ** 2 + nrm[2] ** 2)
        glint = flake * np.power (np.clip (fd, 0.0, 1.0), 60.0) * 0.35 * key
        paint = [p + glint * c for p, c in zip (paint, (0.75, 0.95, 1.0))]
        # warm sparkle of the flakes everywhere, light enough to read as metallic
        paint = [p + flake * 0.012 * c * key for p, c in zip (paint, (0.6, 1.0, 1.0))]

        ink = st.shade_dielectric (nrm, INK, 0.3, 0.6, key, occ, view)
        ink_grain = 1.0 + 0.05 * (st.value_noise (x.shape, 2.0 * self.ss, seed=8) - 0.5)
        ink = [c * ink_grain for c in ink]

        glass = st.shade_dielectric (nrm, (0.003, 0.004, 0.005), 0.02, 0.8, key, occ, view)
        gy = np.clip ((y - 180.0) / 120.0, 0.0, 1.0)
        glass = [g + 0.012 * (1.0 - gy) for g in glass]

        # metal on the lid sees the lid when it looks sideways
        lid = [c * 1.4 for c in PAINT]
        satin = st.shade_metal (nrm, (0.22, 0.23, 0.25), 0.3, key, occ, view, lid)
        chrome = st.shade_metal (nrm, CHROME, 0.02, key, occ, view, lid)
        steel = st.shade_metal (nrm, (0.42, 0.42, 0.44), 0.3, key, occ, view, lid)
        dark_chrome = [c * 0.25 for c in chrome]

        out = []
        for i in range (3):
            c = paint[i]
            c = c * (1.0 - self.ink) + ink[i] * self.ink
            c = c * (1.0 - self.glass) + glass[i] * self.glass
            c = c * (1.0 - self.bezel) + satin[i] * self.bezel
            c = c * (1.0 - self.lamp_ring) + chrome[i] * self.lamp_ring
            c = c * (1.0 - self.screw) + steel[i] * self.screw
            c = c * (1.0 - self.screw_cross) + dark_chrome[i] * 0.3 * self.screw_cross
            c = c * (1.0 - self.washer) + steel[i] * self.washer
            c = c * (1.0 - self.nut) + chrome[i] * self.nut
            c = c * (1.0 - self.cap) + chrome[i] * self.cap
            out.append (c.astype (np.float32))
        return out

    #==========================================================================
    def lamp (self, on):
        """Lens colour and the light the lamp adds to its surroundings."""
        rl = self.lamp_r
        nrm = self.nrm
        if on:
            core = np.exp (-(rl / 6.5) ** 2)
            lens = [3.2 * core + 0.55, 0.9 * core ** 2 + 0.02, 0.5 * core ** 2 + 0.01]
            glint = st.shade_metal (nrm, (0.15, 0.15, 0.15), 0.05, self.lit, self.occ)
            lens = [l + s for l, s in zip (lens, glint)]
            # red light spilling over the paint and the bezel, plus a faint bloom
            spill = 0.55 * np.exp (-((rl - LAMP_LENS).clip (0.0) / 13.0) ** 2) * (rl > LAMP_LENS - 1.0)
            bloom = 0.08 * np.exp (-(rl / 30.0) ** 2)
            glow = (spill * self.encl_cover * 0.35 + bloom) * (1.0 - st.smoothstep (28.0, 40.0, rl))
            extra = [glow * 1.0, glow * 0.06, glow * 0.035]
        else:
            lens = st.shade_dielectric (nrm, (0.05, 0.004, 0.004), 0.05, 1.4, self.lit, self.occ)
            extra = [0.0, 0.0, 0.0]
        return lens, extra

    def floor_shadow (self, rgb):
        ss = self.ss
        body = self.encl_cover

        def shifted (a, dx, dy):
            out = np.zeros_like (a)
            dx, dy = int (dx * ss), int (dy * ss)
            out[dy:, dx:] = a[:a.shape[0] - dy, :a.shape[1] - dx]
            return out

        near = st.blur (shifted (body, 1.5, 2.5), 2.5 * ss) * 0.7
        far = st.blur (shifted (body, 4.0, 7.0), 6.0 * ss) * 0.45
        shadow = 1.0 - (1.0 - near) * (1.0 - far)
        # nothing may reach the picture's border: the floor goes on beyond it
        x, y = self.x, self.y
        border = np.minimum (np.minimum (x, WIDTH - x), np.minimum (y, HEIGHT - y))
        shadow = shadow * st.smoothstep (0.0, 6.0, border)
        alpha = body + (1.0 - body) * shadow
        safe = np.maximum (alpha, 1e-6)
        rgb = [c * body / safe for c in rgb]
        return alpha, rgb
