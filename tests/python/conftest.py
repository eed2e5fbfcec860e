import os

# A sanitizer build preloads its runtime into Python (tests/python_test.sh);
# the programs the tests start carry their own.
os.environ.pop("LD_PRELOAD", None)
