"""zek: bit-exact fixed-point automatic gain control for speech, on NumPy arrays.

zek.process(samples, sample_rate) levels a whole recording; zek.Stream levels
one given in chunks; zek.process_file(input, output) does what the zek tool
does with two files; zek.loudness(samples, sample_rate) and zek.LoudnessMeter
measure integrated loudness, loudness range and true peak. See
help(zek.process), help(zek.Stream), help(zek.process_file) and
help(zek.loudness).
"""
from . import _zek
from ._zek import LoudnessMeter, Stream

__all__ = ["LoudnessMeter", "Stream", "loudness", "process", "process_file"]


# Python functions around the extension's, so that they pickle by name and
# go to other processes: Dask's and multiprocessing's workers.
def process(samples, sample_rate, out=None, speech=False, comp=1.0, link=False, true_peak=None):
    return _zek.process(samples, sample_rate, out, speech=speech, comp=comp, link=link, true_peak=true_peak)


def process_file(input, output, speech=False, comp=1.0, link=False, target=None, true_peak=None):
    return _zek.process_file(input, output, speech=speech, comp=comp, link=link, target=target, true_peak=true_peak)


def loudness(samples, sample_rate):
    return _zek.loudness(samples, sample_rate)


process.__doc__ = _zek.process.__doc__
process_file.__doc__ = _zek.process_file.__doc__
loudness.__doc__ = _zek.loudness.__doc__
