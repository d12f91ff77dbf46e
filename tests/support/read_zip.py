#!/usr/bin/env python3
# Independent reader for the tests: opens an archive with Python's zipfile,
# runs testzip(), and extracts every entry to DIR/entryN. Prints one line per
# fact, so that the C++ side needs no JSON:
#   ERROR <repr>            the archive could not be read
#   TESTZIP <name or None>  first entry whose CRC-32 fails
#   ENTRY <n> <name hex> <flag bits> <method> <external attributes>
import sys
import zipfile


def main():
    path, out_dir = sys.argv[1], sys.argv[2]
    try:
        with zipfile.ZipFile(path) as z:
            print("TESTZIP %s" % z.testzip())
            for n, info in enumerate(z.infolist()):
                raw = info.filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")
                with open("%s/entry%d" % (out_dir, n), "wb") as f:
                    f.write(z.read(info))
                print("ENTRY %d %s %d %d %d" % (n, raw.hex(), info.flag_bits,
                                                 info.compress_type, info.external_attr))
    except Exception as e:  # any failure is the test's verdict
        print("ERROR %r" % (e,))


main()
