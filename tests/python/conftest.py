import os

# A sanitizer build preloads its runtime into Python (tests/python_test.sh);
# the programs the tests start carry their own.
# Python processes the tests start themselves (Dask's workers) need it back.
if "LD_PRELOAD" in os.environ:
    os.environ["ZEK_SANITIZER_PRELOAD"] = os.environ.pop("LD_PRELOAD")
