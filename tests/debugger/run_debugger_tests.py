#!/usr/bin/env python3
"""kova-dbg against a scripted debugging front end.

Each test installs kova-dbg with a KOVA.config whose DEBUG_PORT is a free
loopback port that the test listens on, sends one CGI request (body on
standard input, REMOTE_ADDR 127.0.0.1) and plays the front end over the
connection kova-dbg opens: it serves module texts and lists, reads the
stop, console, trace and error messages, and sends step, list and
evaluation commands. The response frames are checked at the end.

Prints "N passed, N failed" last; exits 1 when anything failed.
"""

import argparse
import os
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (Failure, Installation, Request, body, check, equal, modules,  # noqa: E402
                     protocol, top_call)

ARGS = None

# Line numbers matter: the tests stop at them.
APP = """\
function add(a, b) {
    var c = a + b;
    return c;
}
function twice(s) {
    var t = s + s;
    return t;
}
function main() {
    var x = add(1, 2);
    var y = add(x, 10);
    console.log("x=", x);
    sendToFront("y", y);
}
function loop() {
    var total = 0;
    for (var n = 0; n < 4; n++) {
        total = total + n;
    }
    sendToFront("total", total);
}
function first() {
    return 1;
}
function second() {
    var s = 2;
    return s;
}
function both(a, b) { sendToFront("sum", a + b); }
function label() {
    var w = twice("ab");
    var z = twice(w);
    sendToFront("z", z);
    console.error("done");
}
function fails() {
    var q = 1;
    q.nothing();
}
"""


def app_request(call, *extra):
    return body(top_call(call), modules("app.js"), *extra)


class Case:
    """One request against the app, with the installation cleaned up."""

    def __init__(self, call="main()", sources=None, config="", program=None, env=None, request_body=None):
        self.installation = Installation(program or ARGS.kova_dbg, sources or {"app.js": APP}, config)
        self.request = Request(self.installation, request_body or app_request(call), env)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.request.kill()
        self.installation.close()
        return False

    def connect(self, lists=None, text=APP):
        """Accepts the connection and serves app.js with `lists`."""
        front = self.request.accept()
        front.serve("app.js", text, lists)
        return front


def lists(**kw):
    return protocol.lists_text(**kw)


def stop_at(front, where):
    stop = front.next_stop()
    check(stop is not None, "the run ended instead of stopping at %s" % where)
    equal(stop.where(), where, "stop")
    return stop


# ---- runs without stops ----------------------------------------------------------


def test_no_breakpoints_no_stop():
    with Case() as case:
        front = case.connect(lists())
        rest = []
        while True:
            got = front.receive()
            rest.append(got)
            if got == b"X":
                break
        equal(rest, [b'L"x="3', b"X"], "messages after the module")
        response = case.request.finish()
        equal(response.values(), {"y": 13}, "values")
        check(response.error() is None, "error frame: %r" % (response.error(),))


def test_kova_without_debugger_never_connects():
    with Case(program=ARGS.kova) as case:
        check(not case.request.connects_within(5), "kova connected to the debugging port")
        equal(case.request.finish().values(), {"y": 13}, "values")


def test_client_list():
    for config, connects in (("CLIENT=10.1.2.3\n", False), ("CLIENT=10.1.2.3,127.0.0.1\n", True)):
        with Case(config=config) as case:
            if connects:
                front = case.connect()
                equal(front.next_stop(), None, "stop")
            else:
                check(not case.request.connects_within(5), "a client outside CLIENT was connected to")
            equal(case.request.finish().values(), {"y": 13}, "values (%s)" % config.strip())


# ---- stops, S and B messages ------------------------------------------------------


