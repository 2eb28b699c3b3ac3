"""``export``: bar files as one Parquet or CSV table, or a Parquet dataset partitioned by ticker."""

from __future__ import annotations

import argparse
from typing import TextIO

from .._bar_sets import input_paths, read_set
from .._export import export, format_for
from .options import Commands, add_force, add_kind, add_window, add_zone, check_output, kind, window


def add(commands: Commands) -> None:
    command = commands.add_parser(
        "export", help="export bar files to Parquet, CSV or a Parquet dataset",
        description="Export bar files as one table (see the README for its columns): Parquet (.parquet, .pq), "
                    "CSV (.csv) or, for a name without a suffix, a Parquet dataset directory partitioned by "
                    "ticker (ticker=XYZ/...).  A directory of bar files, or several files, make one table.")
    command.add_argument("inputs", nargs="+", metavar="IN", help="bar files, or directories of bar files")
    command.add_argument("output", metavar="OUT")
    command.add_argument("--format", choices=("parquet", "csv", "dataset"),
                         help="the format (default: by OUT's suffix)")
    command.add_argument("--append", action="store_true",
                         help="add the tickers' partitions to an existing dataset (with --force: replace the "
                              "partitions of tickers it holds)")
    add_kind(command, "for a file without a header: ")
    add_zone(command)
    add_window(command)
    add_force(command)
    command.set_defaults(run=run)


def run(arguments: argparse.Namespace, out: TextIO) -> int:
    chosen = arguments.format or format_for(arguments.output)
    if not arguments.append:  # an append checks the dataset it adds to itself
        check_output(arguments.output, "directory" if chosen == "dataset" else "file", arguments,
                     inputs=input_paths(arguments.inputs))
    with read_set(arguments.inputs, kind(arguments)) as files:
        count = export([window(bars, arguments) for bars in files], arguments.output, format=chosen,
                       append=arguments.append, force=arguments.force, tz=arguments.tz)
        added = " added" if arguments.append else ""
        print(f"{arguments.output}: {count} {files[0].kind} bars{added} as {chosen}", file=out)
    return 0
