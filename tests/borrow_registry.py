"""The borrow registry that kestrovane's first array call publishes on NumPy's
multiarray module, driven through ctypes as another native module would."""

import ctypes
import importlib

import numpy as np

NAME = "_KESTROVANE_BORROW_CHECKING_API"

_ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
_RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class _Record(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("table", ctypes.c_void_p),
        ("acquire_read", _ACQUIRE),
        ("acquire_exclusive", _ACQUIRE),
        ("release_read", _RELEASE),
        ("release_exclusive", _RELEASE),
    ]


def multiarray_name():
    """NumPy's multiarray module: under numpy._core from NumPy 2 on."""
    major = np.lib.NumpyVersion(np.__version__).major
    return "numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray"


class Registry:
    """Raises AttributeError until an array call has published the registry."""

    def __init__(self):
        capsule = getattr(importlib.import_module(multiarray_name()), NAME)
        get = ctypes.pythonapi.PyCapsule_GetPointer
        get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
        self.api = _Record.from_address(get(capsule, NAME.encode()))

    @property
    def version(self):
        return self.api.version

    def exclusive(self, array):
        """0, -1 when another borrow overlaps, -2 when the array is read-only."""
        return self.api.acquire_exclusive(self.api.table, array)

    def release(self, array):
        self.api.release_exclusive(self.api.table, array)

    def is_free(self, array):
        """No borrow of the array's memory is left behind."""
        if self.exclusive(array) != 0:
            return False
        self.release(array)
        return True