def test_breakpoint_stop_messages():
    with Case() as case:
        front = case.connect(lists(lines=[2]))
        equal(front.receive(), b"Sapp.js:main:10:16;app.js:add:2:5", "S message")
        equal(front.receive(), b"Bapp.js:5:2", "B message")
        equal(front.evaluate("app.js", "add", "a * 10 + b"), "=12", "parameters in the stopped call")
        front.step(protocol.STEP_RUN)
        # The same line in the second call of add.
        stop = stop_at(front, "app.js:2 add")
        equal([(e.function, e.line) for e in stop.stack], [("main", 11), ("add", 2)], "stack")
        equal(front.evaluate("app.js", "add", "a"), "=3", "a in the second call")
        front.step(protocol.STEP_RUN)
        equal(front.next_stop(), None, "stop after the last breakpoint")
        equal(case.request.finish().values(), {"y": 13}, "values")


def test_step_over_stays_in_caller_but_breakpoint_in_callee_stops():
    with Case() as case:
        front = case.connect(lists(lines=[10]))
        stop_at(front, "app.js:10 main")
        # The assignment and then the call on the same line.
        front.step(protocol.STEP_OVER)
        stop_at(front, "app.js:10 main")
        front.step(protocol.STEP_OVER)
        stop_at(front, "app.js:11 main")
        front.send(protocol.lines_command("app.js", [3]))
        front.step(protocol.STEP_OVER)
        stop_at(front, "app.js:11 main")
        front.step(protocol.STEP_OVER)
        stop = stop_at(front, "app.js:3 add")
        equal(front.evaluate("app.js", "add", "c"), "=13", "c")
        equal(len(stop.stack), 2, "depth")
        front.send(protocol.lines_command("app.js", []))
        front.step(protocol.STEP_RUN)
        equal(front.next_stop(), None, "stop after the breakpoints were cleared")
        equal(case.request.finish().values(), {"y": 13}, "values")


def test_step_into_and_out():
    with Case() as case:
        front = case.connect(lists(lines=[10]))
        stop_at(front, "app.js:10 main")
        front.step(protocol.STEP_INTO)
        stop_at(front, "app.js:10 main")
        front.step(protocol.STEP_INTO)
        stop_at(front, "app.js:2 add")
        front.step(protocol.STEP_OUT)
        stop = stop_at(front, "app.js:11 main")
        equal(front.evaluate("app.js", "main", "x"), "=3", "x after add returned")
        equal(len(stop.stack), 1, "depth after the step out")
        # At the top of main a step out has a call to leave; at the top level
        # it acts as run (tested with a module-level stop below).
        front.step(protocol.STEP_OUT)
        equal(front.next_stop(), None, "stop after stepping out of main")
        equal(case.request.finish().values(), {"y": 13}, "values")


def test_step_out_at_top_level_runs_and_unknown_step_is_ignored():
    source = "var g = 1;\ng = g + 1;\nfunction main() { sendToFront(\"g\", g); }\n"
    with Case(sources={"app.js": source}) as case:
        front = case.connect(lists(lines=[1]), text=source)
        stop_at(front, "app.js:1 ")
        front.step(9)  # "STEP9": ignored, the stop goes on
        equal(front.evaluate("app.js", "", "g"), "=undefined", "g before its var ran")
        front.step(protocol.STEP_OUT)
        equal(front.next_stop(), None, "stop after STEP4 at the top level")
        equal(case.request.finish().values(), {"g": 2}, "values")


def test_top_call_text_never_stops():
    # Stepping into from the first argument's function: the top call's own
    # nodes (the call of second, of both) are skipped, also with breakpoint
    # lines set for MainScript.
    with Case(call="both(first(), second())") as case:
        front = case.connect(lists(lines=[23]))
        stop = stop_at(front, "app.js:23 first")
        equal(stop.stack[0].module, "app.js", "module of first")
        front.send(protocol.lines_command("MainScript", [0, 1]))
        front.step(protocol.STEP_INTO)
        stop_at(front, "app.js:26 second")
        front.step(protocol.STEP_RUN)
        equal(front.next_stop(), None, "stop after run")
        equal(case.request.finish().values(), {"sum": 3}, "values")


