"""tolvane's own splitting of a Windows command line, by the rules of
Microsoft's current C run-time, run on the splitting function itself: Wine's
msvcrt follows those rules, Windows' msvcrt.dll does not (doubled quotes),
so only this shows what tolvane does on Windows.  The same table runs
natively and, built for Windows, under Wine."""

import os
import subprocess

import pytest

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


@pytest.fixture(scope="module")
def split(request, platform, tmp_path_factory):
    program = request.config.getoption("--test-programs") / ("split_command_line" + (
        ".exe" if platform.name == "windows" else ""))
    folder = tmp_path_factory.mktemp("split")

    def run(line, *capacity):
        encoded = line.encode("utf-16-be").hex()
        # Wine's helpers outlive the program and hold its pipes: output goes to a file.
        with open(folder / "out", "wb") as out:
            status = subprocess.run([*platform.launcher, str(program), encoded or "", *map(str, capacity)],
                                    stdin=subprocess.DEVNULL, stdout=out, env={**os.environ, **platform.env},
                                    timeout=60).returncode
        assert status == 0
        count, *arguments = (folder / "out").read_text().splitlines()
        return int(count), [bytes.fromhex(argument).decode("utf-16-be") for argument in arguments]
    return run


@pytest.mark.parametrize("line,arguments", ARGUMENTS.values(), ids=ARGUMENTS.keys())
def test_arguments(split, line, arguments):
    assert split("t.exe " + line) == (1 + len(arguments), ["t.exe", *arguments])


@pytest.mark.parametrize("line,program,arguments", PROGRAM_NAMES.values(), ids=PROGRAM_NAMES.keys())
def test_program_name(split, line, program, arguments):
    assert split(line) == (1 + len(arguments), [program, *arguments])


@pytest.mark.parametrize("capacity", [0, 1, 3])
def test_arguments_beyond_the_capacity_are_counted_not_kept(split, capacity):
    arguments = ["t.exe", "a", "b c", "d", "e"]
    assert split('t.exe a "b c" d e', capacity) == (5, arguments[:capacity])
