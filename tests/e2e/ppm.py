"""Screenshots of the end-to-end scripts as binary PPM (P6): "P6", width, height and maxval,
each after white space, then one white-space byte and the RGB bytes, one byte a channel,
row by row from the top left."""


def load(path):
    """(pixels, width, height) of a P6 file; pixel (x, y) starts at 3 * (y * width + x)."""
    data = open(path, 'rb').read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    return data[pos + 1:], int(fields[1]), int(fields[2])