def test_conditional_breakpoints():
    # true at one iteration only, never true, not parsable, raising an error
    conditions = [(18, "n == 2"), (17, "total > 100"), (20, "total =="), (16, "missing()")]
    with Case(call="loop()") as case:
        front = case.connect(lists(conditions=conditions))
        equal(protocol.text(front.receive()), "D評価する式が不正 'total =='", "report of the bad condition")
        error = protocol.text(front.receive())
        check(error.startswith("#EVAL ERROR: CODE=1860, MESSAGE='EVAL ERROR 1860 (app.js:16:")
              and error.endswith(") : デバッグでのEVALエラー'"), "answer of the failing condition: %r" % error)
        stop_at(front, "app.js:18 loop")
        equal(front.evaluate("app.js", "loop", "n"), "=2", "n at the stop")
        equal(front.evaluate("app.js", "loop", "total"), "=1", "total at the stop")
        front.step(protocol.STEP_RUN)
        equal(front.next_stop(), None, "another stop")
        equal(case.request.finish().values(), {"total": 6}, "values")


def test_condition_set_at_a_stop_outlives_later_allocations():
    # Conditions replaced at a stop are parsed in run mode and must stay
    # whole while the loop allocates.
    source = APP.replace("total = total + n;", "total = total + n; var pad = \"p\" + n + \"-\" + n * 2; var arr = [n, n, \"x\" + n];")
    with Case(call="loop()", sources={"app.js": source}) as case:
        front = case.connect(lists(lines=[16]), text=source)
        stop_at(front, "app.js:16 loop")
        # pad is still the previous iteration's when line 18 starts
        condition = "pad == \"p\" + (n - 1) + \"-\" + (n - 1) * 2 && arr[2] == \"x\" + (n - 1) && n == 2"
        front.send(protocol.conditions_command("app.js", [(18, condition)]))
        front.send(protocol.lines_command("app.js", []))
        front.step(protocol.STEP_RUN)
        first = stop_at(front, "app.js:18 loop")
        equal(front.evaluate("app.js", "loop", "[n, total, pad, arr]"), '=[2,1,"p1-2",[1,1,"x1"]]', "values at the stop")
        front.step(protocol.STEP_RUN)
        # The condition holds at the next step point of the line too (the
        # var of pad), no longer at the var of arr.
        second = stop_at(front, "app.js:18 loop")
        check(second.place.column > first.place.column, "columns %d, %d" % (first.place.column, second.place.column))
        equal(front.evaluate("app.js", "loop", "total"), "=3", "total at the second stop")
        front.step(protocol.STEP_RUN)
        equal(front.next_stop(), None, "another stop")
        equal(case.request.finish().values(), {"total": 6}, "values")


# ---- trace labels, console and error messages ------------------------------------


def test_trace_labels_and_console_messages():
    with Case(call="label()") as case:
        front = case.connect(lists(traces=[(6, "twice")]))
        got = []
        while True:
            message = front.receive()
            if message == b"X":
                break
            got.append(message)
        equal(got, [b'Atwice( s="ab" )', b'Rtwice( "abab" )', b'Atwice( s="abab" )', b'Rtwice( "abababab" )',
                    b'E"done"'], "messages")
        equal(case.request.finish().values(), {"z": "abababab"}, "values")


def test_trace_label_set_at_a_stop_and_a_function_argument():
    source = APP + ("function apply(f, v) {\n    return f(v);\n}\n"
                    "function viaApply() {\n    sendToFront(\"r\", apply(twice, \"x\"));\n}\n")
    with Case(call="viaApply()", sources={"app.js": source}) as case:
        front = case.connect(lists(lines=[44]), text=source)
        stop_at(front, "app.js:44 viaApply")
        front.send(protocol.traces_command("app.js", [(41, "apply")]))
        front.send(protocol.lines_command("app.js", []))
        front.step(protocol.STEP_RUN)
        equal(front.receive(), b'Aapply( f=(function), v="x" )', "call trace")
        equal(front.receive(), b'Rapply( "xx" )', "return trace")
        equal(front.receive(), b"X", "end")
        equal(case.request.finish().values(), {"r": "xx"}, "values")


