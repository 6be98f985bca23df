"""tolvane's own splitting of a Windows command line, by the rules of
Microsoft's current C run-time, run on the splitting function itself: Wine's
msvcrt follows those rules, Windows' msvcrt.dll does not (doubled quotes),
so only this shows what tolvane does on Windows.  The same table runs
natively and, built for Windows, under Wine.  Then the conversion of a name
to the ANSI code page, for code pages that Wine's own ANSI one (1252 here)
cannot show: the harness passes the code page itself."""

import pytest

from conftest import run_test_program

# (what follows "t.exe " on the command line, the arguments it gives)
ARGUMENTS = {
    # Microsoft's own examples
    "quoted-first": (r'"abc" d e', ["abc", "d", "e"]),
    "backslashes-and-inner-quotes": (r'a\\b d"e f"g h', [r"a\\b", "de fg", "h"]),
    "odd-backslashes-quote": (r'a\\\"b c d', [r'a\"b', "c", "d"]),
    "even-backslashes-quote": (r'a\\\\"b c" d e', [r"a\\b c", "d", "e"]),
    "doubled-quote-in-region": (r'a"b"" c d', ['ab" c d']),
    # doubled quotes: inside a region one quote, and the region stays open
    "doubled-quotes-in-a-name": (r'"Acme ""Best"" Corp" "Widget"', ['Acme "Best" Corp', "Widget"]),
    "doubled-quote-then-more": (r'"a""b" c', ['a"b', "c"]),
    "doubled-quote-then-close": (r'"x"""y z', ['x"y', "z"]),
    "four-quotes": ('""""', ['"']),
    "six-quotes": ('""""""', ['""']),
    "doubled-quote-outside-a-region": ('a""b', ["ab"]),
    "doubled-quote-ends-word": ('x"" y', ["x", "y"]),
    "twelve-quotes-outside": ('foo' + '"' * 12 + 'bar', ['foo' + '"' * 5 + 'bar']),
    "twelve-quotes-inside": ('"foo' + '"' * 12 + 'bar"', ['foo' + '"' * 6 + 'bar']),
    "blank-doubled-quote-blank": ('" "" "', [' " ']),
    # empty quoted arguments
    "one-empty": ('""', [""]),
    "two-empty": ('"" ""', ["", ""]),
    "empty-between": ('a "" b', ["a", "", "b"]),
    # backslashes
    "escaped-quotes": (r'a\"b\"\"c', ['a"b""c']),
    "even-backslashes-open-a-region": (r'\\"a b"', [r"\a b"]),
    "trailing-backslashes": ('a\\ b\\\\ c\\\\\\ ', ["a\\", "b\\\\", "c\\\\\\"]),
    "trailing-backslash-at-end": ('a\\', ["a\\"]),
    "backslashes-in-a-region": (r'"C:\dir\sub\\" x', ["C:\\dir\\sub\\", "x"]),
    "escaped-quote-and-backslash": (r'"ab\"c" "\\" d', ['ab"c', "\\", "d"]),
    # regions and separators
    "region-inside-a-word": ('"a"b"c"d', ["abcd"]),
    "unterminated": ('"unterminated', ["unterminated"]),
    "unterminated-after-blank": ('a "b c ', ["a", "b c "]),
    "tabs-and-blanks": ('\tA\t B', ["A", "B"]),
    "tab-in-a-region": ('"a\tb" c', ["a\tb", "c"]),
    # only blanks and tabs separate
    "newline-inside": ("a\nb c", ["a\nb", "c"]),
    "vertical-tab-and-form-feed-inside": ("a\vb\fc d", ["a\vb\fc", "d"]),
    "carriage-return-inside": ("a\rb", ["a\rb"]),
    "trailing-blanks": ("a b   \t", ["a", "b"]),
    "nothing-but-blanks": ("   ", []),
    "nothing": ("", []),
    "plain-characters": ("^a^ \"^b\" %PATH% *.dll ?", ["^a^", "^b", "%PATH%", "*.dll", "?"]),
    # characters beyond ASCII are never quotes or separators
    "fullwidth-quotation-mark": ('"Acme\uff02 Evil" Widget', ["Acme\uff02 Evil", "Widget"]),
    "ideographic-and-no-break-spaces": ("a\u3000b c\u00a0d", ["a\u3000b", "c\u00a0d"]),
    "outside-the-basic-plane": ("\U0001F600 \u682a\u5f0f", ["\U0001F600", "\u682a\u5f0f"]),
}

