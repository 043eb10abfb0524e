"""Command line of karvel (placeholder until the real commands land)."""

import sys

USAGE = "usage: karvel info PATH.d"


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    print(USAGE)
    return 0 if args in ([], ["--help"], ["-h"]) else 2


if __name__ == "__main__":
    sys.exit(main())
