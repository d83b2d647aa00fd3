"""Code pictures of the real-source and live-camera tests, in Python: the
grid of code_picture.h (8 x 8 cells; the upper four rows hold the number,
the mark and a CRC-8 check byte, white is 1; the lower four the same bits
inverted).  rtsp_camera.py paints them, live_cameras.py reads them back."""

COLS = ROWS = 8
BITS = 32


def crc8(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc


def word_of(number, mark):
    check = crc8([number >> 8, number & 0xFF, mark])
    return (number << 16) | (mark << 8) | check


def read_code(picture):
    """(number, mark) painted by rtsp_camera.py into a BGR picture (rows x
    columns x 3), or None when it is unreadable (cleared, torn, absent)."""
    h, w = picture.shape[:2]
    bits = []
    for row in range(ROWS):
        y0, y1 = row * h // ROWS, (row + 1) * h // ROWS
        for col in range(COLS):
            x0, x1 = col * w // COLS, (col + 1) * w // COLS
            cy, cx = (y1 - y0) // 4, (x1 - x0) // 4
            mean = picture[y0 + cy:y1 - cy, x0 + cx:x1 - cx].mean()
            if mean < 96:
                bits.append(0)
            elif mean > 160:
                bits.append(1)
            else:
                return None
    half = ROWS // 2 * COLS
    upper, lower = bits[:half], bits[half:]
    if any(a == b for a, b in zip(upper, lower)):
        return None
    word = 0
    for b in upper:
        word = (word << 1) | b
    number, mark, check = word >> 16, (word >> 8) & 0xFF, word & 0xFF
    if crc8([number >> 8, number & 0xFF, mark]) != check:
        return None
    return number, mark