# (the whole command line, the program name, the arguments)
PROGRAM_NAMES = {
    "quoted-path-with-blanks": (r'"C:\Program Files\Acme\tolvane.exe" Acme Widget',
                                r"C:\Program Files\Acme\tolvane.exe", ["Acme", "Widget"]),
    "text-after-closing-quote": ('"tolvane.exe"Acme Widget', "tolvane.exeAcme", ["Widget"]),
    "plain-path": (r'C:\dir\tolvane.exe "a b"', r"C:\dir\tolvane.exe", ["a b"]),
    "backslash-before-quote-is-plain": (r'"C:\dir\"x y', "C:\\dir\\x", ["y"]),
    "doubled-quote-is-no-escape": ('"t""x y" z', "tx y", ["z"]),
    "unterminated-name": ('"C:\\a b', "C:\\a b", []),
    "tab-ends-the-name": ("t.exe\tA", "t.exe", ["A"]),
    "empty-line": ("", "", []),
    "leading-blank": (" a b", "", ["a", "b"]),
}


# (a command line with no more arguments than it says, the capacity)
CAPACITY_LINE = 't.exe a "b c" d e'
CAPACITY_ARGUMENTS = ["t.exe", "a", "b c", "d", "e"]
CAPACITIES = [0, 1, 3, 4]


def run_harness(request, platform, tmp_path_factory, name, cases):
    """Runs one harness on all its cases at once, in one process: (status, the lines it printed)."""
    folder = tmp_path_factory.mktemp(name)
    (folder / "cases").write_text("".join(f"{first} {second.encode('utf-16-be', 'surrogatepass').hex()}\n"
                                          for first, second in cases))
    status, out, err = run_test_program(request, platform, folder, name, "cases")
    lines = out.decode().splitlines()
    assert (status, len(lines)) == (0, len(cases)), err.decode()
    return dict(zip(cases, lines))


@pytest.fixture(scope="module")
def split(request, platform, tmp_path_factory):
    """The splitter's result for each command line of the tables, with all
    the room it needs or with a given capacity: (count, arguments kept)."""
    cases = ([("all", "t.exe " + line) for line, _ in ARGUMENTS.values()]
             + [("all", line) for line, _, _ in PROGRAM_NAMES.values()]
             + [(capacity, CAPACITY_LINE) for capacity in CAPACITIES])
    results = run_harness(request, platform, tmp_path_factory, "split_command_line", cases)

    def result(line, capacity="all"):
        count, *arguments = results[(capacity, line)].split(" ")
        return int(count), [bytes.fromhex(argument[1:]).decode("utf-16-be") for argument in arguments]
    return result


@pytest.mark.parametrize("line,arguments", ARGUMENTS.values(), ids=ARGUMENTS.keys())
def test_arguments(split, line, arguments):
    assert split("t.exe " + line) == (1 + len(arguments), ["t.exe", *arguments])


@pytest.mark.parametrize("line,program,arguments", PROGRAM_NAMES.values(), ids=PROGRAM_NAMES.keys())
def test_program_name(split, line, program, arguments):
    assert split(line) == (1 + len(arguments), [program, *arguments])


@pytest.mark.parametrize("capacity", CAPACITIES)
def test_arguments_beyond_the_capacity_are_counted_not_kept(split, capacity):
    assert split(CAPACITY_LINE, capacity) == (5, CAPACITY_ARGUMENTS[:capacity])


