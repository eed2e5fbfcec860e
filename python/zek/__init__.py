"""zek: bit-exact fixed-point automatic gain control for speech, on NumPy arrays.

zek.process(samples, sample_rate) levels a whole recording; zek.Stream levels
one given in chunks; zek.process_file(input, output) does what the zek tool
does with two files; zek.level_files(pairs) many files at once, on threads,
with the zek tool's records, which zek.Manifest keeps as the tool does. See
help(zek.process), help(zek.Stream), help(zek.process_file),
help(zek.level_files), help(zek.find_inputs) and help(zek.Manifest).
"""
from . import _zek
from ._zek import Stream
from .manifest import Manifest

__all__ = ["Manifest", "Stream", "find_inputs", "level_files", "process", "process_file"]


# Python functions around the extension's, so that they pickle by name and
# go to other processes: Dask's and multiprocessing's workers.
def process(samples, sample_rate, out=None, speech=False, comp=1.0, link=False):
    return _zek.process(samples, sample_rate, out, speech=speech, comp=comp, link=link)


def process_file(input, output, speech=False, comp=1.0, link=False):
    return _zek.process_file(input, output, speech=speech, comp=comp, link=link)


def level_files(pairs, speech=False, comp=1.0, link=False, format=None, jobs=None, previous=None):
    return _zek.level_files(pairs, speech=speech, comp=comp, link=link, format=format, jobs=jobs, previous=previous)


def find_inputs(*inputs, format=None):
    return _zek.find_inputs(inputs, format=format)


process.__doc__ = _zek.process.__doc__
level_files.__doc__ = _zek.level_files.__doc__
find_inputs.__doc__ = _zek.find_inputs.__doc__
process_file.__doc__ = _zek.process_file.__doc__
