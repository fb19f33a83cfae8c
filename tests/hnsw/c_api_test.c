/* A C11 program against the exported header: create, fill, search, free the
 * results, dump, read the header back, reload, release. Exit status 0 when
 * every check holds. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "hnsw/libext/vantor.h"

static int failures = 0;
#define CHECK(cond)                                              \
  do {                                                           \
    if (!(cond)) {                                               \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                \
    }                                                            \
  } while (0)

static float first_diff(const uint8_t *a, const uint8_t *b, size_t len) {
  return len ? (float)(a[0] > b[0] ? a[0] - b[0] : b[0] - a[0]) : 0.0f;
}

int main(void) {
  char dir[] = "/tmp/vantor-c-XXXXXX";
  CHECK(mkdtemp(dir) != NULL);
  CHECK(chdir(dir) == 0);

  CHECK(init_hnsw_u8(16, 100, 6, "distl2") == NULL);
  CHECK(init_hnsw_u8(257, 100, 6, "DistL2") == NULL);
  CHECK(init_hnsw_ptrdist_u8(16, 100, NULL) == NULL);
  HnswHandle *h = init_hnsw_u8(16, 100, 6, "DistL2");
  CHECK(h != NULL);

  CNeighbourList *none = search_neighbours_u8(h, 3, (const uint8_t[]){1, 2, 3}, 5, 10);
  CHECK(none->nb_neighbours == 0 && none->neighbours == NULL);
  free(none);

  uint8_t rows[100][3];
  const uint8_t *ptrs[100];
  size_t ids[100];
  for (int i = 0; i < 100; ++i) {
    rows[i][0] = (uint8_t)i;
    rows[i][1] = (uint8_t)(2 * i);
    rows[i][2] = 7;
    ptrs[i] = rows[i];
    ids[i] = (size_t)i + 1000;
  }
  parallel_insert_u8(h, 100, 3, ptrs, ids);
  CNeighbourList *hits = search_neighbours_u8(h, 3, rows[42], 3, 100);
  CHECK(hits->nb_neighbours == 3);
  CHECK(hits->neighbours[0].id == 1042 && hits->neighbours[0].distance == 0.0f);
  CHECK(hits->neighbours[1].distance <= hits->neighbours[2].distance);
  free(hits->neighbours);
  free(hits);

  CNeighbourLists *many = parallel_search_neighbours_u8(h, 2, 3, ptrs + 10, 1, 50);
  CHECK(many->nb_lists == 2 && many->lists[1].neighbours[0].id == 1011);
  for (size_t i = 0; i < many->nb_lists; ++i) free(many->lists[i].neighbours);
  free(many->lists);
  free(many);

  CHECK(file_dump_u8(h, 3, "idx") == 1);
  CDescription *d = load_hnsw_description(14, "idx.hnsw.graph");
  CHECK(d != NULL && d->nb_point == 100 && d->dimension == 3 && d->type_name_len == 2);
  CHECK(d != NULL && memcmp(d->type_name, "u8", 2) == 0);
  free(d->distname);
  free(d->type_name);
  free(d);

  HnswIo *io = get_hnswio(3, "idx");
  HnswHandle *back = load_hnswdump_u8_DistL2(io);
  CHECK(back != NULL);
  CNeighbourList *again = search_neighbours_u8(back, 3, rows[42], 1, 100);
  CHECK(again->nb_neighbours == 1 && again->neighbours[0].id == 1042);
  free(again->neighbours);
  free(again);
  CHECK(load_hnswdump_u8_DistL1(io) == NULL);
  drop_hnsw_u16(back);
  drop_hnsw_f32(h);
  /* io stays allocated: the interface has no call that releases it */

  HnswHandle *c = init_hnsw_ptrdist_u8(8, 50, first_diff);
  for (int i = 0; i < 30; ++i) insert_u8(c, 3, rows[i], (size_t)i);
  CNeighbourList *ch = search_neighbours_u8(c, 3, rows[17], 1, 30);
  CHECK(ch->nb_neighbours == 1 && ch->neighbours[0].id == 17);
  free(ch->neighbours);
  free(ch);
  drop_hnsw_f32(c);

  unlink("idx.hnsw.graph");
  unlink("idx.hnsw.data");
  CHECK(chdir("/") == 0);
  rmdir(dir);
  if (failures == 0) printf("all checks passed\n");
  return failures == 0 ? 0 : 1;
}
