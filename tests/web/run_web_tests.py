#!/usr/bin/env python3
"""kova behind a real web server.

Starts lighttpd with mod_cgi on a free loopback port, with its own
configuration in a temporary folder and kova installed there as a CGI
program for the applications (plain, token-protected with a sign-in page
that runs kova-token, busy journal, locked journal), then POSTs request
bodies with curl and checks the whole responses: frames, modules loaded
from compiled images (.jo), the signed access-token round trip across
processes, 20 concurrent requests whose journal entries must come out
whole, and a journal held locked by another program. The server is stopped at the end, whatever happened.

Prints "N passed, N failed" last; exits 1 when anything failed.
"""

import argparse
import concurrent.futures
import fcntl
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from checks import expect, expect_equal  # noqa: E402
from lighttpd import Lighttpd  # noqa: E402
from kova_request import (HEADER, body, encoded_item, modules, parse_frames, record, signed_identifier,  # noqa: E402
                          signed_token, strings, text_item, token, token_identifier, token_text, top_call)

LOCALHOST = (127, 0, 0, 1)
TOKEN_KEY = "websecret"

# The sign-in page's hand-off of the first token (a real one checks the
# user's credentials first): kova-token, beside kova.cgi and its
# KOVA.config, issues the pair for the address kova will see.
SIGNIN_CGI = """#!/bin/sh
here=$(dirname "$0")
if pair=$("$here/kova-token" "${HTTP_X_FORWARDED_FOR:-$REMOTE_ADDR}"); then
  identifier=$(printf '%s\\n' "$pair" | sed -n 1p)
  token=$(printf '%s\\n' "$pair" | sed -n 2p)
  printf 'Content-Type: application/json\\r\\n\\r\\n{"identifier":"%s","token":"%s"}\\n' "$identifier" "$token"
else
  printf 'Status: 500 Internal Server Error\\r\\nContent-Type: text/plain\\r\\n\\r\\nsign-in failed\\n'
fi
"""

APP_JS = """
function main() {
    sendToFront("greeting", "Hello, " + who);
    sendToFront("list", [1, [2.5, "x y"], {k: true}]);
    alertToFront("done");
}
function fail() { throw "bad"; }
"""

BUSY_JS = """
function main() {
    var pad = "p";
    for (var i = 0; i < 11; i++) pad = pad + pad;
    for (var n = 0; n < 200; n++) console.log("request " + id + " line " + n + " " + pad);
    sendToFront("id", id);
}
"""


# A second module for the compiled-module request: it runs after app and
# ends in a runtime error, whose position names the module it came from.
LIB_JS = """
function shown() {
    sendToFront("twice", twice(21));
    sendToFront("who", who);
    var nothing = null;
    nothing.call();
}
function twice(x) { return x * 2; }
"""


class Site:
    """The temporary folder: document root, applications, lighttpd's
    configuration and its log."""

    def __init__(self, kova, kova_token, kova_compile, root):
        self.root = root
        self.www = os.path.join(root, "www")
        self.modules = os.path.join(root, "modules")
        os.makedirs(self.modules)
        for name, text in (("app.js", APP_JS), ("busy.js", BUSY_JS), ("lib.js", LIB_JS)):
            with open(os.path.join(self.modules, name), "w") as handle:
                handle.write(text)
        # The same modules compiled: app plain, lib zero-suppressed.
        for name, options in (("app", []), ("lib", ["-z"])):
            subprocess.run([kova_compile] + options + [name + ".js", name + ".jo"], cwd=self.modules, check=True)
        self.apps = {}
        for name, extra in (("plain", ""), ("secure", "TOKEN_KEY=%s\nTIME_INTERVAL=60\n" % TOKEN_KEY),
                            ("busy", ""), ("locked", "")):
            folder = os.path.join(self.www, name)
            os.makedirs(folder)
            shutil.copy(kova, os.path.join(folder, "kova.cgi"))
            if name == "secure":
                shutil.copy(kova_token, os.path.join(folder, "kova-token"))
                signin = os.path.join(folder, "signin.cgi")
                with open(signin, "w") as handle:
                    handle.write(SIGNIN_CGI)
                os.chmod(signin, 0o755)
            journal = os.path.join(root, name + ".log")
            with open(os.path.join(folder, "KOVA.config"), "w") as handle:
                handle.write("MODULE_DIR=%s\nLOGFILE=%s\nDEBUG_PORT=\nVAR='who':'web'\n%s" % (self.modules, journal, extra))
            self.apps[name] = journal
        self.server = Lighttpd(root, self.www, denied=(".config", "kova-token"))
        self.port = self.server.port

    def start(self):
        self.server.start()

    def stop(self):
        self.server.stop()

    def post(self, app, data, timeout=30):
        """POSTs the body with curl; returns (status, headers, body)."""
        return self.fetch("%s/kova.cgi" % app, ["-H", "Content-Type: application/octet-stream", "--data-binary", "@-"],
                          data, timeout)

    def get(self, path, timeout=30):
        return self.fetch(path, [], b"", timeout)

    def fetch(self, path, options, data, timeout):
        done = subprocess.run(
            ["curl", "-sS", "-i", "--max-time", str(timeout)] + options + ["http://127.0.0.1:%d/%s" % (self.port, path)],
            input=data, capture_output=True, timeout=timeout + 5)
        if done.returncode != 0:
            raise AssertionError("curl failed: %s" % done.stderr.decode())
        head, _, rest = done.stdout.partition(b"\r\n\r\n")
        lines = head.decode().split("\r\n")
        status = int(lines[0].split()[1])
        headers = {}
        for line in lines[1:]:
            key, _, value = line.partition(":")
            headers[key.strip().lower()] = value.strip()
        return status, headers, rest