def test_error_texts_go_to_the_debugger():
    with Case(call="fails()") as case:
        front = case.connect()
        error = protocol.text(front.receive())
        equal(error, "DEVAL ERROR 2145 (app.js:38:14) : メソッド名不正", "D message")
        equal(front.receive(), b"X", "end")
        response = case.request.finish()
        check(response.error() is not None and response.error()[1] == error[1:],
              "error frame %r against %r" % (response.error(), error))


# ---- E commands ----------------------------------------------------------------------


def test_evaluation_answers():
    with Case() as case:
        front = case.connect(lists(lines=[3]))
        stop_at(front, "app.js:3 add")
        # the caller's scope while it waits in the call
        equal(front.evaluate("app.js", "main", "typeof x"), "#EVAL ERROR: CODE=1860, MESSAGE='EVAL ERROR 1860 (app.js:10:1) : デバッグでのEVALエラー'", "typeof is forbidden")
        cases = [
            (("app.js", "add", "c"), "=3"),
            (("app.js", "add", "[a, b, \"s\", {k: c}]"), '=[1,2,"s",{\'k\':3}]'),
            (("app.js", "add", "a; b; a + b * 2"), "=5"),
            (("app.js", "main", "x"), "=undefined"),
            (("app.js", "twice", "s"), "#呼び出し履歴の指定不正"),
            (("MainScript", "", "add"), None),  # the top level; a function has no text: an error
        ]
        for (module, function, expression), expected in cases:
            got = front.evaluate(module, function, expression)
            if expected is None:
                check(got.startswith("#EVAL ERROR: CODE=2522, "), "%s: %r" % (expression, got))
            else:
                equal(got, expected, expression)
        # errors of the expression, and the forbidden operations
        got = front.evaluate("app.js", "add", "c.nothing()")
        check(got.startswith("#EVAL ERROR: CODE=1860, MESSAGE='EVAL ERROR 1860 (app.js:"), "a call: %r" % got)
        for forbidden in ("var v = 1", "while (false) {}", "throw 1", "return 5", "{ c; }"):
            got = front.evaluate("app.js", "add", forbidden)
            check(got.startswith("#EVAL ERROR: CODE=1860, "), "%s: %r" % (forbidden, got))
        got = front.evaluate("app.js", "add", "c +")
        check(got.startswith("#PARSE ERROR: CODE="), "parse error: %r" % got)
        front.send(b"Eapp.js:add:0:0 no semicolon")
        equal(protocol.text(front.receive()), "#式のフォーマット不正(Eapp.js:add:0:0 no semicolon)", "no ';'")
        # commands naming no module of the run, and unknown ones, are ignored
        front.send(b"Enope.js:add:0:0;c")
        front.send(b"Bnope.js:3:")
        front.send(b"Zsomething")
        equal(front.evaluate("app.js", "add", "c = c * 100"), "=300", "an assignment")
        front.step(protocol.STEP_RUN)
        stop_at(front, "app.js:3 add")
        front.step(protocol.STEP_RUN)
        equal(front.next_stop(), None, "stop")
        response = case.request.finish()
        # The assignment changed what the first call returned: 300 + 10.
        equal(response.values(), {"y": 310}, "values")


