"""Command line of the package: ``python3 -m mivo_ble plot NAME --seconds 5 -o eeg.png``."""

from __future__ import annotations

import argparse
import sys
import time
from typing import List, Optional

import numpy

from mivo_ble.lib.mivo_ble_wrapper import MivoBLEWrapper
from mivo_ble.plot import plot_rows


def _plot(args: argparse.Namespace) -> int:
    try:
        amp = MivoBLEWrapper(args.name)
    except ValueError as error:
        print(f"mivo_ble plot: {error}", file=sys.stderr)
        return 1
    try:
        amp.start_buffer(seconds=args.seconds + 5)
        deadline = time.monotonic() + args.seconds
        wanted = int(round(args.seconds * amp.layout.sampling_rate))
        rows = []
        count = 0
        while count < wanted:
            left = deadline - time.monotonic()
            _, data = amp.read(max_rows=wanted - count, timeout=max(left, 0.0) + 1.0)
            if len(data) == 0 and left < -5.0:
                break
            rows.append(data)
            count += len(data)
        data = numpy.concatenate(rows) if rows else numpy.empty((0, 0), dtype=numpy.float32)
        if not len(data):
            print("mivo_ble plot: no samples arrived", file=sys.stderr)
            return 1
        layout = amp.layout
        plot_rows(data, layout.sampling_rate, layout.channel_types, args.output,
                  title=f"{args.name}, {len(data)} rows at {layout.sampling_rate} Hz")
        print(f"{args.output}: {len(data)} rows, {data.shape[1] - 2} channels")
        return 0
    finally:
        amp.close()
        MivoBLEWrapper.shutdown()


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m mivo_ble", description="Tools of the mivo_ble package.")
    commands = parser.add_subparsers(dest="command", required=True)
    plot = commands.add_parser("plot", help="record a few seconds and draw the channels as stacked traces")
    plot.add_argument("name", help="serial number of the amplifier, e.g. MV-2401.00.01")
    plot.add_argument("--seconds", type=float, default=5.0, help="how long to record (default 5)")
    plot.add_argument("-o", "--output", default="eeg.png", help="picture file to write (default eeg.png)")
    args = parser.parse_args(argv)
    if not args.seconds > 0:
        parser.error("--seconds must be positive")
    return _plot(args)


if __name__ == "__main__":
    sys.exit(main())
