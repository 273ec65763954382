"""The assertions the Python test drivers share: each failed check raises
Failure with what was checked and, for comparisons, both values."""


class Failure(AssertionError):
    pass


def expect(condition, what):
    if not condition:
        raise Failure(what)


def expect_equal(actual, expected, what):
    if actual != expected:
        raise Failure("%s\n  expected: %r\n  actual:   %r" % (what, expected, actual))