def call_body(call, *extra):
    return body(top_call(call), modules("app.js"), *extra)


def signed_pair(now):
    identifier = signed_identifier(now, LOCALHOST)
    return identifier, signed_token(TOKEN_KEY, identifier, now % 65536, LOCALHOST)


def error_frame(code, message, where):
    return b"S" + text_item(str(code)) + encoded_item("EVAL ERROR %d (%s) : %s" % (code, where, message))


# ---- the tests ---------------------------------------------------------------------

def test_whole_response(site):
    status, headers, data = site.post("plain", call_body("main()"))
    expect_equal(status, 200, "status")
    expect_equal(headers.get("content-type"), "text/plane;charset=UTF-8", "content type")
    expect_equal(data, b"s18greeting" + encoded_item("Hello, web") + b"A1218^A500001d2.5B5x%20yH1118^H50000211k14true"
                 + b"A1314list" + b"O1" + b"18^A50000118^H500002" + b"s219XYZBCA_ALERT_ABCZYX14done" + b"C12111210",
                 "response body")


def test_error_responses(site):
    _, _, data = site.post("plain", call_body("fail()"))
    expect_equal(data, b"S1013bad", "thrown string")
    _, _, data = site.post("plain", call_body("main()") + b"Z")
    expect_equal(data, error_frame(1750, "データの型不正(Hash, Array, Variable でない).", "app.js:0:0"), "unknown letter")
    _, _, data = site.post("plain", b"")
    expect_equal(data, error_frame(1800, "実行するJavaScriptのTOP関数が指定されていません", ":0:0"), "empty body")
    # A request variable is overridden by the configuration's VAR.
    _, _, data = site.post("plain", call_body("main()", strings(who="request")))
    expect(data.startswith(b"s18greeting" + encoded_item("Hello, web")), "VAR beats the request: %r" % data[:40])


def test_compiled_modules(site):
    """An M record naming .jo modules gives the answer of their sources,
    error positions included (the names differ in their last letter only)."""
    for call in ("main()", "shown()"):
        _, _, from_source = site.post("plain", body(top_call(call), modules("app.js", "lib.js")))
        _, _, compiled = site.post("plain", body(top_call(call), modules("app.jo", "lib.jo")))
        expect_equal(compiled, from_source.replace(b"app.js", b"app.jo").replace(b"lib.js", b"lib.jo"), call)
    expect(b"(lib.jo:6:17)" in compiled, "the error names the compiled module: %r" % compiled)
    expect(compiled.startswith(b"s15twiceP42s13who13webS142145"), "frames before the error: %r" % compiled[:40])


def check_issued_token(frame, issued_after):
    """The identifier is 8 characters and the time in hex, nothing of the
    key; the token is the identifier's signed token at that time."""
    letter, identifier, value = frame
    expect_equal(letter, "X", "token frame")
    match = re.fullmatch(r"([A-Za-z0-9]{8})([0-9a-f]+)", identifier)
    expect(match is not None, "identifier %r" % identifier)
    seconds = int(match.group(2), 16)
    expect(issued_after <= seconds <= time.time() + 1, "identifier time %d" % seconds)
    expect_equal(identifier, signed_identifier(seconds, LOCALHOST), "identifier characters")
    expect_equal(value, signed_token(TOKEN_KEY, identifier, seconds % 65536, LOCALHOST), "issued token")


