#!/usr/bin/env python3
"""Generates libm_tables.cpp: the figures (constants, polynomial coefficients and 128-entry
tables) of the C library's double-precision exp and log, which the vector forms in
vector_math_avx2.cpp need to reproduce the library's results bit for bit.

The figures are read from the C library itself: the script loads libm.so.6, finds the file it
was loaded from, and looks in its bytes for the two data blocks of exp and log (glibc 2.28 and
later). A block is accepted only when every figure in it agrees with what first principles say it
approximates: the exp table's scales must be 2^(i/128) to within an ulp and its tails tiny, the
log table's logc must be -log(invc) to within rounding, the polynomial coefficients must be
close to their Taylor values, and so on. So what is written is byte for byte what the library
uses, and a library whose blocks are laid out differently is refused rather than misread.

Run from this folder: python3 gen_libm_tables.py > libm_tables.cpp
(python3 gen_libm_tables.py --check compares the committed file with this machine's library.)
"""
import ctypes
import math
import struct
import sys

EXP_TABLE_BITS = 7
N = 1 << EXP_TABLE_BITS


def as_double(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def as_bits(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def library_path():
    """The file this process loaded libm.so.6 from."""
    ctypes.CDLL("libm.so.6")
    with open("/proc/self/maps", encoding="ascii", errors="replace") as maps:
        for line in maps:
            fields = line.split()
            if len(fields) >= 6 and fields[5].rsplit("/", 1)[-1].startswith("libm.so"):
                return fields[5]
    raise RuntimeError("libm.so.6 is not mapped into this process")


def words(data, offset, count):
    return list(struct.unpack_from("<%dQ" % count, data, offset))


def close(value, expected, relative):
    return math.isfinite(value) and abs(value - expected) <= relative * abs(expected)


# exp's block: N/ln2, -ln2/N (high, low), the coefficients C2..C5, the rounding shift 1.5*2^52,
# exp2's shift and five coefficients, then the 2N-word table.
EXP_TABLE_OFFSET = 112


def exp_table_ok(table):
    for i in range(N):
        scale = table[2 * i + 1] + (i << 45)
        if abs(scale - as_bits(2.0 ** (i / N))) > 1:
            return False
        if not abs(as_double(table[2 * i])) < 2.0 ** -52:
            return False
    return True


def find_exp(data):
    start = b"\0" * 8 + struct.pack("<Q", 0x3FF0000000000000)
    found = []
    at = data.find(start)
    while at != -1:
        if at >= EXP_TABLE_OFFSET and at + 16 * N <= len(data):
            table = words(data, at, 2 * N)
            head = words(data, at - EXP_TABLE_OFFSET, 8)
            inv_ln2_n, neg_hi, neg_lo = (as_double(w) for w in head[:3])
            poly = [as_double(w) for w in head[3:7]]
            if (
                exp_table_ok(table)
                and close(inv_ln2_n, N / math.log(2.0), 1e-15)
                and close(neg_hi + neg_lo, -math.log(2.0) / N, 1e-15)
                and abs(neg_lo) < 1e-12
                and head[7] == 0x4338000000000000
                and all(close(c, 1.0 / math.factorial(k), 1e-6) for k, c in zip(range(2, 6), poly))
            ):
                found.append({"head": head, "table": table})
        at = data.find(start, at + 1)
    return found


# log's block: ln2 (high, low), A0..A4 of the general path, B0..B10 of the path near 1, the table
# of (invc, logc) pairs, then the table of (chi, clo) pairs that a build without FMA uses.
LOG_OFFSET_POLY = 16
LOG_OFFSET_POLY1 = 56
LOG_OFFSET_TABLE = 144
LOG_OFFSET_TABLE2 = LOG_OFFSET_TABLE + 16 * N


def log_block_ok(data, at):
    if at + LOG_OFFSET_TABLE2 + 16 * N > len(data):
        return False
    ln2_hi, ln2_lo = (as_double(w) for w in words(data, at, 2))
    if not (close(ln2_hi + ln2_lo, math.log(2.0), 1e-16) and abs(ln2_lo) < 1e-9):
        return False
    poly = [as_double(w) for w in words(data, at + LOG_OFFSET_POLY, 5)]
    poly1 = [as_double(w) for w in words(data, at + LOG_OFFSET_POLY1, 11)]
    # log1p(r) - r = -r^2/2 + r^3/3 - ...
    if not all(close(a, (-1.0) ** (k + 1) / (k + 2), 1e-3) for k, a in enumerate(poly)):
        return False
    if not all(close(b, (-1.0) ** (k + 1) / (k + 2), 0.05) for k, b in enumerate(poly1)):
        return False
    table = words(data, at + LOG_OFFSET_TABLE, 2 * N)
    table2 = words(data, at + LOG_OFFSET_TABLE2, 2 * N)
    for i in range(N):
        # Subinterval i holds the z whose bits lie in [OFF + i*2^45, OFF + (i+1)*2^45).
        low = as_double(0x3FE6000000000000 + (i << 45))
        high = as_double(0x3FE6000000000000 + ((i + 1) << 45))
        invc, logc = as_double(table[2 * i]), as_double(table[2 * i + 1])
        chi, clo = as_double(table2[2 * i]), as_double(table2[2 * i + 1])
        if not (invc > 0.0 and low <= 1.0 / invc <= high):
            return False
        if not abs(logc + math.log(invc)) < 1e-15:
            return False
        if not (close(chi, 1.0 / invc, 1e-12) and abs(clo) < 1e-15):
            return False
    return True


def find_log(data):
    start = struct.pack("<Q", 0x3FE62E42FEFA3800)
    found = []
    at = data.find(start)
    while at != -1:
        if log_block_ok(data, at):
            found.append(
                {
                    "head": words(data, at, 2),
                    "poly": words(data, at + LOG_OFFSET_POLY, 5),
                    "poly1": words(data, at + LOG_OFFSET_POLY1, 11),
                    "table": words(data, at + LOG_OFFSET_TABLE, 2 * N),
                    "table2": words(data, at + LOG_OFFSET_TABLE2, 2 * N),
                }
            )
        at = data.find(start, at + 1)
    return found


def figures(path=None):
    path = path or library_path()
    with open(path, "rb") as library:
        data = library.read()
    exp_blocks = find_exp(data)
    log_blocks = find_log(data)
    if len(exp_blocks) != 1 or len(log_blocks) != 1:
        raise RuntimeError(
            "%s: expected one exp and one log data block, found %d and %d"
            % (path, len(exp_blocks), len(log_blocks))
        )
    return exp_blocks[0], log_blocks[0]


def hex_rows(values, per_row, indent="    "):
    rows = []
    for i in range(0, len(values), per_row):
        rows.append(indent + ", ".join("0x%016x" % v for v in values[i : i + per_row]) + ",")
    return "\n".join(rows)


def emit(out, path=None):
    exp, log = figures(path)
    inv_ln2_n, neg_hi, neg_lo = exp["head"][:3]
    out.write(
        "// Figures of the C library's double-precision exp and log, as IEEE-754 bit patterns.\n"
        "// Generated by gen_libm_tables.py from the library's own bytes; edit that script, not\n"
        "// this file.\n"
        '#include "core/libm_tables.hpp"\n\n'
        "// clang-format off\n"
        "namespace vostrel::libm {\n\n"
        "alignas(64) const ExpFigures kExp = {\n"
    )
    out.write("    0x%016x,  // N/ln2\n" % inv_ln2_n)
    out.write("    0x%016x,  // -ln2/N, high part\n" % neg_hi)
    out.write("    0x%016x,  // -ln2/N, low part\n" % neg_lo)
    out.write("    0x%016x,  // rounding shift 1.5*2^52\n" % exp["head"][7])
    out.write("    {\n%s\n    },  // C2..C5\n" % hex_rows(exp["head"][3:7], 4, " " * 8))
    out.write("    {\n%s\n    },\n};\n\n" % hex_rows(exp["table"], 4, " " * 8))
    out.write("alignas(64) const LogFigures kLog = {\n")
    out.write("    0x%016x,  // ln2, high part\n" % log["head"][0])
    out.write("    0x%016x,  // ln2, low part\n" % log["head"][1])
    out.write("    {\n%s\n    },  // A0..A4\n" % hex_rows(log["poly"], 4, " " * 8))
    out.write("    {\n%s\n    },  // B0..B10\n" % hex_rows(log["poly1"], 4, " " * 8))
    out.write("    {\n%s\n    },  // (invc, logc)\n" % hex_rows(log["table"], 4, " " * 8))
    out.write("    {\n%s\n    },  // (chi, clo)\n};\n" % hex_rows(log["table2"], 4, " " * 8))
    out.write("\n}  // namespace vostrel::libm\n// clang-format on\n")


if __name__ == "__main__":
    import io
    import os

    if sys.argv[1:] == ["--check"]:
        text = io.StringIO()
        emit(text)
        here = os.path.dirname(os.path.abspath(__file__))
        with open(os.path.join(here, "libm_tables.cpp"), encoding="utf-8") as committed:
            same = committed.read() == text.getvalue()
        print("libm_tables.cpp matches this machine's C library" if same else "DIFFERS")
        sys.exit(0 if same else 1)
    emit(sys.stdout)