def test_evaluation_result_too_long():
    source = ("function main() {\n"
              "    var exact = \"\";\n"
              "    for (var i = 0; i < 16364; i++) exact += \"x\";\n"
              "    var over = exact + \"y\";\n"
              "    sendToFront(\"n\", over.length);\n"
              "}\n")
    with Case(sources={"app.js": source}) as case:
        front = case.connect(lists(lines=[5]), text=source)
        stop_at(front, "app.js:5 main")
        equal(front.evaluate("app.js", "main", "exact"), "=" + "x" * 16364, "16364 bytes")
        equal(front.evaluate("app.js", "main", "over"), "#ERROR: 評価結果の文字列が長すぎます。", "16365 bytes")
        front.step(protocol.STEP_RUN)
        equal(front.next_stop(), None, "stop")
        equal(case.request.finish().values(), {"n": 16365}, "values")


# ---- module texts -------------------------------------------------------------------------


def test_module_text_from_the_front_end_and_fallback():
    supplied = "function main() { sendToFront(\"from\", \"front end\"); }\n"
    with Case(sources={"app.js": APP, "lib.js": "var lib = \"file\";\n"},
              request_body=body(top_call("main()"), modules("lib.js", "app.js"))) as case:
        front = case.request.accept()
        front.serve("lib.js")  # "&&&&": the file
        front.serve("app.js", supplied, protocol.NOT_AVAILABLE)
        equal(front.receive(), b"X", "end")
        equal(case.request.finish().values(), {"from": "front end"}, "values")


def test_compiled_image_from_the_front_end():
    import subprocess
    import tempfile
    folder = tempfile.mkdtemp()
    source = os.path.join(folder, "app.js")
    image = os.path.join(folder, "app.jo")
    with open(source, "w") as handle:
        handle.write("function main() {\n    var v = \"compiled\";\n    sendToFront(\"from\", v);\n}\n")
    subprocess.run([ARGS.kova_compile, source, image], check=True)
    with open(image, "rb") as handle:
        data = handle.read()
    with Case() as case:
        front = case.request.accept()
        front.serve("app.js", image=data, lists=lists(lines=[3]))
        stop_at(front, "app.js:3 main")
        equal(front.evaluate("app.js", "main", "v"), "=compiled", "v")
        front.step(protocol.STEP_RUN)
        equal(front.next_stop(), None, "stop")
        equal(case.request.finish().values(), {"from": "compiled"}, "values")
    subprocess.run(["rm", "-rf", folder], check=False)


def test_no_module_fetch_with_an_l_record():
    with Case(request_body=app_request("main()", b"L")) as case:
        front = case.request.accept()
        equal(front.receive(), b'L"x="3', "first message (no M)")
        equal(front.receive(), b"X", "end")
        equal(case.request.finish().values(), {"y": 13}, "values")


# ---- the end of a run, failures ------------------------------------------------------------


def test_step_0_ends_the_run_with_1855():
    # inside a try: the end is not the script's to catch
    source = APP.replace("var x = add(1, 2);", "try { var x = add(1, 2); } catch (e) { sendToFront(\"caught\", e.name); }")
    with Case(sources={"app.js": source}) as case:
        front = case.connect(lists(lines=[2]), text=source)
        stop_at(front, "app.js:2 add")
        front.step(protocol.STEP_END)
        equal(front.receive(), b"X", "goodbye")
        response = case.request.finish()
        error = response.error()
        check(error is not None and error[0] == "1855" and error[1].endswith(": デバッグ終了"), "error %r" % (error,))
        equal(response.values(), {}, "values")


def test_front_end_closing_at_a_stop_is_1850():
    with Case() as case:
        front = case.connect(lists(lines=[2]))
        stop_at(front, "app.js:2 add")
        front.close()
        response = case.request.finish()
        error = response.error()
        check(error is not None and error[0] == "1850" and error[1].endswith(": ソケット通信不正"), "error %r" % (error,))


def test_front_end_silent_at_a_stop():
    with Case(env={"KOVA_DEBUG_COMMAND_WAIT_MS": "1500"}) as case:
        front = case.connect(lists(lines=[2]))
        stop_at(front, "app.js:2 add")
        response = case.request.finish(timeout=30)
        error = response.error()
        check(error is not None and error[0] == "1850", "error %r" % (error,))
        check(1.4 <= case.request.elapsed <= 10, "ended after %.1f s" % case.request.elapsed)


