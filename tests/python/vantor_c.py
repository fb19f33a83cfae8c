"""ctypes bindings of the Vantor C interface exported by the module, for tests."""
import ctypes
from ctypes import POINTER, c_char_p, c_float, c_int64, c_size_t, c_uint8, c_void_p

import numpy as np

import zudizid

lib = ctypes.CDLL(zudizid.__file__)
libc = ctypes.CDLL(None)
libc.free.argtypes = [c_void_p]


class CNeighbour(ctypes.Structure):
    _fields_ = [("id", c_size_t), ("distance", c_float)]


class CNeighbourList(ctypes.Structure):
    _fields_ = [("nb_neighbours", c_size_t), ("neighbours", POINTER(CNeighbour))]


class CNeighbourLists(ctypes.Structure):
    _fields_ = [("nb_lists", c_size_t), ("lists", POINTER(CNeighbourList))]


class CDescription(ctypes.Structure):
    _fields_ = [("dumpmode", c_uint8), ("max_nb_connection", c_uint8), ("nb_layer", c_uint8),
                ("ef", c_size_t), ("nb_point", c_size_t), ("dimension", c_size_t),
                ("distname_len", c_size_t), ("distname", c_void_p),
                ("type_name_len", c_size_t), ("type_name", c_void_p)]


# element type name -> (ctypes element, numpy dtype)
TYPES = {"f32": (c_float, np.float32), "i32": (ctypes.c_int32, np.int32), "u16": (ctypes.c_uint16, np.uint16),
         "u32": (ctypes.c_uint32, np.uint32), "u8": (ctypes.c_uint8, np.uint8)}
CALLBACK = {t: ctypes.CFUNCTYPE(c_float, POINTER(e), POINTER(e), c_size_t) for t, (e, _) in TYPES.items()}

for t, (e, _) in TYPES.items():
    getattr(lib, f"init_hnsw_{t}").argtypes = [c_size_t, c_size_t, c_size_t, c_char_p]
    getattr(lib, f"init_hnsw_{t}").restype = c_void_p
    getattr(lib, f"init_hnsw_ptrdist_{t}").argtypes = [c_size_t, c_size_t, CALLBACK[t]]
    getattr(lib, f"init_hnsw_ptrdist_{t}").restype = c_void_p
    getattr(lib, f"insert_{t}").argtypes = [c_void_p, c_size_t, POINTER(e), c_size_t]
    getattr(lib, f"parallel_insert_{t}").argtypes = [c_void_p, c_size_t, c_size_t, POINTER(POINTER(e)),
                                                     POINTER(c_size_t)]
    getattr(lib, f"search_neighbours_{t}").argtypes = [c_void_p, c_size_t, POINTER(e), c_size_t, c_size_t]
    getattr(lib, f"search_neighbours_{t}").restype = POINTER(CNeighbourList)
    getattr(lib, f"parallel_search_neighbours_{t}").argtypes = [c_void_p, c_size_t, c_size_t, POINTER(POINTER(e)),
                                                                c_size_t, c_size_t]
    getattr(lib, f"parallel_search_neighbours_{t}").restype = POINTER(CNeighbourLists)
    getattr(lib, f"file_dump_{t}").argtypes = [c_void_p, c_size_t, c_char_p]
    getattr(lib, f"file_dump_{t}").restype = c_int64
for name in ("new_hnsw_f32", "new_hnsw_u16"):
    getattr(lib, name).argtypes = [c_size_t, c_size_t, c_size_t, c_char_p, c_size_t, c_size_t]
    getattr(lib, name).restype = c_void_p
lib.drop_hnsw_f32.argtypes = [c_void_p]
lib.drop_hnsw_u16.argtypes = [c_void_p]
lib.get_hnswio.argtypes = [c_size_t, c_char_p]
lib.get_hnswio.restype = c_void_p
lib.load_hnsw_description.argtypes = [c_size_t, c_char_p]
lib.load_hnsw_description.restype = POINTER(CDescription)


def reload_call(name):
    f = getattr(lib, name)
    f.argtypes = [c_void_p]
    f.restype = c_void_p
    return f


def init(t, dist, m=16, ef=200):
    b = dist.encode()
    return getattr(lib, f"init_hnsw_{t}")(m, ef, len(b), b)


def ptr(arr, t):
    return arr.ctypes.data_as(POINTER(TYPES[t][0]))


def insert_all(h, t, rows, first_id=0):
    for i, r in enumerate(rows):
        getattr(lib, f"insert_{t}")(h, len(r), ptr(r, t), first_id + i)


def take_list(p):
    """(ids, distances) of a CNeighbourList, freeing it as a C caller does."""
    rec = p.contents
    ids = [rec.neighbours[i].id for i in range(rec.nb_neighbours)]
    dists = [rec.neighbours[i].distance for i in range(rec.nb_neighbours)]
    if rec.nb_neighbours:
        libc.free(ctypes.cast(rec.neighbours, c_void_p))
    else:
        assert not rec.neighbours  # NULL, never a dangling placeholder
    libc.free(ctypes.cast(p, c_void_p))
    return ids, dists


def search(h, t, q, k, ef):
    return take_list(getattr(lib, f"search_neighbours_{t}")(h, len(q), ptr(q, t), k, ef))


def pointer_array(rows, t):
    e = TYPES[t][0]
    return (POINTER(e) * len(rows))(*[ptr(r, t) for r in rows])
