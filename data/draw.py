#!/usr/bin/env python3
"""Draws the control window's pictures as XPM files: the 170 x 73 logo and
the five 16 x 16 transport icons; and the desktop icon, as XPM, as a 48 x 48
PNG and as SVG for the icon theme. Run from this directory to redraw them."""
import math
import struct
import zlib

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
# Outside the disc is transparent, marked by a space: '.' is one of the
# shades here.
W = H = 48
g = grid(W, H, ' ')
colors = [(' ', 'None')] + colors[1:]
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
            if 0 <= yy < H and g[yy][x] != ' ':
                g[yy][x] = chars[base + (14 if dy == 0 else 7)]
write_xpm('ambrise', W, H, colors, rows_of(g))

# The same 48 x 48 pixels as a PNG for the hicolor theme: 8-bit RGBA,
# written by hand so that nothing but Python is needed.
def write_png(name, g, colors):
    rgba = {}
    for ch, c in colors:
        rgba[ch] = (0, 0, 0, 0) if c == 'None' else tuple(int(c[i:i + 2], 16) for i in (1, 3, 5)) + (255,)
    raw = b''.join(b'\0' + b''.join(bytes(rgba[ch]) for ch in row) for row in g)
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    with open(name, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n')
        f.write(chunk(b'IHDR', struct.pack('>IIBBBBB', len(g[0]), len(g), 8, 6, 0, 0, 0)))
        f.write(chunk(b'IDAT', zlib.compress(raw, 9)))
        f.write(chunk(b'IEND', b''))
write_png('ambrise.png', g, colors)

# The scalable icon draws the same picture as shapes: the dusk disc as a
# radial gradient, the two traces as lines with a soft edge.
def hexcolor(c):
    return '#%02x%02x%02x' % c
points = {}
for offset, freq, phase, name in ((-1, 1.6, 0.0, 'left'), (1, 1.9, 0.5, 'right')):
    xs = [5 + i * 0.25 for i in range(int((W - 10) / 0.25) + 1)]
    points[name] = ' '.join('%.2f,%.2f' % (x + 0.5, H / 2 + offset + 0.5 + 11 * math.sin(2 * math.pi * freq * x / W + phase)
                                              * math.sin(math.pi * x / W)) for x in xs)
svg = """<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="48" height="48" viewBox="0 0 48 48">
  <title>Ambrise</title>
  <defs>
    <radialGradient id="dusk" cx="24" cy="24" r="23" gradientUnits="userSpaceOnUse">
      <stop offset="0" stop-color="%s"/>
      <stop offset="1" stop-color="%s"/>
    </radialGradient>
  </defs>
  <circle cx="24" cy="24" r="23" fill="url(#dusk)"/>
  <polyline points="%s" fill="none" stroke="%s" stroke-width="3" stroke-linecap="round" stroke-linejoin="round"/>
  <polyline points="%s" fill="none" stroke="%s" stroke-width="1.2" stroke-linecap="round" stroke-linejoin="round"/>
  <polyline points="%s" fill="none" stroke="%s" stroke-width="3" stroke-linecap="round" stroke-linejoin="round"/>
  <polyline points="%s" fill="none" stroke="%s" stroke-width="1.2" stroke-linecap="round" stroke-linejoin="round"/>
</svg>
""" % (hexcolor(palette[39]), hexcolor(palette[10]),
       points['left'], hexcolor(palette[40 + 7]), points['left'], hexcolor(palette[40 + 14]),
       points['right'], hexcolor(palette[55 + 7]), points['right'], hexcolor(palette[55 + 14]))
with open('ambrise.svg', 'w') as f:
    f.write(svg)
