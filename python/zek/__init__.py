"""zek: bit-exact fixed-point automatic gain control for speech, on NumPy arrays.

zek.process(samples, sample_rate) levels a whole recording; zek.Stream levels
one given in chunks. See help(zek.process) and help(zek.Stream).
"""
from ._zek import Stream, process

__all__ = ["Stream", "process"]
