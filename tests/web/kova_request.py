"""Request bodies, access tokens and response frames, written independently
of kova's own code, for the tests that drive kova as a CGI program.

A body is a stream of records; `body(...)` joins record texts made by the
helpers below. Signed tokens (the default) are the HMAC-SHA256, keyed with
TOKEN_KEY, of "identifier|t|address", then t. Legacy tokens
(TOKEN_SIGNING=legacy) are drawn from the installation's shared generator
(state * 214013 + 2531011, draws of (state >> 16) & 0x7FFF) seeded from the
identifier, the time and the client address. `parse_frames` cuts a
response body into its frames.
"""

import hashlib
import hmac

IDENTIFIER_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
TOKEN_ALPHABET = "jklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghi"
KEPT = set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789;,/?:@&=+$-_.*'()#")


class Generator:
    def __init__(self):
        self.state = 1

    def seed(self, value):
        self.state = value & 0xFFFFFFFF

    def draw(self, alphabet):
        self.state = (self.state * 214013 + 2531011) & 0xFFFFFFFF
        r = (self.state >> 16) & 0x7FFF
        return alphabet[int(r / 32767.0 * 61.0)]


def six_bit(byte):
    c = chr(byte)
    if "A" <= c <= "Z":
        return ord(c) - ord("A")
    if "a" <= c <= "z":
        return ord(c) - ord("a") + 26
    if "0" <= c <= "9":
        return ord(c) - ord("0") + 52
    return {"-": 62, "_": 63}.get(c)


def token_text(identifier, t, octets):
    data = identifier.encode()
    if not data:
        return "%05d" % t
    g = Generator()
    out = []
    group = 0
    for position, byte in enumerate(data, 1):
        digit = six_bit(byte)
        if digit is None:
            continue
        group = ((group << 6) | digit) & 0xFFFFFFFF
        if position % 4 == 0:
            g.seed(group | (t << 24))
            out += [g.draw(TOKEN_ALPHABET) for _ in range(6)]
            group = 0
    if group:
        g.seed((t << 24) | group)
        out += [g.draw(TOKEN_ALPHABET) for _ in range(2 * (len(data) % 4))]
    o1, o2, o3, o4 = octets
    g.seed((o1 << 8) | o2 | (t << 16))
    out += [g.draw(TOKEN_ALPHABET) for _ in range(8)]
    g.seed((o3 << 8) | o4 | (t << 16))
    out += [g.draw(TOKEN_ALPHABET) for _ in range(8)]
    return "".join(out) + "%05d" % t


def token_identifier(key, now, octets):
    b = ((now & 0xFFFFFFFF) * 9878) % 65536
    g = Generator()
    o1, o2, o3, o4 = octets
    g.seed((o1 * 256) | b | o2)
    first = "".join(g.draw(IDENTIFIER_ALPHABET) for _ in range(4))
    g.seed((o3 * 256) | b | o4)
    second = "".join(g.draw(IDENTIFIER_ALPHABET) for _ in range(4))
    return "%s%s%s%x" % (key, first, second, now & 0xFFFFFFFF)


def signed_identifier(now, octets):
    """The identifier of a signed token: the legacy one without the key."""
    return token_identifier("", now, octets)


def signed_token(key, identifier, t, octets):
    message = identifier.encode() + b"|%05d|%d.%d.%d.%d" % ((t,) + tuple(octets))
    return hmac.new(key.encode(), message, hashlib.sha256).hexdigest() + "%05d" % t


# ---- records -------------------------------------------------------------------


def number_field(n, base="0"):
    digits = str(n)
    return chr(ord(base) + len(digits)) + digits


def text_item(text):
    """A plain text item (the receiver decodes nothing)."""
    data = text.encode() if isinstance(text, str) else text
    return number_field(len(data)).encode() + data


def encoded_item(text):
    """A text item with every byte outside the kept set percent-encoded."""
    data = text.encode() if isinstance(text, str) else text
    encoded = b"".join(bytes([c]) if c in KEPT else b"%%%02X" % c for c in data)
    base = "A" if encoded != data else "0"
    return number_field(len(encoded), base).encode() + encoded


def block(data):
    return number_field(len(data)).encode() + data


def record(letter, entries):
    joined = b"".join(entries)
    return letter.encode() + number_field(len(entries)).encode() + block(joined)


def modules(*paths):
    return record("M", [block(p.encode()) for p in paths])


def top_call(text):
    return b"P" + text_item(text)


def token(identifier, value):
    return b"Q" + text_item(identifier) + text_item(value)


def strings(**variables):
    return record("S", [text_item(k) + encoded_item(v) for k, v in variables.items()])


def body(*records):
    return b"".join(records)


# ---- responses -----------------------------------------------------------------

HEADER = b"Content-type: text/plane;charset=UTF-8\n\n"


def percent_decode(data):
    """"%" and two hexadecimal digits become that byte; anything else stays."""
    out = bytearray()
    i = 0
    while i < len(data):
        pair = data[i + 1:i + 3]
        if data[i] == ord("%") and len(pair) == 2 and all(c in b"0123456789ABCDEFabcdef" for c in pair):
            out.append(int(pair, 16))
            i += 3
        else:
            out.append(data[i])
            i += 1
    return bytes(out)


class Reader:
    """Cuts a response body into frames, item by item."""

    def __init__(self, data):
        self.data = data
        self.at = 0

    def take(self, n):
        if self.at + n > len(self.data):
            raise ValueError("frame runs past the response at %d" % self.at)
        piece = self.data[self.at:self.at + n]
        self.at += n
        return piece

    def number(self, base="0"):
        k = self.take(1)[0] - ord(base)
        return int(self.take(k)) if k else 0

    def item(self):
        """A text, integer or float item as str, int or float."""
        first = chr(self.data[self.at])
        if "0" <= first <= "=":
            return self.take(self.number("0")).decode()
        if "A" <= first <= "M":
            return percent_decode(self.take(self.number("A"))).decode()
        if "N" <= first <= "`":
            self.at += 1
            return int(self.take(ord(first) - ord("N")))
        if "a" <= first <= "o":
            self.at += 1
            return float(self.take(ord(first) - ord("a")))
        raise ValueError("no item at %d: %r" % (self.at, self.data[self.at:self.at + 20]))


def parse_frames(data):
    """The frames of a response body (after its header) as tuples:
    ("s", name, value), ("A", name, [values]), ("H", name, [(key, value)]),
    ("S", code, message), ("C", arrays, objects, values, queries),
    ("X", identifier, token)."""
    r = Reader(data)
    frames = []
    while r.at < len(data):
        letter = chr(r.take(1)[0])
        if letter == "s":
            frames.append(("s", r.item(), r.item()))
        elif letter == "A":
            count = r.number()
            name = r.item()
            frames.append(("A", name, [r.item() for _ in range(count)]))
        elif letter == "H":
            count = r.number()
            name = r.item()
            frames.append(("H", name, [(r.item(), r.item()) for _ in range(count)]))
        elif letter in "SX":
            frames.append((letter, r.item(), r.item()))
        elif letter == "C":
            frames.append(("C",) + tuple(r.number() for _ in range(4)))
        else:
            raise ValueError("unknown frame %r at %d" % (letter, r.at - 1))
    return frames
