#!/usr/bin/env python3
"""Access tokens across real processes, against the clock.

Each test lays out an installation in a temporary folder (links to kova,
kova-dbg and kova-token beside one KOVA.config, and a module), has
kova-token issue a first pair as a sign-in program would, sends requests
with CONTENT_LENGTH and REMOTE_ADDR as a web server does, and checks what
comes back against tokens computed here independently (kova_request.py):
signed tokens (the default) and TOKEN_SIGNING=legacy.

Prints one line per test and "N passed, N failed" last; exits 1 when
anything failed.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "web"))
from checks import expect, expect_equal  # noqa: E402
from kova_request import (HEADER, body, encoded_item, modules, parse_frames, signed_identifier,  # noqa: E402
                          signed_token, text_item, token, token_identifier, token_text, top_call)

KEY = "very-secret-key"
LOCALHOST = (127, 0, 0, 1)
OTHER = (10, 0, 0, 7)
INTERVAL = 60
ACCEPTED = [("s", "ran", 1), ("C", 0, 0, 1, 0)]


def error_frame(code, message):
    return b"S" + text_item(str(code)) + encoded_item("EVAL ERROR %d (app.js:0:0) : %s" % (code, message))


REFUSED = error_frame(1775, "認証エラー") + b"X12NG12NG"
TIMED_OUT = error_frame(1775, "タイムアウト") + b"X12NG12NG"


def dotted(octets):
    return "%d.%d.%d.%d" % tuple(octets)


class Installation:
    """A folder with the three programs linked beside one KOVA.config."""

    def __init__(self, programs, config):
        self.folder = tempfile.TemporaryDirectory(prefix="kova-tokens-")
        self.dir = self.folder.name
        for name, path in programs.items():
            os.symlink(path, os.path.join(self.dir, name))
        with open(os.path.join(self.dir, "app.js"), "w") as handle:
            handle.write('function main() { sendToFront("ran", 1); }\n')
        with open(os.path.join(self.dir, "KOVA.config"), "w") as handle:
            handle.write("MODULE_DIR=%s\nDEBUG_PORT=\n%s" % (self.dir, config))

    def close(self):
        self.folder.cleanup()

    def environment(self, **extra):
        environment = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TZ": "UTC"}
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            if key in os.environ:
                environment[key] = os.environ[key]
        environment.update(extra)
        return environment

    def issue(self, *arguments, stdout=subprocess.PIPE):
        """kova-token's status, standard output and standard error."""
        program = os.path.join(self.dir, "kova-token")
        done = subprocess.run([program] + list(arguments), stdout=stdout, stderr=subprocess.PIPE,
                              env=self.environment(), timeout=20)
        return done.returncode, (done.stdout or b"").decode(), done.stderr.decode()

    def first_pair(self, octets=LOCALHOST):
        status, out, err = self.issue(dotted(octets))
        expect_equal((status, err), (0, ""), "kova-token status and standard error")
        lines = out.split("\n")
        expect(len(lines) == 3 and lines[2] == "", "two lines from kova-token: %r" % out)
        return lines[0], lines[1]

    def request(self, pair=None, octets=LOCALHOST, program="kova"):
        """The response body after the header."""
        records = [top_call("main()"), modules("app.js")]
        if pair is not None:
            records.append(token(*pair))
        data = body(*records)
        done = subprocess.run([os.path.join(self.dir, program)], input=data, capture_output=True, timeout=20,
                              env=self.environment(CONTENT_LENGTH=str(len(data)), REMOTE_ADDR=dotted(octets)))
        expect_equal((done.returncode, done.stderr), (0, b""), "kova status and standard error")
        expect(done.stdout.startswith(HEADER), "response header: %r" % done.stdout[:60])
        return done.stdout[len(HEADER):]


def accepted_pair(data, what):
    """The new pair of an accepted response (its frames checked)."""
    frames = parse_frames(data)
    expect_equal(frames[:-1], ACCEPTED, what)
    letter, identifier, value = frames[-1]
    expect_equal(letter, "X", what + ": token frame")
    return identifier, value


def identifier_time(identifier, prefix, issued_after):
    """The seconds the identifier carries (after the prefix and its 8
    characters), within the time the test ran."""
    expect(identifier.startswith(prefix), "identifier %r starts with %r" % (identifier, prefix))
    rest = identifier[len(prefix):]
    expect(len(rest) > 8 and rest[:8].isalnum() and rest[:8].isascii(), "8 characters in %r" % identifier)
    seconds = int(rest[8:], 16)
    expect_equal(rest[8:], "%x" % seconds, "lower-case hexadecimal time")
    expect(issued_after <= seconds <= time.time() + 1, "identifier time %d" % seconds)
    return seconds


def check_signed(pair, key, octets, issued_after):
    """A pair as the default mode makes it, exactly."""
    identifier, value = pair
    seconds = identifier_time(identifier, "", issued_after)
    expect_equal(identifier, signed_identifier(seconds, octets), "identifier characters")
    expect_equal(value, signed_token(key, identifier, seconds % 65536, octets), "signed token")
    expect_equal(len(value), 69, "token length")


