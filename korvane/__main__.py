"""Command line entry: python -m korvane demo."""

import sys

import korvane


def main(argv=None):
    print(f"korvane {korvane.__version__}")
    data = {"a": [1, 1]}
    blob = korvane.dumps(data)
    print(blob.hex(" "))
    print(korvane.loads(blob))
    return 0


if __name__ == "__main__":
    sys.exit(main())
