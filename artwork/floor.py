"""The floor under the pedal: pale, white-oiled oak boards.

The floor has to stay light: the panel's link is drawn on it in a greyish blue
(0xff526d82) near the bottom edge. It is stored with 16 bits per channel so
that the soft fall-off of the studio light has no banding when the editor
stretches the picture over its whole area.
"""

import numpy as np

import studio as st

WIDTH, HEIGHT = 581, 777
BOARD = 97.0                                   # board width in pixels
OAK = np.array ((0.86, 0.77, 0.62))            # linear albedo of white-oiled oak


def render():
    rng = np.random.default_rng (4242)
    ss = 2
    h, w = HEIGHT * ss, WIDTH * ss
    xs = (np.arange (w, dtype=np.float32) + 0.5) / ss
    ys = (np.arange (h, dtype=np.float32) + 0.5) / ss
    x, y = np.meshgrid (xs, ys)

    # boards run up the picture; their seams sit off the centre line and each
    # board has its own butt joint somewhere along its length
    offset = 23.0
    board = np.floor ((x + offset) / BOARD).astype (np.int32)
    nboards = int (board.max()) + 1
    joints = rng.uniform (0.0, HEIGHT, nboards)
    tone = rng.normal (0.0, 0.035, (nboards, 2))
    u = (x + offset) - board * BOARD                   # across the board
    length_seg = (y > joints[board]).astype (np.int32)

    # grain: fine straight lines across the board, slowly wandering, and the
    # arches of flat-sawn figure; both are drawn as thin darker latewood
    centre = rng.uniform (25.0, BOARD - 25.0, (nboards, 2))[board, length_seg]
    spread = rng.uniform (180.0, 420.0, (nboards, 2))[board, length_seg]
    start = rng.uniform (0.0, 400.0, (nboards, 2))[board, length_seg]
    seed_phase = rng.uniform (0.0, 50.0, (nboards, 2))[board, length_seg]
    wander = 6.0 * (st.value_noise ((h, w), 120.0 * ss, seed=3) - 0.5)
    uu = u - centre + wander
    direction = np.where (rng.random ((nboards, 2)) < 0.5, -1.0, 1.0)[board, length_seg]
    period = rng.uniform (10.0, 18.0, (nboards, 2))[board, length_seg]
    figure = (uu * uu) / spread * 6.0 + direction * (y + start) / 9.0
    arches = 0.5 + 0.5 * np.cos (2.0 * np.pi * figure / period)
    arches = arches ** 6
    lines = st.value_noise ((h // 60 + 2, w), 1.6 * ss, seed=2)
    lines = np.repeat (lines, 60, axis=0)[:h]
    lines = lines + 0.0 * seed_phase
    lines = st.blur (lines, 3.0)
    lines = np.clip ((lines - 0.55) * 3.0, 0.0, 1.0)
    fade = 0.5 + 0.5 * st.value_noise ((h, w), 60.0 * ss, seed=6, octaves=2)
    grain = -(0.55 * arches * fade + 0.35 * lines)
    grain = st.blur (grain, 0.6 * ss)

    t = tone[board, length_seg]
    albedo = [OAK[i] * (1.0 + t + 0.16 * grain * (1.0 + 0.3 * i)) for i in range (3)]

    # seams and butt joints: thin darker gaps
    seam = np.minimum (u, BOARD - u)
    joint = np.abs (y - joints[board])
    gap = np.minimum (seam, joint)
    groove = 1.0 - 0.45 * np.exp (-(gap / 0.9) ** 2)

    # the studio light: brighter up and to the left, a gentle vignette
    d = np.hypot ((x + 120.0) / WIDTH, (y + 90.0) / HEIGHT)
    fall = 1.06 - 0.10 * d
    vx = (x / WIDTH - 0.5) * 2.0
    vy = (y / HEIGHT - 0.5) * 2.0
    vignette = 1.0 - 0.03 * (vx * vx + vy * vy)

    rgb = [albedo[i] * groove * fall * vignette * 0.92 for i in range (3)]
    small, _ = st.downsample (rgb, np.ones_like (x), ss)
    out = np.zeros ((HEIGHT, WIDTH, 4), dtype=np.uint16)
    for i in range (3):
        out[..., i] = np.round (st.linear_to_srgb (small[i]) * 65535.0)
    out[..., 3] = 65535
    return out