def check_legacy(pair, key, octets, issued_after):
    """A pair as the old algorithm makes it, byte for byte."""
    identifier, value = pair
    seconds = identifier_time(identifier, key, issued_after)
    expect_equal(identifier, token_identifier(key, seconds, octets), "identifier characters")
    expect_equal(value, token_text(identifier, seconds % 65536, octets), "legacy token")


def altered(text, at):
    """The text with one character replaced by another of its kind."""
    c = text[at]
    replacement = {"9": "8", "f": "e", "z": "y", "Z": "Y"}.get(c, chr(ord(c) + 1))
    return text[:at] + replacement + text[at + 1:]


# ---- the tests ---------------------------------------------------------------------

SIGNED = "TOKEN_KEY=%s\nTIME_INTERVAL=%d\n" % (KEY, INTERVAL)
LEGACY = SIGNED + "TOKEN_SIGNING=legacy\n"


def round_trip(site, check, key):
    start = int(time.time())
    pair = site.first_pair()
    check(pair, key, LOCALHOST, start)
    # Each answer's pair opens the next request, in a new process each time,
    # in either build.
    for program in ("kova", "kova-dbg", "kova"):
        data = site.request(pair, program=program)
        pair = accepted_pair(data, "accepted by %s" % program)
        check(pair, key, LOCALHOST, start)
    return data


def test_signed_round_trip(site):
    data = round_trip(site, check_signed, KEY)
    expect(KEY.encode() not in data, "the key in the response: %r" % data)


def test_legacy_round_trip(site):
    round_trip(site, check_legacy, KEY)


def test_signed_first_token_from_elsewhere(site):
    # A pair computed by another program that holds the key is as good.
    now = int(time.time())
    identifier = signed_identifier(now, LOCALHOST)
    accepted_pair(site.request((identifier, signed_token(KEY, identifier, now % 65536, LOCALHOST))), "accepted")
    # Without the key the pair is worthless.
    expect_equal(site.request((identifier, signed_token("guess", identifier, now % 65536, LOCALHOST))), REFUSED,
                 "signed with another key")


def test_legacy_token_refused_by_default(site):
    now = int(time.time())
    identifier = token_identifier(KEY, now, LOCALHOST)
    expect_equal(site.request((identifier, token_text(identifier, now % 65536, LOCALHOST))), REFUSED,
                 "a legacy token in the default mode")


def test_signed_token_refused_in_legacy_mode(site):
    now = int(time.time())
    identifier = signed_identifier(now, LOCALHOST)
    expect_equal(site.request((identifier, signed_token(KEY, identifier, now % 65536, LOCALHOST))), REFUSED,
                 "a signed token in the legacy mode")


def other_address(site):
    pair = site.first_pair(LOCALHOST)
    expect_equal(site.request(pair, octets=OTHER), REFUSED, "a pair issued to another address")
    accepted_pair(site.request(site.first_pair(OTHER), octets=OTHER), "a pair issued to this address")


def every_byte_altered(site):
    identifier, value = site.first_pair()
    accepted_pair(site.request((identifier, value)), "the pair as issued")
    for at in range(len(identifier)):
        expect_equal(site.request((altered(identifier, at), value)), REFUSED, "identifier altered at %d" % at)
    for at in range(len(value)):
        # A changed time field may also make the token look expired.
        expected = (REFUSED, TIMED_OUT) if at >= len(value) - 5 else (REFUSED,)
        data = site.request((identifier, altered(value, at)))
        expect(data in expected, "token altered at %d: %r" % (at, data))
    # Lengths changed before the time field, which stays valid.
    expect_equal(site.request((identifier, value[:10] + "0" + value[10:])), REFUSED, "a byte added")
    expect_equal(site.request((identifier, value[1:])), REFUSED, "a byte taken away")
    expect_equal(site.request((identifier, value.upper())), REFUSED, "in capitals")


def expiry(site, make):
    now = int(time.time())
    # Ten seconds of slack either side of the limit for slow machines.
    accepted_pair(site.request(make(now - INTERVAL + 10)), "a token younger than TIME_INTERVAL")
    expect_equal(site.request(make(now - INTERVAL - 10)), TIMED_OUT, "a token older than TIME_INTERVAL")
    # Issued "later" on the 16-bit clock: counted forward, it is almost a
    # whole cycle old.
    expect_equal(site.request(make(now + 3600)), TIMED_OUT, "a token from the other side of the clock's wrap")


def signed_pair_at(key):
    def make(seconds):
        identifier = signed_identifier(seconds, LOCALHOST)
        return identifier, signed_token(key, identifier, seconds % 65536, LOCALHOST)
    return make


def legacy_pair_at(seconds):
    identifier = token_identifier(KEY, seconds, LOCALHOST)
    return identifier, token_text(identifier, seconds % 65536, LOCALHOST)


def test_signed_other_address(site):
    other_address(site)


def test_legacy_other_address(site):
    other_address(site)


