#!/usr/bin/env python3
"""Makes examples/damaged.zip, the damaged archive that the README repairs.

Three text files are zipped (one stored, two deflated), then the archive is
cut in the middle of the last entry's data: the central directory and the end
record are gone, as after an interrupted download or copy. An ordinary unzip
finds nothing to extract; arcsalve saves the first two entries whole and the
start of the third.

Deterministic: fixed contents and timestamps, so running it again gives the
same bytes (as long as zlib compresses the same way).
"""
import io
import os
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
STAMP = (2024, 5, 17, 10, 30, 0)

FILES = [
    ("README.txt", zipfile.ZIP_STORED,
     "Project notes, kept in a ZIP archive that did not survive its trip.\n"),
    ("notes/todo.txt", zipfile.ZIP_DEFLATED,
     "".join(f"{n:3}. check the backup of volume {n % 7} and write it down\n"
             for n in range(1, 61))),
    ("notes/poem.txt", zipfile.ZIP_DEFLATED,
     "".join(f"Line {n}: the quick brown fox jumps over the lazy dog, "
             f"{'again ' * (n % 5)}and rests.\n" for n in range(1, 121))),
]


def main():
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, method, text in FILES:
            info = zipfile.ZipInfo(name, date_time=STAMP)
            info.compress_type = method
            info.external_attr = 0o644 << 16
            archive.writestr(info, text.encode("ascii"))
        last = archive.infolist()[-1]
    whole = buffer.getvalue()

    # The last entry's data starts after its 30-byte local header and name;
    # keep half of that data and nothing after it.
    data_start = last.header_offset + 30 + len(last.filename.encode()) + len(last.extra)
    cut = data_start + last.compress_size // 2
    with open(os.path.join(HERE, "damaged.zip"), "wb") as out:
        out.write(whole[:cut])
    print(f"damaged.zip: {cut} of {len(whole)} bytes kept")


if __name__ == "__main__":
    main()
