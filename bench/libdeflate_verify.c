/* The least a verifying salvage can spend on an intact archive: every entry
 * of a ZIP archive (found through its central directory) inflated whole,
 * in memory, by libdeflate, and its CRC-32 checked with libdeflate's. A
 * benchmark reference for bench/repair_bench.py only, built by it when
 * libdeflate-dev is installed; the library never links libdeflate.
 *
 *     libdeflate_verify ARCHIVE     exit 0 when every entry checks out
 *
 * Stored and deflated entries only; archives without ZIP64 records. */
#include <libdeflate.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint32_t le16(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }
static uint32_t le32(const uint8_t* p) { return le16(p) | le16(p + 2) << 16; }

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    FILE* f = fopen(argv[1], "rb");
    if (f == NULL || fseek(f, 0, SEEK_END) != 0) return 2;
    long size = ftell(f);
    uint8_t* zip = malloc((size_t)size + 1);
    rewind(f);
    if (size < 22 || zip == NULL || fread(zip, 1, (size_t)size, f) != (size_t)size) return 2;
    fclose(f);
    long end = size - 22;
    while (end >= 0 && le32(zip + end) != 0x06054b50) --end;
    if (end < 0) return 2;
    uint32_t count = le16(zip + end + 10), at = le32(zip + end + 16);
    struct libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    uint8_t* out = NULL;
    size_t room = 0;
    unsigned bad = 0, good = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (at + 46 > (uint64_t)size || le32(zip + at) != 0x02014b50) return 2;
        const uint32_t method = le16(zip + at + 10), crc = le32(zip + at + 16), csize = le32(zip + at + 20),
                       usize = le32(zip + at + 24), local = le32(zip + at + 42);
        at += 46 + le16(zip + at + 28) + le16(zip + at + 30) + le16(zip + at + 32);
        if (local + 30 > (uint64_t)size) return 2;
        const uint64_t data = local + 30 + le16(zip + local + 26) + le16(zip + local + 28);
        if (data + csize > (uint64_t)size) return 2;
        if (usize + 1 > room) {
            room = usize + 1;
            out = realloc(out, room);
            if (out == NULL) return 2;
        }
        size_t got = 0;
        if (method == 8) {
            if (libdeflate_deflate_decompress(d, zip + data, csize, out, usize, &got) != LIBDEFLATE_SUCCESS) got = (size_t)-1;
        } else if (method == 0 && csize == usize) {
            memcpy(out, zip + data, usize);
            got = usize;
        } else {
            got = (size_t)-1;
        }
        if (got == usize && libdeflate_crc32(0, out, usize) == crc) ++good; else ++bad;
    }
    printf("%u entries verified, %u failed\n", good, bad);
    libdeflate_free_decompressor(d);
    free(out);
    free(zip);
    return bad == 0 ? 0 : 1;
}
