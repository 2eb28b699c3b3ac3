"""``show``: a bar file's summary, and a chart of its last bars."""

from __future__ import annotations

import argparse
from typing import TextIO

from .._operations import show
from .options import (Commands, add_force, add_kind, add_window, add_zone, check_output, check_plotting, kind,
                      positive)


def add(commands: Commands) -> None:
    command = commands.add_parser("show", help="summarise a bar file", description="Summarise a bar file.")
    command.add_argument("file", metavar="FILE.bars")
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
        check_output(arguments.plot, "file", arguments, inputs=(arguments.file,))
    show(arguments.file, head=arguments.head, kind=kind(arguments), plot_path=arguments.plot,
         plot_bars=arguments.plot_bars, out=out, tz=arguments.tz, start=arguments.start, end=arguments.end)
    return 0
