"""The knob filmstrip: a black fluted knob with a brushed aluminium cap.

Frame n shows the knob turned n degrees clockwise from its minimum at seven
o'clock, so frame 300 points at five o'clock. Only the knob turns: the studio
light stays where it is, so highlights and the drop shadow keep their place
while the flutes and the white pointer line move under them, as on a photo.
"""

import numpy as np

import studio as st

SIZE = 253
FRAMES = 301
SWEEP_DEG = 300.0

# radii in frame pixels
SKIRT_R = 90.0
BODY_R = 68.0
FILLET = 11.0
CAP_R = 44.0
FLUTES = 32

POINTER_FROM = 47.0
POINTER_TO = 87.0
POINTER_HALF_WIDTH = 2.4

SKIRT_TOP = 11.0
BODY_TOP = 40.0

PLASTIC = (0.016, 0.016, 0.018)
POINTER_INK = (0.80, 0.80, 0.80)


def angle_of_frame (n):
    """Pointer angle in degrees, clockwise from twelve o'clock."""
    return -SWEEP_DEG / 2.0 + SWEEP_DEG * n / (FRAMES - 1)


class KnobRenderer:
    def __init__ (self):
        ss = st.SUPERSAMPLE
        n = SIZE * ss
        coords = (np.arange (n, dtype=np.float32) + 0.5) / ss - SIZE / 2.0
        self.x, self.y = np.meshgrid (coords, coords)
        self.r = np.hypot (self.x, self.y)
        self.theta = np.arctan2 (self.x, -self.y)      # clockwise from 12 o'clock
        self.step = 1.0 / ss

        r = self.r
        # the knob's outline is round, so its cast shadow is the same in
        # every frame: a tight contact shadow plus a wide soft one
        disc = (r < SKIRT_R).astype (np.float32)
        ox, oy = 5.0 * ss, 7.0 * ss

        def shifted (a, dx, dy):
            return np.roll (np.roll (a, int (dy), axis=0), int (dx), axis=1)

        near = st.blur (shifted (disc, ss * 1.5, ss * 2.0), 2.0 * ss) * 0.55
        far = st.blur (shifted (disc, ox, oy), 8.0 * ss) * 0.45
        self.shadow = np.clip (1.0 - (1.0 - near) * (1.0 - far), 0.0, 1.0)
        self.coverage = np.clip ((SKIRT_R - r) * ss + 0.5, 0.0, 1.0)

        # concentric brushing of the aluminium cap: rings of random depth
        rng = np.random.default_rng (1907)
        rings = rng.normal (0.0, 1.0, 1024).astype (np.float32)
        rings = np.convolve (rings, np.ones (3) / 3.0, mode="same")
        self.brush = np.interp (r * 5.0, np.arange (rings.size), rings).astype (np.float32)

    #==========================================================================
    def height (self, local):
        """Height field of the knob for pointer-relative angles `local`."""
        r = self.r
        groove = 0.5 - 0.5 * np.cos (FLUTES * local)      # 0 on the lands, 1 in a flute
        groove = groove ** 1.5
        edge = BODY_R - 1.4 * groove

        # skirt: a shallow cone with a rolled lip
        skirt_t = np.clip ((SKIRT_R - r) / (SKIRT_R - BODY_R + 2.0), 0.0, 1.0)
        lip = np.sqrt (np.clip (1.0 - ((SKIRT_R - r) / 4.0 - 1.0) ** 2, 0.0, 1.0))
        h_skirt = np.where (r > SKIRT_R - 4.0, 3.0 + 4.0 * lip, 3.0 + SKIRT_TOP * skirt_t)

        # body: rounded-over rim (where the flutes show) and a gently domed top
        d = edge - r
        t = np.clip (d / FILLET, 0.0, 1.0)
        round_over = np.sqrt (1.0 - (1.0 - t) ** 2)
        dome = 2.0 * (1.0 - (r / BODY_R) ** 2)
        h_body = SKIRT_TOP + 3.0 + (BODY_TOP - SKIRT_TOP - 3.0) * round_over + dome * t
        h_body -= 1.0 * groove * (1.0 - st.smoothstep (FILLET * 0.8, FILLET * 1.6, d))

        # the aluminium insert sits a hair below the plastic, in a dark gap
        gap = st.smoothstep (CAP_R - 0.2, CAP_R + 0.6, r) * (1.0 - st.smoothstep (CAP_R + 1.2, CAP_R + 2.0, r))
        h_body -= 1.2 * gap
        h_body = np.where (r < CAP_R, BODY_TOP + 1.2 - 0.5 + 0.8 * (1.0 - (r / CAP_R) ** 2), h_body)

        h = np.where (r < edge, h_body, h_skirt)
        h = np.where (r < SKIRT_R, h, 0.0)
        return h.astype (np.float32), edge

    def frame (self, n):
        ss = st.SUPERSAMPLE
        phi = np.deg2rad (angle_of_frame (n))
        local = self.theta - phi
        local = (local + np.pi) % (2.0 * np.pi) - np.pi
        h, edge = self.height (local)
        nrm = st.normals_from_height (h, self.step)
        r = self.r

        lit = st.heightfield_shadow (h, self.step, st.KEY_DIR, steps=20, reach=34.0, softness=2.5)
        lit = st.blur (lit, 1.2 * ss)
        cavity = np.clip (st.blur (h, 3.0 * ss) - h, 0.0, None)
        occ = np.clip (1.0 - 0.08 * cavity, 0.35, 1.0)

        # plastic everywhere, satin finish
        plastic = st.shade_dielectric (nrm, PLASTIC, 0.32, 0.9, lit, occ)

        # pointer line, painted along the knob's local twelve o'clock
        along = r * np.cos (local)
        across = np.abs (r * np.sin (local))
        ptr = (1.0 - st.smoothstep (POINTER_HALF_WIDTH - 0.4, POINTER_HALF_WIDTH + 0.4, across)) \
            * st.smoothstep (POINTER_FROM, POINTER_FROM + 1.0, along) \
            * (1.0 - st.smoothstep (POINTER_TO - 1.0, POINTER_TO, along))
        ink = st.shade_dielectric (nrm, POINTER_INK, 0.45, 0.5, lit, occ)

        # brushed aluminium cap: anisotropic highlight across the rings
        nx, ny, nz = nrm
        tx = np.where (r > 1e-3, -self.y / np.maximum (r, 1e-3), 1.0)
        ty = np.where (r > 1e-3, self.x / np.maximum (r, 1e-3), 0.0)
        hv = st.normalised (st.KEY_DIR + np.array ((0.0, 0.0, 1.0)))
        th = tx * hv[0] + ty * hv[1]
        aniso = np.power (np.clip (1.0 - th * th, 0.0, 1.0), 40.0)
        metal = st.shade_metal (nrm, (0.62, 0.63, 0.64), 0.55, lit, occ)
        streak = 1.1 * aniso * (0.9 + 0.1 * np.clip (self.brush, -2, 2)) + 0.03 * self.brush
        alu = [m + streak * c for m, c in zip (metal, (0.95, 0.96, 1.0))]
        cap = 1.0 - st.smoothstep (CAP_R - 0.3, CAP_R + 0.3, r)

        rgb = []
        for i in range (3):
            c = plastic[i] * (1.0 - ptr) + ink[i] * ptr
            c = c * (1.0 - cap) + alu[i] * cap
            rgb.append (c)
        # black plastic, white ink and bare aluminium carry no colour of their
        # own; keeping the knob exactly grey also lets the filmstrip compress
        # to about two thirds of its size
        grey = 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2]
        alpha = self.coverage + (1.0 - self.coverage) * self.shadow
        grey = grey * self.coverage / np.maximum (alpha, 1e-6)   # the shadow is black
        small_rgb, small_a = st.downsample ([grey, grey, grey], alpha)
        return st.to_rgba8 (small_rgb, small_a)