def test_token_round_trip(site):
    ok = [("s", "greeting", "Hello, web")]
    start = int(time.time())
    # The first token from the sign-in page.
    status, headers, data = site.get("secure/signin.cgi")
    expect_equal((status, headers.get("content-type")), (200, "application/json"), "sign-in page")
    first = json.loads(data)
    check_issued_token(("X", first["identifier"], first["token"]), start)
    _, _, data = site.post("secure", call_body("main()", token(first["identifier"], first["token"])))
    expect(TOKEN_KEY.encode() not in data, "the key in the response: %r" % data)
    frames = parse_frames(data)
    expect_equal(frames[0], ok[0], "accepted with the first token")
    expect_equal(frames[-2], ("C", 2, 1, 2, 0), "closing frame")
    check_issued_token(frames[-1], start)

    # The token of one response, sent back, is accepted by the next process.
    _, second_identifier, second_value = frames[-1]
    _, _, data = site.post("secure", call_body("main()", token(second_identifier, second_value)))
    frames = parse_frames(data)
    expect_equal(frames[0], ok[0], "accepted with the returned token")
    check_issued_token(frames[-1], start)

    refused = error_frame(1775, "認証エラー", "app.js:0:0") + b"X12NG12NG"
    flipped = second_value[:2] + ("b" if second_value[2] != "b" else "c") + second_value[3:]
    _, _, data = site.post("secure", call_body("main()", token(second_identifier, flipped)))
    expect_equal(data, refused, "tampered token")
    _, _, data = site.post("secure", call_body("main()", token(second_identifier + "x", second_value)))
    expect_equal(data, refused, "tampered identifier")
    _, _, data = site.post("secure", call_body("main()"))
    expect_equal(data, refused, "no token")
    # What anyone could compute from the published old algorithm.
    now = int(time.time())
    legacy = token_identifier(TOKEN_KEY, now, LOCALHOST)
    _, _, data = site.post("secure", call_body("main()", token(legacy, token_text(legacy, now % 65536, LOCALHOST))))
    expect_equal(data, refused, "legacy token")

    identifier, value = signed_pair(int(time.time()) - 61)
    _, _, data = site.post("secure", call_body("main()", token(identifier, value)))
    expect_equal(data, error_frame(1775, "タイムアウト", "app.js:0:0") + b"X12NG12NG", "token older than TIME_INTERVAL")

    # The token issuer itself is not served.
    status, _, _ = site.get("secure/kova-token")
    expect_equal(status, 403, "kova-token over the web")


ENTRY = re.compile(r"-----  start : [0-9/: ]+  -----\n(.*?)\n=====  end : [0-9/: ]+  ===== \n", re.DOTALL)


def test_concurrent_journal(site):
    """Each entry is about 400 KB, written in several calls: without the
    exclusive lock, entries written at the same time get mixed."""
    count = 20

    def one(n):
        request = body(top_call("main()"), modules("busy.js"), record("I", [text_item("id") + ("%d%d" % (len(str(n)), n)).encode()]))
        return n, site.post("busy", request)

    with concurrent.futures.ThreadPoolExecutor(max_workers=count) as pool:
        results = list(pool.map(one, range(count)))
    for n, (status, _, data) in results:
        expect_equal(status, 200, "status of request %d" % n)
        expect_equal(data, b"s12id" + b"%c%d" % (ord("N") + len(str(n)), n) + b"C10101110", "response %d" % n)

    with open(site.apps["busy"], encoding="utf-8") as handle:
        journal = handle.read()
    entries = ENTRY.findall(journal)
    expect_equal(len(entries), count, "journal entries")
    expect_equal("".join(ENTRY.sub("", journal)), "", "text outside the entries")
    pad = "p" * 2048
    seen = set()
    for entry in entries:
        first = re.match(r'\(L\) "request (\d+) line 0 ', entry)
        expect(first is not None, "entry starts with its first line: %r" % entry[:60])
        n = int(first.group(1))
        expected = "".join('(L) "request %d line %d %s"\n' % (n, k, pad) for k in range(200))
        expect_equal(entry, expected, "entry of request %d" % n)
        seen.add(n)
    expect_equal(seen, set(range(count)), "requests in the journal")


def test_locked_journal(site):
    path = site.apps["locked"]
    with open(path, "a") as holder:
        fcntl.flock(holder, fcntl.LOCK_EX)
        started = time.time()
        _, _, data = site.post("locked", call_body("main()"))
        waited = time.time() - started
    message = "open&lock of jounal file(%s)" % path
    expect(data.endswith(b"C12111210S149999" + b"%d%d" % (len(str(len(message))), len(message)) + message.encode()),
           "9999 record at the end: %r" % data[-80:])
    expect(waited >= 4.5, "gave up after %.1f s" % waited)
    expect_equal(os.path.getsize(path), 0, "nothing written to the locked journal")


TESTS = [test_whole_response, test_error_responses, test_compiled_modules, test_token_round_trip,
         test_concurrent_journal, test_locked_journal]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kova", required=True)
    parser.add_argument("--kova-compile", required=True)
    parser.add_argument("--kova-token", required=True)
    options = parser.parse_args()
    for tool in ("lighttpd", "curl"):
        if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
            print("FAIL %s is not installed" % tool)
            print("0 passed, 1 failed")
            return 1
    os.environ["PATH"] = os.environ.get("PATH", "") + ":/usr/sbin"

    passed = failed = 0
    with tempfile.TemporaryDirectory(prefix="kova-web-") as root:
        site = Site(os.path.abspath(options.kova), os.path.abspath(options.kova_token),
                    os.path.abspath(options.kova_compile), root)
        try:
            site.start()
            for test in TESTS:
                try:
                    test(site)
                    passed += 1
                    print("ok   " + test.__name__)
                except Exception:  # noqa: BLE001 - every failure is reported, the rest still run
                    failed += 1
                    print("FAIL " + test.__name__)
                    print(traceback.format_exc())
        finally:
            site.stop()
        if failed and os.path.exists(site.server.error_log):
            with open(site.server.error_log) as handle:
                print("lighttpd error log:\n" + handle.read()[-4000:])
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
