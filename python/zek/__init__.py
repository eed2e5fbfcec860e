"""zek: bit-exact fixed-point automatic gain control for speech, on NumPy arrays.

zek.process(samples, sample_rate) levels a whole recording; zek.Stream levels
one given in chunks; zek.process_file(input, output) does what the zek tool
does with two files; zek.level_files(pairs) many files at once, on threads,
with the zek tool's records, which zek.Manifest keeps as the tool does;
zek.loudness(samples, sample_rate) and zek.LoudnessMeter measure integrated
loudness, loudness range and true peak. See help(zek.process),
help(zek.Stream), help(zek.process_file), help(zek.level_files),
help(zek.find_inputs), help(zek.Manifest) and help(zek.loudness).
"""
from . import _zek
from ._zek import LoudnessMeter, Stream
from .manifest import Manifest

__all__ = ["LoudnessMeter", "Manifest", "Stream", "find_inputs", "level_files", "loudness", "process", "process_file"]


# Python functions around the extension's, so that they pickle by name and
# go to other processes: Dask's and multiprocessing's workers.
def process(samples, sample_rate, out=None, speech=False, comp=1.0, link=False, true_peak=None):
    return _zek.process(samples, sample_rate, out, speech=speech, comp=comp, link=link, true_peak=true_peak)


def process_file(input, output, speech=False, comp=1.0, link=False, target=None, true_peak=None):
    return _zek.process_file(input, output, speech=speech, comp=comp, link=link, target=target, true_peak=true_peak)


def loudness(samples, sample_rate):
    return _zek.loudness(samples, sample_rate)


def level_files(pairs, speech=False, comp=1.0, link=False, format=None, jobs=None, previous=None, target=None,
                true_peak=None, loudness=False):
    return _zek.level_files(pairs, speech=speech, comp=comp, link=link, format=format, jobs=jobs, previous=previous,
                            target=target, true_peak=true_peak, loudness=loudness)


def find_inputs(*inputs, format=None):
    return _zek.find_inputs(inputs, format=format)


process.__doc__ = _zek.process.__doc__
level_files.__doc__ = _zek.level_files.__doc__
find_inputs.__doc__ = _zek.find_inputs.__doc__
process_file.__doc__ = _zek.process_file.__doc__
loudness.__doc__ = _zek.loudness.__doc__
