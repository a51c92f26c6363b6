"""`python -m corvane` is the `corvane` command."""

import sys

from corvane.cli import main

if __name__ == "__main__":
    sys.exit(main())
