import pathlib
import sys

# The model used as the oracle lives beside the tests.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
