"""Puts recordings made together by `mivoble record A B ... DIR/` onto one time axis, in MNE.

Every file holds clock notes "sample N at mono T": its sample N was taken at T seconds of the
host's monotonic clock, one note on the first sample and one every 10 s. Between the notes a
file's samples are placed evenly, so each sample gets its host time; this follows the
amplifier's own clock (amplifier clocks differ by tens of ppm: files recorded side by side drift
apart by milliseconds per minute) and absorbs an outage whose length the file could only
estimate. Each file's channels are then read at the same host instants, a common grid from the
latest first sample to the earliest last one, and gathered in one Raw, their BAD_ annotations
(outages, filled-in samples) with them.

    /usr/bin/python3 examples/align_recordings.py session/        # writes session/aligned_raw.fif
"""
import re
import sys
from pathlib import Path

import mne
import numpy as np

NOTE = re.compile(r"sample (\d+) at mono (\d+\.\d+)$")


def read(path):
    reader = mne.io.read_raw_bdf if str(path).lower().endswith(".bdf") else mne.io.read_raw_edf
    return reader(path, preload=True, infer_types=True, verbose="error")


def clock_notes(raw):
    """Sample numbers and their host times (monotonic seconds) from the file's clock notes."""
    notes = np.array([(int(m.group(1)), float(m.group(2)))
                      for text in raw.annotations.description if (m := NOTE.match(text))])
    if len(notes) == 0:
        raise ValueError(f"{raw.filenames[0]} has no clock notes: was it recorded together with others?")
    return notes[:, 0], notes[:, 1]


def host_times(samples, numbers, times, rate):
    """Host times of (fractional) sample numbers: even steps between notes, beyond them the nearest steps."""
    if len(numbers) == 1:
        return times[0] + (samples - numbers[0]) / rate
    at = np.interp(samples, numbers, times)
    before, after = samples < numbers[0], samples > numbers[-1]
    at[before] = times[0] + (samples[before] - numbers[0]) * (times[1] - times[0]) / (numbers[1] - numbers[0])
    at[after] = times[-1] + (samples[after] - numbers[-1]) * (times[-1] - times[-2]) / (numbers[-1] - numbers[-2])
    return at


def align(paths, rate=None):
    """One Raw with the channels of every file ("NAME ch1", ...) on one grid of `rate` Hz (default: the lowest)."""
    raws = {Path(p).stem: read(p) for p in paths}
    rate = rate or min(raw.info["sfreq"] for raw in raws.values())
    clocks = {name: (*clock_notes(raw), raw.info["sfreq"]) for name, raw in raws.items()}
    ends = {name: host_times(np.array([0, raw.n_times - 1]), *clocks[name]) for name, raw in raws.items()}
    start, end = max(e[0] for e in ends.values()), min(e[1] for e in ends.values())
    grid = start + np.arange(int((end - start) * rate) + 1) / rate  # host seconds

    data, names, types = [], [], []
    onsets, durations, texts = [], [], []
    for name, raw in raws.items():
        # Host time of a moment of the file, given in seconds of the file.
        host = lambda seconds: host_times(np.atleast_1d(seconds) * raw.info["sfreq"], *clocks[name])
        notes = [(a["onset"], a["duration"], a["description"]) for a in raw.annotations]
        if raw.info["sfreq"] != rate:
            raw.resample(rate)  # low-passed first, so that the faster file does not alias
        times = host(raw.times)
        for channel, values in zip(raw.ch_names, raw.get_data()):
            data.append(np.interp(grid, times, values))
            names.append(f"{name} {channel}")
            types.append(raw.get_channel_types([channel])[0])
        for onset, duration, text in notes:
            if NOTE.match(text):
                continue
            begins, ends_at = host([onset, onset + duration])
            onsets.append(begins - start)
            durations.append(ends_at - begins)
            texts.append(f"{text} ({name})")  # BAD_ stays in front: MNE still leaves these spans out

    aligned = mne.io.RawArray(np.array(data), mne.create_info(names, rate, types), verbose="error")
    aligned.set_annotations(mne.Annotations(onsets, durations, texts))
    return aligned


if __name__ == "__main__":
    folder = Path(sys.argv[1])
    files = sorted(p for p in folder.iterdir() if p.suffix.lower() in (".bdf", ".edf"))
    aligned = align(files)
    aligned.save(folder / "aligned_raw.fif", overwrite=True, verbose="error")
    print(f"{len(files)} files: {aligned.n_times / aligned.info['sfreq']:.2f} s in common, "
          f"{len(aligned.ch_names)} channels at {aligned.info['sfreq']:g} Hz in {folder / 'aligned_raw.fif'}")
    for path in files:
        numbers, times = clock_notes(read(path))
        line = f"{path.stem}: first sample at {times[0]:.6f} s of the host's monotonic clock"
        if len(numbers) > 1:
            line += f", {(numbers[-1] - numbers[-2]) / (times[-1] - times[-2]):.4f} samples per host second lately"
        print(line)
