#!/usr/bin/env python3
# Writes the hand-made seed inputs of the two fuzzers into corpus/layout and corpus/sbank.
import os, struct

here = os.path.dirname(os.path.abspath(__file__))
def layout(types, wires=(), count=64, magic=b"QAF_LAYOUT\n", halves=(), parm=lambda s, p: 0.0):
    I = [-1] * 256
    O = [-1] * 256
    for o, i in wires:
        O[o] = i
        I[i] = o
    for side, t, v in halves:
        (O if side == "o" else I)[t] = v
    b = bytearray(magic) + struct.pack("<i", count)
    for s in range(64):
        t = types.get(s, -1) if s > 1 else s
        b += struct.pack("<i", t)
        if t != -1:
            b += struct.pack("<16f", *[parm(s, p) for p in range(16)])
    for t in range(256):
        b += struct.pack("<ii", I[t], O[t])
    return bytes(b)

def bank(entries, count=None, magic=b"QAF_SBANK\n"):
    b = bytearray(magic) + struct.pack("<i", len(entries) if count is None else count)
    for slot, name, data, length in entries:
        b += struct.pack("<i", slot) + name + b"\0"
        b += struct.pack("<i", len(data) if length is None else length) + data
    return bytes(b)

def put(kind, name, data):
    d = os.path.join(here, "corpus", kind)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)

put("layout", "lines_only", layout({}))
put("layout", "chain", layout({2: 4, 3: 5}, [(0, 8), (8, 12), (12, 4), (1, 5)]))
put("layout", "splitter_mixer", layout({2: 6, 3: 3, 9: 15}, [(0, 8), (8, 12), (9, 13), (10, 36),
                                                             (12, 4), (36, 5)]))
put("layout", "every_type", layout({s: (s % 18) + 2 for s in range(2, 64)},
                                   [(0, 8), (8, 4)], parm=lambda s, p: s * 0.5 - p))
put("layout", "half_wires", layout({2: 6, 3: 3}, [(8, 12)], halves=[("o", 10, 12), ("i", 13, 9)]))
put("layout", "lower_magic_count3", layout({40: 7}, count=3, magic=b"qaf_layout\n"))
put("layout", "feedback_loop", layout({2: 2, 3: 2}, [(8, 12), (12, 8), (9, 4)]))
put("layout", "bad_type", layout({5: 20}))
put("layout", "bad_wire", layout({2: 4}, halves=[("i", 8, 256)]))
put("layout", "count65", layout({}, count=65))

put("sbank", "empty", bank([]))
put("sbank", "two", bank([(3, b"/tmp/kick.wav", struct.pack("<5h", 0, 1, -1, 32767, -32768), None),
                          (17, b"Mod ID:104", struct.pack("<2h", 7, 8), None)]))
put("sbank", "odd_length", bank([(9, b"odd", b"\x01\x02\x03", None)]))
put("sbank", "duplicate", bank([(4, b"a", b"\0\0", None), (4, b"b", b"\1\1\2\2", None)]))
put("sbank", "lower_magic", bank([(63, b"", b"\x10\x20", None)], magic=b"qaf_sbank\n"))
put("sbank", "bad_slot", bank([(1, b"x", b"ab", None), (64, b"y", b"cd", None)]))
put("sbank", "huge_length", bank([(2, b"h", b"abcd", 0x7fffffff)]))
put("sbank", "count_beyond", bank([(5, b"c", b"zz", None)], count=40))

def recipe(types, triples):
    b = bytearray(62)
    for s, t in types.items():
        b[s - 2] = t
    for a, x, y in triples:
        b += bytes([a, x, y])
    return bytes(b)

put("layout_recipe", "chain", recipe({2: 4, 3: 5}, [(4, 0, 8), (4, 8, 12), (4, 12, 4)]))
put("layout_recipe", "claimed_twice", recipe({2: 6, 3: 3}, [(4, 8, 12), (0, 10, 12)]))
put("layout_recipe", "half_input", recipe({2: 6, 3: 3}, [(4, 0, 8), (1, 13, 9)]))
put("layout_recipe", "cleared", recipe({2: 2}, [(4, 0, 8), (4, 8, 4), (2, 8, 0)]))
put("layout_recipe", "missing_terminal", recipe({2: 4}, [(4, 1, 9)]))
put("layout_recipe", "full", recipe({s: (s % 18) + 2 for s in range(2, 64)},
                                    [(4, 4 * s, 4 * (s + 1)) for s in range(2, 40)]))
