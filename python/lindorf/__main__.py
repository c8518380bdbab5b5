"""`python -m lindorf` and the `lindorf` console script; see lindorf.cli."""

from lindorf.cli.main import main

if __name__ == "__main__":
    main()
