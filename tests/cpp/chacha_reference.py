"""Reference values for test_forest.cpp, computed apart from the C++ code.

A plain ChaCha block function written from the cipher's definition. Running it prints the
published vectors it is checked against (RFC 8439 section 2.3.2, the zero-key keystreams), the
generator's 64-bit outputs for keys 00 01 .. 1f and all-zero at a few block counters, and
bootstrap samples drawn from the first stream.

    python3 tests/cpp/chacha_reference.py
"""
import struct

MASK = 0xFFFFFFFF
SIGMA = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574]


def block(state, rounds):
    def rotl(x, n):
        return ((x << n) | (x >> (32 - n))) & MASK

    def quarter(a, b, c, d):
        for x, y, z, n in ((a, b, d, 16), (c, d, b, 12), (a, b, d, 8), (c, d, b, 7)):
            w[x] = (w[x] + w[y]) & MASK
            w[z] = rotl(w[z] ^ w[x], n)

    w = list(state)
    for _ in range(rounds // 2):
        for q in ((0, 4, 8, 12), (1, 5, 9, 13), (2, 6, 10, 14), (3, 7, 11, 15),
                  (0, 5, 10, 15), (1, 6, 11, 12), (2, 7, 8, 13), (3, 4, 9, 14)):
            quarter(*q)
    return [(a + b) & MASK for a, b in zip(w, state)]


def words(data):
    return list(struct.unpack("<%dI" % (len(data) // 4), data))


def generator_block(key, counter):
    """The generator's layout: 64-bit block counter in words 12-13, zero nonce in 14-15."""
    out = block(SIGMA + words(key) + [counter & MASK, counter >> 32, 0, 0], 12)
    return [out[2 * i] | (out[2 * i + 1] << 32) for i in range(8)]


def sample(key, n):
    """n indices below n: (w * n) >> 64 of each output w whose low half is within the zone."""
    zone = (1 << 64) - 1 - (((1 << 64) - n) % n)
    drawn, counter = [], 0
    while len(drawn) < n:
        for w in generator_block(key, counter):
            if (w * n) & ((1 << 64) - 1) <= zone and len(drawn) < n:
                drawn.append((w * n) >> 64)
        counter += 1
    return drawn


def main():
    key = bytes(range(32))
    rfc = SIGMA + words(key) + [1] + words(bytes.fromhex("000000090000004a00000000"))
    print("rfc8439 2.3.2:", " ".join("%08x" % x for x in block(rfc, 20)))
    for rounds in (20, 12):
        print("zero key, %d rounds:" % rounds,
              struct.pack("<16I", *block(SIGMA + [0] * 12, rounds)).hex())
    for name, k in (("00..1f", key), ("zero", bytes(32))):
        for counter in (0, 1, 1024):
            print("key %s, block %d:" % (name, counter),
                  " ".join("0x%016x" % x for x in generator_block(k, counter)))
    print("sample of 10 rows:", sample(key, 10))
    print("sample of 7 rows:", sample(key, 7))


if __name__ == "__main__":
    main()
