"""``python -m _vorpel``: the command line front end (see ``_vorpel.cli``)."""

from _vorpel.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
