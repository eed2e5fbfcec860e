"""zek: bit-exact fixed-point automatic gain control for speech, on NumPy arrays.

zek.process(samples, sample_rate) levels a whole recording; zek.Stream levels
one given in chunks; zek.process_file(input, output) does what the zek tool
does with two files. See help(zek.process), help(zek.Stream) and
help(zek.process_file).
"""
from . import _zek
from ._zek import Stream

__all__ = ["Stream", "process", "process_file"]


# Python functions around the extension's, so that they pickle by name and
# go to other processes: Dask's and multiprocessing's workers.
def process(samples, sample_rate, out=None, speech=False, comp=1.0, link=False):
    return _zek.process(samples, sample_rate, out, speech=speech, comp=comp, link=link)


def process_file(input, output, speech=False, comp=1.0, link=False):
    return _zek.process_file(input, output, speech=speech, comp=comp, link=link)


process.__doc__ = _zek.process.__doc__
process_file.__doc__ = _zek.process_file.__doc__
