"""Writes a zip in the layout of a symbol server (symstore's, which WinDbg
and Visual Studio read from a share or over HTTP) for each image as it
ships and its PDB:

    symbol_store_zip.py ZIP EPOCH IMAGE PDB [IMAGE PDB...]

    tolvane.pdb/<GUID><age>/tolvane.pdb            the key of the image's CodeView entry
    tolvane.exe/<time stamp><size of image>/tolvane.exe

Entries sorted, with the release's fixed time: the same inputs give the
same bytes."""

import os
import sys
import time
import zipfile

import pefile


def pdb_key(pe):
    (entry,) = [entry for entry in pe.DIRECTORY_ENTRY_DEBUG
                if entry.struct.Type == pefile.DEBUG_TYPE["IMAGE_DEBUG_TYPE_CODEVIEW"]]
    record = pe.get_data(entry.struct.AddressOfRawData, 24)
    if record[:4] != b"RSDS":
        sys.exit("symbol_store_zip.py: no PDB 7.0 CodeView record in the image")
    data1, data2, data3 = (int.from_bytes(record[start:end], "little") for start, end in ((4, 8), (8, 10), (10, 12)))
    age = int.from_bytes(record[20:24], "little")
    return f"{data1:08X}{data2:04X}{data3:04X}{record[12:20].hex().upper()}{age:X}"


def main(zip_path, epoch, *files):
    entries = {}
    for image, pdb in zip(files[::2], files[1::2]):
        pe = pefile.PE(image, fast_load=True)
        pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]])
        name, pdb_name = os.path.basename(image), os.path.basename(pdb)
        image_key = f"{pe.FILE_HEADER.TimeDateStamp:08X}{pe.OPTIONAL_HEADER.SizeOfImage:x}"
        entries[f"{pdb_name}/{pdb_key(pe)}/{pdb_name}"] = pdb
        entries[f"{name}/{image_key}/{name}"] = image
    write_zip(zip_path, epoch, entries)


def write_zip(zip_path, epoch, entries):
    """{entry: file} into a zip, sorted, each entry with the fixed time."""
    date_time = time.gmtime(int(epoch))[:6]
    with zipfile.ZipFile(zip_path, "w") as archive:
        for entry in sorted(entries):
            info = zipfile.ZipInfo(entry, date_time)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            with open(entries[entry], "rb") as source:
                archive.writestr(info, source.read())


if __name__ == "__main__":
    main(*sys.argv[1:])
