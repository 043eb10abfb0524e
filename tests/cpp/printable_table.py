"""Writes Python's view of every code point for the C++ text tests.

Usage: printable_table.py OUTPUT

OUTPUT starts with one line "unicode <version>\\n" (the version of Python's
character database), followed by one byte per code point from U+0000 to
U+10FFFF: bit 0 set when str.isprintable() holds for the character alone,
bit 1 set when its general category is Cn (unassigned).
"""

import sys
import unicodedata


def main() -> None:
    table = bytearray(0x110000)
    for code_point in range(0x110000):
        character = chr(code_point)
        table[code_point] = (character.isprintable()) | (
            unicodedata.category(character) == "Cn"
        ) << 1
    with open(sys.argv[1], "wb") as out:
        out.write(f"unicode {unicodedata.unidata_version}\n".encode())
        out.write(table)


if __name__ == "__main__":
    main()