# (code page, name, its bytes in that code page, or None where it is refused)
CONVERSIONS = {
    "1252-e-acute": (1252, "Caf\u00e9", b"Caf\xe9"),
    "1252-right-single-quotation-mark": (1252, "Widget\u2019s", b"Widget\x92s"),
    "1252-euro-sign": (1252, "\u20ac 5", b"\x80 5"),
    "1252-decomposed": (1252, "Cafe\u0301", b"Caf\xe9"),
    "1252-decomposed-without-a-composition": (1252, "q\u0301", None),
    "1252-letter-with-macron": (1252, "\u0100cme", None),
    "1252-fullwidth-quotation-mark": (1252, "Acme\uff02", None),
    "1252-unpaired-surrogate": (1252, "a\ud800", None),
    # composition may make letters, not ASCII punctuation that the name does not hold
    "1252-kelvin-sign": (1252, "\u212a", b"K"),
    "1252-greek-question-mark": (1252, "Acme\u037eCorp", None),
    "1252-greek-varia": (1252, "Acme\u1fefCorp", None),
    "1252-greek-question-mark-beside-a-semicolon": (1252, "a;b\u037e", b"a;b;"),
    # each composes to three characters of code page 1255: the composition must fit the buffer
    "1255-composition-that-fits": (1255, "\ufb2c" * 10922, b"\xf9\xcc\xd1" * 10922),
    "1255-composition-one-character-too-long": (1255, "\ufb2c" * 10923, None),
    # a trail byte that is a backslash in ASCII passes exactly
    "932-second-byte-0x5c": (932, "\u8868", b"\x95\x5c"),
    "932-katakana": (932, "\u30a2\u30af\u30e1", b"\x83\x41\x83\x4e\x83\x81"),
    "932-e-acute": (932, "Caf\u00e9", None),
    # tone marks are combining characters: each letter composed as far as the code page holds it, the tone
    # mark after it (a longer name first: the next one must not keep its end); a name that passes as typed stays
    "1258-vowel-and-tone-marks": (1258, "C\u00f4ng ty Ph\u1ea7n m\u1ec1m", b"C\xf4ng ty Ph\xe2\xccn m\xea\xccm"),
    "1258-marks-in-the-other-order": (1258, "\u1ec7", b"\xea\xf2"),
    "1258-decomposed-horn-and-tone": (1258, "o\u031b\u0301", b"\xf5\xec"),
    # the acute may not pass the tilde (one class of marks): "e" takes neither
    "1258-marks-that-may-not-change-places": (1258, "\u1ebd\u0301", b"e\xde\xec"),
    "1258-decomposed": (1258, "e\u0301", b"e\xec"),
    "1258-e-acute": (1258, "\u00e9", b"\xe9"),
    "1258-neither-letter-nor-mark": (1258, "\u01ce", None),
    "65001-every-character": (65001, "\u682a\u5f0f \u00e9\u20ac", "\u682a\u5f0f \u00e9\u20ac".encode()),
    "65001-outside-the-basic-plane": (65001, "\U0001F600", b"\xf0\x9f\x98\x80"),
    "65001-decomposed-stays": (65001, "e\u0301", b"e\xcc\x81"),
    "65001-unpaired-surrogate": (65001, "a\udc00", None),
}


@pytest.fixture(scope="module")
def convert(request, platform, tmp_path_factory):
    if platform.name != "windows":
        pytest.skip("code pages are Windows'")
    cases = [(code_page, name) for code_page, name, _ in CONVERSIONS.values()]
    results = run_harness(request, platform, tmp_path_factory, "convert_name", cases)
    return lambda code_page, name: None if results[(code_page, name)] == "refused" else bytes.fromhex(
        results[(code_page, name)])


@pytest.mark.parametrize("code_page,name,converted", CONVERSIONS.values(), ids=CONVERSIONS.keys())
def test_a_name_is_converted_exactly_or_refused(convert, code_page, name, converted):
    assert convert(code_page, name) == converted
