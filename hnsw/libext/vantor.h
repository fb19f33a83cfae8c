/* The C interface of the Vantor HNSW library, exported by the module.
 *
 * Every count, length and identifier is a size_t; a vector is a pointer to its
 * first element and an element count; text is a byte count and a pointer
 * (never NUL-terminated), decoded as UTF-8 with invalid sequences replaced.
 * Inputs are copied before use.
 *
 *   HnswHandle *h = init_hnsw_f32(16, 200, 6, "DistL2");   NULL: refused
 *   insert_f32(h, dim, vec, id);
 *   CNeighbourList *hits = search_neighbours_f32(h, dim, query, 10, 64);
 *   ... hits->neighbours[i].id, .distance, nearest first ...
 *   free(hits->neighbours); free(hits);     (free(NULL) when the count is 0)
 *   file_dump_f32(h, 3, "idx");             1, or -1 on failure
 *   drop_hnsw_f32(h);
 *
 * A handle is released by drop_hnsw_f32 (or its alias drop_hnsw_u16),
 * whatever its element type and distance. Records returned by searches and
 * by load_hnsw_description belong to the caller and are freed with free():
 * the arrays first, then the record. An array of count 0 is NULL. A call
 * given a handle of another element type does nothing (searches return an
 * empty list). Dumps and reloads work in the current directory; a reload
 * through an HnswIo never maps the data file. Bad arguments give NULL or -1,
 * never an exit of the process.
 */
#ifndef VANTOR_LIBEXT_VANTOR_H
#define VANTOR_LIBEXT_VANTOR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VANTOR_EXPORT __attribute__((visibility("default")))

typedef struct HnswHandle HnswHandle;
typedef struct HnswIo HnswIo;

typedef struct CNeighbour {
  size_t id;      /* the id given at insertion */
  float distance; /* from the query, under the index's distance */
} CNeighbour;

typedef struct CNeighbourList {
  size_t nb_neighbours;
  CNeighbour *neighbours; /* nearest first; NULL when nb_neighbours is 0 */
} CNeighbourList;

typedef struct CNeighbourLists {
  size_t nb_lists;        /* one list per query, in the order of the queries */
  CNeighbourList *lists;  /* NULL when nb_lists is 0 */
} CNeighbourLists;

/* A dump's header. Names are not NUL-terminated; NULL when empty. */
typedef struct CDescription {
  uint8_t dumpmode;
  uint8_t max_nb_connection;
  uint8_t nb_layer;
  size_t ef;
  size_t nb_point;
  size_t dimension;
  size_t distname_len;
  char *distname;
  size_t type_name_len;
  char *type_name;
} CDescription;

typedef float (*DistCallbackF32)(const float *a, const float *b, size_t len);
typedef float (*DistCallbackI32)(const int32_t *a, const int32_t *b, size_t len);
typedef float (*DistCallbackU16)(const uint16_t *a, const uint16_t *b, size_t len);
typedef float (*DistCallbackU32)(const uint32_t *a, const uint32_t *b, size_t len);
typedef float (*DistCallbackU8)(const uint8_t *a, const uint8_t *b, size_t len);

/* Creation by distance name: f32 "DistL1", "DistL2", "DistDot", "DistJeffreys",
 * "DistHellinger", "DistJensenShannon"; i32 "DistL1", "DistL2", "DistHamming";
 * u16 those and "DistJaccard", "DistLevenshtein"; u32 and u8 "DistL1",
 * "DistL2", "DistHamming", "DistJaccard". NULL for another name or for
 * max_nb_connection above 256. */
VANTOR_EXPORT HnswHandle *init_hnsw_f32(size_t max_nb_connection, size_t ef_construction, size_t dist_name_len, const char *dist_name);
VANTOR_EXPORT HnswHandle *init_hnsw_i32(size_t max_nb_connection, size_t ef_construction, size_t dist_name_len, const char *dist_name);
VANTOR_EXPORT HnswHandle *init_hnsw_u16(size_t max_nb_connection, size_t ef_construction, size_t dist_name_len, const char *dist_name);
VANTOR_EXPORT HnswHandle *init_hnsw_u32(size_t max_nb_connection, size_t ef_construction, size_t dist_name_len, const char *dist_name);
VANTOR_EXPORT HnswHandle *init_hnsw_u8(size_t max_nb_connection, size_t ef_construction, size_t dist_name_len, const char *dist_name);
/* As init_hnsw_*, with the capacity hint and the layer count (clamped to 16;
 * 0 is refused). */