def test_front_end_that_never_answers():
    # No acknowledgement of the M message: after the 10 s reply wait the
    # fetch gives up, the module comes from its file and the run goes on
    # without a debugger.
    with Case() as case:
        front = case.request.accept()
        started = time.monotonic()
        equal(front.channel._read(9, time.monotonic() + 5), b"B7Mapp.js", "M message")
        response = case.request.finish(timeout=40)
        waited = time.monotonic() - started
        check(9.5 <= waited <= 25, "gave up after %.1f s" % waited)
        equal(response.values(), {"y": 13}, "values")
        front.channel.sock.settimeout(1)
        equal(front.channel.sock.recv(100), b"", "no goodbye on a given-up connection")


def test_malformed_input_from_the_front_end():
    # At a stop: a bad length prefix, a body cut short by a close, and a
    # wrong acknowledgement all end the request with 1850, never a crash.
    for name, act in (("bad prefix", lambda f: f.channel.sock.sendall(b"Zjunk")),
                      ("short body", lambda f: (f.channel.sock.sendall(b"C99STEP"), f.channel.sock.shutdown(1))),
                      ("digits", lambda f: f.channel.sock.sendall(b"C1xSTEP1"))):
        with Case() as case:
            front = case.connect(lists(lines=[2]))
            stop_at(front, "app.js:2 add")
            act(front)
            error = case.request.finish().error()
            check(error is not None and error[0] == "1850", "%s: %r" % (name, error))
    with Case() as case:
        front = case.connect(lists(lines=[2]))
        got = front.channel._read(len(b"Sapp.js:main:10:16;app.js:add:2:5") + 3, time.monotonic() + 10)
        equal(got, b"C33Sapp.js:main:10:16;app.js:add:2:5", "stop message")
        front.channel.sock.sendall(b"C34")  # one more than the body's length
        error = case.request.finish().error()
        check(error is not None and error[0] == "1850", "wrong acknowledgement: %r" % (error,))
    # Lists that do not follow the form are read as far as they do.
    for text in (b"", b"T", b"\x00###", b"Tx:y;###B2:junk3:$$$b", b"T###Bnot lines$$$b2:", b"T###B$$$b2:n == ;"):
        with Case() as case:
            front = case.connect(text)
            # add is called twice: two stops when line 2 was read
            for _ in range(2 if b"B2:" in text else 0):
                stop_at(front, "app.js:2 add")
                front.step(protocol.STEP_RUN)
            equal(front.next_stop(), None, "stop with lists %r" % text)
            equal(case.request.finish().values(), {"y": 13}, "values with lists %r" % text)
    # A compiled image that is not Base64 or not an image: the loader's 1165.
    for image_text in (b"o!!!!", b"oAAAA", b"o"):
        with Case() as case:
            front = case.request.accept()
            front.expect(b"Mapp.js")
            front.send(image_text)
            front.send(protocol.NOT_AVAILABLE)
            error = case.request.finish().error()
            check(error is not None and error[0] == "1165", "image %r: %r" % (image_text, error))


TESTS = [value for name, value in sorted(globals().items()) if name.startswith("test_")]


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--kova", required=True)
    parser.add_argument("--kova-dbg", required=True)
    parser.add_argument("--kova-compile", required=True)
    parser.add_argument("names", nargs="*", help="run only the tests whose names contain one of these")
    ARGS = parser.parse_args()
    passed = failed = 0
    for test in TESTS:
        if ARGS.names and not any(n in test.__name__ for n in ARGS.names):
            continue
        try:
            test()
            passed += 1
            print("PASS", test.__name__)
        except Exception:
            failed += 1
            print("FAIL", test.__name__)
            traceback.print_exc()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
