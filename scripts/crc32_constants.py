#!/usr/bin/env python3
"""Prints the folding constants of src/common/crc32.cpp for the ZIP CRC-32.

The generator polynomial is P = x^32 + x^26 + ... + 1 (0x104C11DB7 with the
x^32 term, 0xEDB88320 bit-reflected). The register works on reflected bits,
so each constant is the remainder x^n mod P written bit-reflected in 32 bits
and shifted left by one: a 64x64 carry-less product of reflected operands
comes out one bit short of the reflected product, and the shift restores it.
"""

P = 0x104C11DB7


def xn_mod_p(n):
    """x^n mod P, as a normal (unreflected) 32-bit polynomial."""
    r = 1
    for _ in range(n):
        r <<= 1
        if r >> 32:
            r ^= P
    return r


def reflect(v, bits):
    return int(format(v, "0%db" % bits)[::-1], 2)


def fold(n):
    return reflect(xn_mod_p(n), 32) << 1


def quotient_x64():
    """floor(x^64 / P), 33 bits."""
    q, r = 0, 1 << 64
    for shift in range(32, -1, -1):
        if r >> (shift + 32) & 1:
            q |= 1 << shift
            r ^= P << shift
    return q


for name, value in [
    ("fold by 4x128, low qword:  x^(4*128+32)", fold(4 * 128 + 32)),
    ("fold by 4x128, high qword: x^(4*128-32)", fold(4 * 128 - 32)),
    ("fold by 128, low qword:    x^(128+32)", fold(128 + 32)),
    ("fold by 128, high qword:   x^(128-32)", fold(128 - 32)),
    ("fold 64 to 32:             x^64", fold(64)),
    ("Barrett mu: floor(x^64 / P) reflected", reflect(quotient_x64(), 33)),
    ("Barrett P reflected", reflect(P, 33)),
]:
    print("0x%09X  %s" % (value, name))
