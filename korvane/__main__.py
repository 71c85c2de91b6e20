"""python -m korvane: inspect documents (dis, check, stats) or run the demo."""

import sys

from korvane._cli import main

if __name__ == "__main__":
    sys.exit(main())
