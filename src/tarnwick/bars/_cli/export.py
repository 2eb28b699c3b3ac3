"""``export``: a bar file as Parquet, CSV or a Parquet dataset partitioned by ticker."""

from __future__ import annotations

import argparse
from typing import TextIO

from .._export import export, format_for
from .._file import read
from .options import Commands, add_force, add_kind, add_window, add_zone, check_output, kind, window


def add(commands: Commands) -> None:
    command = commands.add_parser(
        "export", help="export a bar file to Parquet, CSV or a Parquet dataset",
        description="Export a bar file as a table (see the README for its columns): Parquet (.parquet, .pq), "
                    "CSV (.csv) or, for a name without a suffix, a Parquet dataset directory partitioned by "
                    "ticker (ticker=XYZ/...).")
    command.add_argument("input", metavar="IN.bars")
    command.add_argument("output", metavar="OUT")
    command.add_argument("--format", choices=("parquet", "csv", "dataset"),
                         help="the format (default: by OUT's suffix)")
    add_kind(command, "for a file without a header: ")
    add_zone(command)
    add_window(command)
    add_force(command)
    command.set_defaults(run=run)


def run(arguments: argparse.Namespace, out: TextIO) -> int:
    chosen = arguments.format or format_for(arguments.output)
    check_output(arguments.output, "directory" if chosen == "dataset" else "file", arguments,
                 inputs=(arguments.input,))
    with read(arguments.input, kind(arguments)) as bars:
        count = export(window(bars, arguments), arguments.output, format=chosen, tz=arguments.tz)
        print(f"{arguments.output}: {count} {bars.kind} bars as {chosen}", file=out)
    return 0
