"""What the command-line tools share: one-line errors and exit statuses."""

import sys

from .matfile import MatFileError
from .results import ResultsError


def run(prog: str, main, argv=None) -> int:
    """Runs `main(argv)` and returns its exit status. A bad input file or a
    failed write becomes one line "prog: error: ..." on standard error and
    status 1."""
    try:
        return main(argv)
    except (ResultsError, MatFileError) as error:
        message = str(error)
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        message = f"{where}{error.strerror or error}"
    print(f"{prog}: error: {message}", file=sys.stderr)
    return 1


def check_labels(parser, labels, paths) -> None:
    """Exits through `parser` (status 2) unless `labels` is None or has one
    entry per path."""
    if labels is not None and len(labels) != len(paths):
        parser.error(f"{len(labels)} labels for {len(paths)} results files; "
                     "give one --label per file or none")
