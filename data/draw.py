#!/usr/bin/env python3
"""Draws the control window's pictures as XPM files: the 170 x 73 logo and
the five 16 x 16 transport icons. Run from this directory to redraw them."""
import math

def write_xpm(name, width, height, colors, rows):
    with open(name + '.xpm', 'w') as f:
        f.write('/* XPM */\nstatic const char *%s[] = {\n' % name)
        f.write('"%d %d %d 1",\n' % (width, height, len(colors)))
        for ch, c in colors:
            f.write('"%s c %s",\n' % (ch, c))
        f.write(',\n'.join('"%s"' % r for r in rows))
        f.write('\n};\n')

def grid(w, h, fill='.'):
    return [[fill] * w for _ in range(h)]

def rows_of(g):
    return [''.join(r) for r in g]

# The triangle of the play icons: vertical edge on column 3, rows 3 to 12.
def triangle(ch):
    g = grid(16, 16)
    # Row widths are counted from row 3 down: 1, 3, 5, 7, 9, 7, 5, 4, 2, 1.
    for i, width in enumerate([1, 3, 5, 7, 9, 7, 5, 4, 2, 1]):
        for x in range(3, 3 + width):
            g[3 + i][x] = ch
    return g

write_xpm('idle_icon', 16, 16, [('.', 'None'), ('g', '#000ccca00000')], rows_of(triangle('g')))
write_xpm('paused_icon', 16, 16, [('.', 'None'), ('y', '#FFFF00')], rows_of(triangle('y')))

g = grid(16, 16)
for y in range(3, 14):
    for x in list(range(3, 7)) + list(range(9, 13)):
        g[y][x] = 'b'
write_xpm('playing_icon', 16, 16, [('.', 'None'), ('b', '#000000')], rows_of(g))

g = grid(16, 16)
for y in range(4, 11):
    for x in range(3, 12):
        g[y][x] = 'b'
write_xpm('stop_icon', 16, 16, [('.', 'None'), ('b', '#000000000000')], rows_of(g))

# A red disc, 9 wide and 7 high around column 7, row 7, outlined in black.
g = grid(16, 16)
inside = lambda x, y: ((x - 7) / 4.6) ** 2 + ((y - 7) / 3.6) ** 2 <= 1.0
for y in range(16):
    for x in range(16):
        if inside(x, y):
            edge = any(not inside(x + dx, y + dy) for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
            g[y][x] = 'k' if edge else 'r'
write_xpm('dot_icon', 16, 16, [('.', 'None'), ('r', '#fff000000000'), ('k', '#000000000000')], rows_of(g))

# The logo: two sine traces, left and right ear, drifting apart and together
# under a beat envelope, on a dusk gradient that fades out at the edges.
W, H = 170, 73
chars = [chr(c) for c in range(35, 127) if chr(c) not in '"\\?']
palette = []          # 70 colours and the transparent one
def shade(t):         # deep blue to violet
    return (int(20 + 60 * t), int(24 + 20 * t), int(70 + 110 * t))
for i in range(40):
    palette.append(shade(i / 39))
for i in range(15):   # left trace: cyan
    t = i / 14
    palette.append((int(40 + 160 * t), int(150 + 100 * t), int(190 + 60 * t)))
for i in range(15):   # right trace: amber
    t = i / 14
    palette.append((int(200 + 55 * t), int(130 + 90 * t), int(40 + 60 * t)))
colors = [('.', 'None')] + [(chars[i], '#%02x%02x%02x' % c) for i, c in enumerate(palette)]
g = grid(W, H)
for y in range(H):
    for x in range(W):
        # rounded rectangle; outside stays transparent
        rx, ry = min(x, W - 1 - x), min(y, H - 1 - y)
        if rx < 6 and ry < 6 and (6 - rx) ** 2 + (6 - ry) ** 2 > 36:
            continue
        t = 0.5 + 0.5 * math.sin(math.pi * x / W) * (1 - abs(y - H / 2) / H)
        g[y][x] = chars[min(39, int(t * 39))]
def trace(offset, freq, phase, base):
    for x in range(4, W - 4):
        env = 0.55 + 0.45 * math.cos(2 * math.pi * x / W * 2)
        y = H / 2 + offset + 20 * env * math.sin(2 * math.pi * freq * x / W + phase)
        for dy in (-1, 0, 1):
            yy = int(round(y)) + dy
            if 2 <= yy < H - 2:
                g[yy][x] = chars[base + (14 if dy == 0 else 7)]
trace(-2, 7.0, 0.0, 40)
trace(2, 7.6, 0.4, 55)
write_xpm('logo_image', W, H, colors, rows_of(g))

# The desktop icon, 48 x 48: the logo's two traces on a round dusk field.
W = H = 48
g = grid(W, H)
for y in range(H):
    for x in range(W):
        r = math.hypot(x - 23.5, y - 23.5)
        if r <= 23:
            t = 1 - r / 23
            g[y][x] = chars[min(39, int(10 + t * 29))]
for offset, freq, phase, base in ((-1, 1.6, 0.0, 40), (1, 1.9, 0.5, 55)):
    for x in range(5, W - 5):
        y = H / 2 + offset + 11 * math.sin(2 * math.pi * freq * x / W + phase) * math.sin(math.pi * x / W)
        for dy in (-1, 0, 1):
            yy = int(round(y)) + dy
            if 0 <= yy < H and g[yy][x] != '.':
                g[yy][x] = chars[base + (14 if dy == 0 else 7)]
write_xpm('ambrise', W, H, colors, rows_of(g))
