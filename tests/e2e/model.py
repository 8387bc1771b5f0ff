"""An independent model of what an install must leave on flash.

It is written from the on-flash rules, not from drimlet's code: image bytes
map to image block (address - start) // erase size, the last bytes placed
win, a record below a block already written is refused, image blocks go from
the top of the non-Filesystem partition downward skipping unusable blocks
(block 1 never written), and the partition table page holds the magic, two
tags and the block table.
"""
import struct

MAGIC = b"VOLMERACONFIGBLK"
TAGS = bytes([0x00, 0x40, 0x01, 0xCF, 0xEA, 0x40, 0x10, 0x00])
TABLE_SEARCH_START = 0x380000
TABLE_ENTRIES = 466


class OutOfOrder(Exception):
    def __init__(self, address):
        super().__init__(f"record at {address:#x}")
        self.address = address


def lay_out(start, records, erase):
    """Image blocks (bytes objects) for records [(address, data)]."""
    blocks = {}
    current = 0  # image block being filled
    for address, data in records:
        offset = (address - start) & 0xFFFFFFFF
        if address < start + current * erase or address < start:
            raise OutOfOrder(address)
        if len(data) == 0:
            # An empty record still moves on past whole blocks before it.
            if offset > erase * (current + 1):
                current = -(-offset // erase) - 1
            continue
        done = 0
        while done < len(data):
            block, at = divmod(offset + done, erase)
            piece = min(len(data) - done, erase - at)
            if block not in blocks:
                blocks[block] = bytearray(b"\xff" * erase)
            blocks[block][at:at + piece] = data[done:done + piece]
            done += piece
        current = max(current, (offset + len(data)) // erase)
    return [bytes(blocks.get(k, b"\xff" * erase)) for k in range(current + 1)]


def place(count, top, unusable):
    """Device blocks for `count` image blocks counting down from `top`, and
    the candidates skipped on the way; None for blocks that did not fit."""
    placed, skipped, candidate = [], [], top
    while len(placed) < count and candidate >= 1:
        if candidate in unusable:
            skipped.append(candidate)
        elif candidate == 1:
            break
        else:
            placed.append(candidate)
        candidate -= 1
    return placed, skipped


def table_page(table, page_size):
    entries = b"".join(struct.pack("<H", b) for b in table)
    body = MAGIC + TAGS + struct.pack("<I", 64) + entries
    body += bytes(960 - len(body))
    return body + b"\xff" * (page_size - 960)


def table_page_size(writesize):
    if writesize == 1:
        writesize = 2048
    unit = max(writesize, 1)
    return -(-960 // unit) * unit


def expected_flash(size, erase, image_blocks, device_blocks, table_block=None, page=b""):
    flash = bytearray(b"\xff" * size)
    for data, block in zip(image_blocks, device_blocks):
        flash[block * erase:(block + 1) * erase] = data
    if table_block is not None:
        flash[table_block * erase:table_block * erase + len(page)] = page
    return bytes(flash)