VANTOR_EXPORT HnswHandle *new_hnsw_f32(size_t max_nb_connection, size_t ef_construction, size_t dist_name_len, const char *dist_name, size_t nb_elements, size_t max_layer);
VANTOR_EXPORT HnswHandle *new_hnsw_u16(size_t max_nb_connection, size_t ef_construction, size_t dist_name_len, const char *dist_name, size_t nb_elements, size_t max_layer);
VANTOR_EXPORT void drop_hnsw_f32(HnswHandle *handle);
VANTOR_EXPORT void drop_hnsw_u16(HnswHandle *handle);

/* A distance the caller computes; called from several threads at once. NULL
 * when the callback is NULL or max_nb_connection is above 256. A callback
 * result below 0 or NaN fails the insert or search that met it. */
VANTOR_EXPORT HnswHandle *init_hnsw_ptrdist_f32(size_t max_nb_connection, size_t ef_construction, DistCallbackF32 dist);
VANTOR_EXPORT HnswHandle *init_hnsw_ptrdist_i32(size_t max_nb_connection, size_t ef_construction, DistCallbackI32 dist);
VANTOR_EXPORT HnswHandle *init_hnsw_ptrdist_u16(size_t max_nb_connection, size_t ef_construction, DistCallbackU16 dist);
VANTOR_EXPORT HnswHandle *init_hnsw_ptrdist_u32(size_t max_nb_connection, size_t ef_construction, DistCallbackU32 dist);
VANTOR_EXPORT HnswHandle *init_hnsw_ptrdist_u8(size_t max_nb_connection, size_t ef_construction, DistCallbackU8 dist);

/* Inserts and searches. A vector the index refuses (another length, a value
 * its distance cannot take) is logged and skipped; a refused parallel batch
 * inserts nothing. */
#define VANTOR_ELEMENT_CALLS(T, E)                                                                   \
  VANTOR_EXPORT void insert_##T(HnswHandle *handle, size_t len, const E *data, size_t id);          \
  VANTOR_EXPORT void parallel_insert_##T(HnswHandle *handle, size_t nb_vec, size_t vec_len,         \
                                         const E *const *datas, const size_t *ids);                 \
  VANTOR_EXPORT CNeighbourList *search_neighbours_##T(HnswHandle *handle, size_t len, const E *data, \
                                                      size_t nb_neighbours, size_t ef_search);      \
  VANTOR_EXPORT CNeighbourLists *parallel_search_neighbours_##T(                                    \
      HnswHandle *handle, size_t nb_vec, size_t vec_len, const E *const *datas, size_t nb_neighbours, \
      size_t ef_search);                                                                            \
  VANTOR_EXPORT int64_t file_dump_##T(HnswHandle *handle, size_t basename_len, const char *basename);
VANTOR_ELEMENT_CALLS(f32, float)
VANTOR_ELEMENT_CALLS(i32, int32_t)
VANTOR_ELEMENT_CALLS(u16, uint16_t)
VANTOR_ELEMENT_CALLS(u32, uint32_t)
VANTOR_ELEMENT_CALLS(u8, uint8_t)
#undef VANTOR_ELEMENT_CALLS

/* Reloading: get_hnswio names the dump "<basename>.hnsw.graph" and
 * "<basename>.hnsw.data" in the current directory; each export rebuilds one
 * (element type, distance) pair, NULL when the dump is of another pair or
 * cannot be read. The graph-only reload takes a dump of any pair; its handle
 * can be dumped and released, and refuses searches and inserts once it
 * holds points. */
VANTOR_EXPORT HnswIo *get_hnswio(size_t basename_len, const char *basename);
VANTOR_EXPORT CDescription *load_hnsw_description(size_t path_len, const char *path);
VANTOR_EXPORT HnswHandle *load_hnswdump_f32_DistL1(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_f32_DistL2(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_f32_DistDot(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_f32_DistJeffreys(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_f32_DistJensenShannon(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_f32_DistCosine(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_i32_DistL1(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_i32_DistL2(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_i32_DistHamming(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_u16_DistL1(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_u16_DistL2(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_u16_DistHamming(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_u16_DistLevenshtein(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_u32_DistL1(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_u32_DistL2(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_u32_DistHamming(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_u32_DistJaccard(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_u8_DistL1(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_u8_DistL2(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_u8_DistHamming(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_u8_DistJaccard(HnswIo *io);
VANTOR_EXPORT HnswHandle *load_hnswdump_NoData_DistNoDist(HnswIo *io);

/* Installs, once per process, a logger writing to standard error, configured
 * by ZUDIZID_LOG ("level", "target=level", comma-separated, optionally
 * "/regex" on the message) and ZUDIZID_LOG_STYLE ("always", "never", else
 * automatic colour). Later calls change nothing. */
VANTOR_EXPORT void init_env_log(void);

#ifdef __cplusplus
}
#endif

#endif /* VANTOR_LIBEXT_VANTOR_H */
