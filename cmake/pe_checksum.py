"""Writes the correct checksum into the header of a PE image, in place.

The algorithm of the Windows image-help library: the file summed as 16-bit
little-endian words with the carry folded back in, the checksum field
itself counted as zero, plus the file's length."""

import struct
import sys


def checksum_offset(image):
    (header,) = struct.unpack_from("<I", image, 0x3C)
    if image[header:header + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    return header + 4 + 20 + 64  # signature, file header, optional header up to CheckSum


def pe_checksum(image, offset):
    data = image[:offset] + b"\0\0\0\0" + image[offset + 4:]
    if len(data) % 2:
        data += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def main(path):
    with open(path, "r+b") as image_file:
        image = image_file.read()
        offset = checksum_offset(image)
        image_file.seek(offset)
        image_file.write(struct.pack("<I", pe_checksum(image, offset)))


if __name__ == "__main__":
    main(sys.argv[1])