def test_signed_every_byte_altered(site):
    every_byte_altered(site)


def test_legacy_every_byte_altered(site):
    every_byte_altered(site)


def test_signed_expiry(site):
    expiry(site, signed_pair_at(KEY))


def test_legacy_expiry(site):
    expiry(site, legacy_pair_at)


def test_timeout_without_key(site):
    # TIME_INTERVAL alone: the pair is signed with the empty key, and only
    # its age is checked.
    start = int(time.time())
    pair = site.first_pair()
    check_signed(pair, "", LOCALHOST, start)
    pair = accepted_pair(site.request(pair), "accepted")
    check_signed(pair, "", LOCALHOST, start)
    expect_equal(site.request(signed_pair_at("")(start - INTERVAL - 10)), TIMED_OUT, "too old")
    expect_equal(site.request(None), TIMED_OUT, "no token at all")


def test_kova_token_addresses(site):
    # Read as kova reads its client address: the first forwarded entry, and
    # "::1" for the loopback address.
    start = int(time.time())
    for argument, octets in (("10.0.0.7, 127.0.0.1", OTHER), (" 10.0.0.7", OTHER), ("::1", LOCALHOST)):
        status, out, err = site.issue(argument)
        expect_equal((status, err), (0, ""), "kova-token %r" % argument)
        pair = tuple(out.split("\n")[:2])
        check_signed(pair, KEY, octets, start)


def test_kova_token_refusals(site):
    expect_equal(site.issue(), (2, "", "kova-token: usage: kova-token CLIENT_ADDRESS\n"), "no argument")
    expect_equal(site.issue("127.0.0.1", "x"), (2, "", "kova-token: usage: kova-token CLIENT_ADDRESS\n"),
                 "two arguments")
    for address in ("", "127.0.0", "256.1.1.1", "host.example", "2001:db8::1"):
        expect_equal(site.issue(address), (2, "", "kova-token: クライアントのIPアドレス不正 '%s'\n" % address),
                     "address %r" % address)
    # A pair that cannot be delivered is a failure, not a success.
    with open("/dev/full", "wb") as full:
        expect_equal(site.issue("127.0.0.1", stdout=full), (1, "", "kova-token: 標準出力に書けません\n"),
                     "standard output full")


def test_kova_token_configuration_faults(programs):
    cases = (
        ("", "kova-token: configファイルにTOKEN_KEYもTIME_INTERVALも設定されていません\n"),
        ("TOKEN_KEY=k\nTOKEN_SIGNING=md5\n",
         "kova-token: configファイルのTOKEN_SIGNINGはhmac-sha256かlegacyを設定してください。\n"),
        ("TIME_INTERVAL=1h\n", "kova-token: configファイルのTIME_INTERVALは整数を設定してください。\n"),
    )
    for config, message in cases:
        site = Installation(programs, config)
        try:
            expect_equal(site.issue("127.0.0.1"), (1, "", message), "configuration %r" % config)
        finally:
            site.close()
    # No configuration beside the program at all.
    site = Installation(programs, "")
    try:
        os.remove(os.path.join(site.dir, "KOVA.config"))
        status, out, err = site.issue("127.0.0.1")
        expect_equal((status, out), (1, ""), "no configuration")
        expect(err.startswith("kova-token: kova設定ファイル(") and err.endswith("が開けません\n"), "message %r" % err)
    finally:
        site.close()


# (test, configuration); a configuration of None: the test lays out its own.
TESTS = [
    (test_signed_round_trip, SIGNED),
    (test_legacy_round_trip, LEGACY),
    (test_signed_first_token_from_elsewhere, SIGNED),
    (test_legacy_token_refused_by_default, SIGNED),
    (test_signed_token_refused_in_legacy_mode, LEGACY),
    (test_signed_other_address, SIGNED),
    (test_legacy_other_address, LEGACY),
    (test_signed_every_byte_altered, SIGNED),
    (test_legacy_every_byte_altered, LEGACY),
    (test_signed_expiry, SIGNED),
    (test_legacy_expiry, LEGACY),
    (test_timeout_without_key, "TIME_INTERVAL=%d\n" % INTERVAL),
    (test_kova_token_addresses, SIGNED),
    (test_kova_token_refusals, SIGNED),
    (test_kova_token_configuration_faults, None),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kova", required=True)
    parser.add_argument("--kova-dbg", required=True)
    parser.add_argument("--kova-token", required=True)
    options = parser.parse_args()
    programs = {"kova": os.path.abspath(options.kova), "kova-dbg": os.path.abspath(options.kova_dbg),
                "kova-token": os.path.abspath(options.kova_token)}
    passed = failed = 0
    for test, config in TESTS:
        try:
            if config is None:
                test(programs)
            else:
                site = Installation(programs, config)
                try:
                    test(site)
                finally:
                    site.close()
            passed += 1
            print("ok   " + test.__name__)
        except Exception:  # noqa: BLE001 - every failure is reported, then the next test runs
            failed += 1
            print("FAIL " + test.__name__)
            traceback.print_exc(file=sys.stdout)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
