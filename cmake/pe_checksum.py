"""Writes the correct checksum into the header of a PE image, in place:
lld leaves it at 0.  pefile computes it as Windows' image-help library does."""

import sys

import pefile


def main(path):
    with open(path, "rb") as image:
        pe = pefile.PE(data=image.read())
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    with open(path, "wb") as image:
        image.write(pe.write())


if __name__ == "__main__":
    main(sys.argv[1])
