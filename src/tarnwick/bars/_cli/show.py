"""``show``: the summary of a bar file or a set of them, and a chart of a file's last bars."""

from __future__ import annotations

import argparse
from typing import TextIO

from .._bar_sets import input_paths
from .._operations import show
from .options import (Commands, add_force, add_kind, add_window, add_zone, check_output, check_plotting, kind,
                      positive)


def add(commands: Commands) -> None:
    command = commands.add_parser("show", help="summarise bar files",
                                  description="Summarise a bar file, or each of a set of them (a directory, or "
                                              "several files).")
    command.add_argument("files", nargs="+", metavar="FILE.bars", help="bar files, or directories of bar files")
    command.add_argument("--head", type=positive, default=5, metavar="N",
                         help="how many bars to print from each end (default 5)")
    add_kind(command, "for a file without a header: ")
    add_zone(command)
    add_window(command)
    command.add_argument("--plot", metavar="CHART.png", help="draw a candlestick chart with a volume panel")
    command.add_argument("--plot-bars", type=positive, default=120, metavar="N",
                         help="how many of the last bars the chart shows (default 120); more than 2000 are "
                              "resampled into at most 2000 candles")
    add_force(command, "replace an existing chart")
    command.set_defaults(run=run)


def run(arguments: argparse.Namespace, out: TextIO) -> int:
    if arguments.plot is not None:
        check_plotting()
        check_output(arguments.plot, "file", arguments, inputs=input_paths(arguments.files))
    show(arguments.files, head=arguments.head, kind=kind(arguments), plot_path=arguments.plot,
         plot_bars=arguments.plot_bars, out=out, tz=arguments.tz, start=arguments.start, end=arguments.end)
    return 0
