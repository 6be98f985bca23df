"""Writes the qualification kit's zip: each entry given by its path in the
zip and the file that it holds.

    qualification_zip.py ZIP EPOCH ENTRY FILE [ENTRY FILE...]

Entries sorted, with the release's fixed time, as the symbols' zip."""

import sys

from symbol_store_zip import write_zip


def main(zip_path, epoch, *pairs):
    write_zip(zip_path, epoch, dict(zip(pairs[::2], pairs[1::2])))


if __name__ == "__main__":
    main(*sys.argv[1:])
