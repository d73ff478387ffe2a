"""Independent oracles for the random tests.

A plain ChaCha block function written from the cipher's definition, the
generator's word stream built on it, binary32 rounding through struct, and
a check of fault messages. Nothing here calls the native module.
"""

import contextlib
import math
import struct

import pytest

MASK32 = 0xFFFFFFFF
SIGMA = (0x61707865, 0x3320646E, 0x79622D32, 0x6B206574)  # "expand 32-byte k"


def _rotl(v, n):
    return ((v << n) | (v >> (32 - n))) & MASK32


def _quarter(x, a, b, c, d):
    x[a] = (x[a] + x[b]) & MASK32
    x[d] = _rotl(x[d] ^ x[a], 16)
    x[c] = (x[c] + x[d]) & MASK32
    x[b] = _rotl(x[b] ^ x[c], 12)
    x[a] = (x[a] + x[b]) & MASK32
    x[d] = _rotl(x[d] ^ x[a], 8)
    x[c] = (x[c] + x[d]) & MASK32
    x[b] = _rotl(x[b] ^ x[c], 7)


def chacha_block(key, counter, rounds, nonce=0):
    """The sixteen output words of one block: 64-bit counter in words 12-13
    (low first), 64-bit nonce in words 14-15."""
    counter %= 2**64
    state = [
        *SIGMA,
        *struct.unpack("<8I", key),
        counter & MASK32,
        counter >> 32,
        nonce & MASK32,
        nonce >> 32,
    ]
    x = list(state)
    for r in range(rounds):
        if r % 2 == 0:
            _quarter(x, 0, 4, 8, 12)
            _quarter(x, 1, 5, 9, 13)
            _quarter(x, 2, 6, 10, 14)
            _quarter(x, 3, 7, 11, 15)
        else:
            _quarter(x, 0, 5, 10, 15)
            _quarter(x, 1, 6, 11, 12)
            _quarter(x, 2, 7, 8, 13)
            _quarter(x, 3, 4, 9, 14)
    return [(a + b) & MASK32 for a, b in zip(x, state)]


_stream_cache = {}


def keystream(key, count, rounds=12, first_counter=0):
    """The first `count` words from block `first_counter` on (cached: the
    reseed tests need tens of thousands of words of a few keys)."""
    cache_key = (key, rounds, first_counter)
    words = _stream_cache.setdefault(cache_key, [])
    block = first_counter + len(words) // 16
    while len(words) < count:
        words.extend(chacha_block(key, block, rounds))
        block += 1
    return words[:count]


def u64_from(words, i):
    """The 64-bit draw made of words i (low half) and i + 1."""
    return words[i] | words[i + 1] << 32


def f32(x):
    """x rounded to binary32 (round to nearest even, as the hardware; beyond
    the largest finite value an infinity, where struct refuses)."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def f32_bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def f32_from_bits(b):
    return struct.unpack("<f", struct.pack("<I", b))[0]


def key_of(n):
    """A fixed, distinct test key per n."""
    return bytes((n * 37 + 11 * i) % 256 for i in range(32))


@contextlib.contextmanager
def panics(message):
    """The block must fail with PanicException(message)."""
    with pytest.raises(BaseException) as info:
        yield
    assert type(info.value).__name__ == "PanicException", info.value
    assert info.value.args == (message,)


def chi_square(counts, expected):
    return sum((c - e) ** 2 / e for c, e in zip(counts, expected))
