/* Measurements behind bench/NOTES-images.md: how an NTFS image's recycle
 * bin could be read faster through The Sleuth Kit's library.  Not part of
 * the program; built and run by hand:
 *
 *   cc -O2 -o build/bench/ntfs_proto bench/ntfs_proto.c -ltsk
 *   ntfs_proto detect IMAGE           file-system detection against opening
 *                                     as NTFS, and the boot sector's check
 *   ntfs_proto walk ORDER IMAGE [WINDOW]
 *                                     every $I file of the bin's user folders
 *                                     read with its $R companion's times,
 *                                     the MFT entries loaded in the listing's
 *                                     order (ORDER "name") or, WINDOW names
 *                                     at a time, in MFT-entry order ("mft";
 *                                     "own": the same, each folder listed
 *                                     from its own $I30 index); rows in the
 *                                     listing's order every time
 *   ntfs_proto index IMAGE            each user folder's names from its own
 *                                     $I30 index, read linearly, against the
 *                                     library's folder load: names, entries
 *                                     and their order compared
 *
 * Every read of the image the library makes (a 64 KiB block of its cache,
 * or more) is counted.  Rows go to standard output (a checksum of them tells
 * two orders apart), figures to the error stream. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <tsk/libtsk.h>

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* ---- the image, its reads counted ---- */
static ssize_t (*image_read)(TSK_IMG_INFO *, TSK_OFF_T, char *, size_t);
static uint64_t reads, bytes_read;

static ssize_t counted_read(TSK_IMG_INFO *img, TSK_OFF_T off, char *buf, size_t len) {
  reads++;
  bytes_read += len;
  return image_read(img, off, buf, len);
}

static TSK_IMG_INFO *open_image(const char *path) {
  TSK_IMG_INFO *img = tsk_img_open_utf8_sing(path, TSK_IMG_TYPE_DETECT, 0);
  if (img == NULL) {
    fprintf(stderr, "%s: %s\n", path, tsk_error_get());
    exit(1);
  }
  image_read = img->read;
  img->read = counted_read;
  return img;
}

static TSK_FS_INFO *open_ntfs(TSK_IMG_INFO *img) {
  TSK_FS_INFO *fs = tsk_fs_open_img(img, 0, TSK_FS_TYPE_NTFS);
  if (fs == NULL) {
    fprintf(stderr, "no NTFS: %s\n", tsk_error_get());
    exit(1);
  }
  return fs;
}

static void figures(const char *what, double seconds) {
  fprintf(stderr, "  %-44s %8.3f s %9llu reads %8.1f MB\n", what, seconds, (unsigned long long)reads,
          (double)bytes_read / 1e6);
  reads = bytes_read = 0;
}

/* ---- detect ---- */
static int detect(const char *path) {
  TSK_IMG_INFO *img = open_image(path);
  const int runs = 50;
  reads = bytes_read = 0;
  {
    double start = now();
    for (int i = 0; i < runs; ++i) {
      memset(img->cache_len, 0, sizeof img->cache_len);
      TSK_VS_INFO *vs = tsk_vs_open(img, 0, TSK_VS_TYPE_DETECT);
      if (vs) tsk_vs_close(vs);
      tsk_error_reset();
    }
    fprintf(stderr, "  %-28s %7.3f ms %6.1f reads %7.1f KB a run\n", "tsk_vs_open(DETECT)",
            (now() - start) * 1e3 / runs, (double)reads / runs, (double)bytes_read / runs / 1024);
    reads = bytes_read = 0;
  }
  for (int pass = 0; pass < 2; ++pass) {
    double start = now();
    uint64_t r = 0, b = 0;
    for (int i = 0; i < runs; ++i) {
      /* A cold cache of the library each time, as a run starts with. */
      memset(img->cache_len, 0, sizeof img->cache_len);
      reads = bytes_read = 0;
      TSK_FS_INFO *fs = tsk_fs_open_img(img, 0, pass == 0 ? TSK_FS_TYPE_DETECT : TSK_FS_TYPE_NTFS);
      if (fs == NULL) {
        fprintf(stderr, "cannot open: %s\n", tsk_error_get());
        return 1;
      }
      tsk_fs_close(fs);
      r += reads;
      b += bytes_read;
    }
    fprintf(stderr, "  %-28s %7.3f ms %6.1f reads %7.1f KB a run\n",
            pass == 0 ? "tsk_fs_open_img(DETECT)" : "tsk_fs_open_img(NTFS)", (now() - start) * 1e3 / runs,
            (double)r / runs, (double)b / runs / 1024);
  }
  /* The signature alone: one read of the boot sector. */
  double start = now();
  int ntfs = 0;
  for (int i = 0; i < runs; ++i) {
    char boot[512];
    memset(img->cache_len, 0, sizeof img->cache_len);
    if (tsk_img_read(img, 0, boot, sizeof boot) == (ssize_t)sizeof boot)
      ntfs += memcmp(boot + 3, "NTFS    ", 8) == 0;
  }
  fprintf(stderr, "  %-28s %7.3f ms (%s)\n", "boot sector signature", (now() - start) * 1e3 / runs,
          ntfs == runs ? "NTFS" : "not NTFS");
  tsk_img_close(img);
  return 0;
}

/* ---- the bin's user folders ---- */
static int compare_folded(const char *a, const char *b) {
  for (;; ++a, ++b) {
    unsigned char x = (unsigned char)(*a >= 'a' && *a <= 'z' ? *a - 32 : *a);
    unsigned char y = (unsigned char)(*b >= 'a' && *b <= 'z' ? *b - 32 : *b);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

static int folded_equal(const char *a, const char *b) {
  for (; *a && *b; ++a, ++b) {
    char x = *a >= 'a' && *a <= 'z' ? *a - 32 : *a, y = *b >= 'a' && *b <= 'z' ? *b - 32 : *b;
    if (x != y) return 0;
  }
  return *a == *b;
}

static int visible(const TSK_FS_NAME *n) {
  return (n->flags & TSK_FS_NAME_FLAG_ALLOC) && n->name && strcmp(n->name, ".") && strcmp(n->name, "..") &&
         n->type != TSK_FS_NAME_TYPE_VIRT && n->type != TSK_FS_NAME_TYPE_VIRT_DIR;
}

/* The user folders of the root's $Recycle.Bin (any case). */
static size_t user_folders(TSK_FS_INFO *fs, TSK_INUM_T *out, size_t max) {
  TSK_FS_DIR *root = tsk_fs_dir_open_meta(fs, fs->root_inum);
  TSK_INUM_T bin = 0;
  for (size_t i = 0; root && i < root->names_used; ++i)
    if (visible(&root->names[i]) && folded_equal(root->names[i].name, "$Recycle.Bin")) bin = root->names[i].meta_addr;
  if (root) tsk_fs_dir_close(root);
  size_t n = 0;
  TSK_FS_DIR *dir = bin ? tsk_fs_dir_open_meta(fs, bin) : NULL;
  for (size_t i = 0; dir && i < dir->names_used && n < max; ++i)
    if (visible(&dir->names[i]) && dir->names[i].type == TSK_FS_NAME_TYPE_DIR) out[n++] = dir->names[i].meta_addr;
  if (dir) tsk_fs_dir_close(dir);
  return n;
}

/* ---- a folder's names, from the library or from its own $I30 index ---- */
struct listed {
  const char *name;
  TSK_INUM_T addr;
};

static struct listed *list;
static size_t list_used, list_cap;
static char *arena;
static size_t arena_used, arena_cap;

static void list_add(TSK_INUM_T addr, const char *name, size_t length) {
  if (list_used == list_cap) list = realloc(list, (list_cap = list_cap ? 2 * list_cap : 1024) * sizeof *list);
  if (arena_used + length + 1 > arena_cap) {
    /* Names are offsets until the list is complete. */
    while (arena_used + length + 1 > arena_cap) arena_cap = arena_cap ? 2 * arena_cap : 1 << 16;
    arena = realloc(arena, arena_cap);
  }
  memcpy(arena + arena_used, name, length);
  arena[arena_used + length] = '\0';
  list[list_used].name = (const char *)(uintptr_t)arena_used;
  list[list_used++].addr = addr;
  arena_used += length + 1;
}

static void list_done(void) {
  for (size_t i = 0; i < list_used; ++i) list[i].name = arena + (uintptr_t)list[i].name;
}

static void list_from_library(const TSK_FS_DIR *dir) {
  list_used = arena_used = 0;
  for (size_t i = 0; i < dir->names_used; ++i)
    if (visible(&dir->names[i])) list_add(dir->names[i].meta_addr, dir->names[i].name, strlen(dir->names[i].name));
  list_done();
}

static uint64_t le(const uint8_t *p, int n) {
  uint64_t v = 0;
  while (n--) v = v << 8 | p[n];
  return v;
}

/* Names in index records the folder's $BITMAP no longer counts as in use
 * (the library lists those as live all the same). */
static size_t names_in_free_records;
static int in_free_record;

/* Applies an index record's update sequence array; 0 when it is damaged. */
static int fix_record(uint8_t *rec, size_t size) {
  size_t usa = le(rec + 4, 2), count = le(rec + 6, 2);
  if (memcmp(rec, "INDX", 4) != 0 || usa + 2 * count > size || count == 0 || (count - 1) * 512 > size) return 0;
  for (size_t k = 1; k < count; ++k) {
    uint8_t *end = rec + k * 512 - 2;
    if (memcmp(end, rec + usa, 2) != 0) return 0;
    memcpy(end, rec + usa + 2 * k, 2);
  }
  return 1;
}

/* The entries of one index node (its header at `node`, `limit` bytes), in
 * their order, as UTF-8. */
static void node_entries(const uint8_t *node, size_t limit) {
  size_t at = le(node, 4), end = le(node + 4, 4);
  if (end > limit) end = limit;
  char name[1024];
  while (at + 16 <= end) {
    const uint8_t *e = node + at;
    size_t length = le(e + 8, 2), key = le(e + 10, 2);
    uint32_t flags = (uint32_t)le(e + 12, 4);
    if (flags & 2) break; /* the last entry holds no name */
    if (length < 16 || at + length > end) break;
    if (key >= 66 && e[16 + 65] != 2) { /* not the DOS 8.3 name */
      size_t chars = e[16 + 64], out = 0;
      for (size_t c = 0; c < chars && 16 + 66 + 2 * c + 1 < length; ++c) {
        unsigned u = (unsigned)le(e + 16 + 66 + 2 * c, 2);
        /* Surrogate pairs are left out of this sketch. */
        if (u < 0x80) {
          name[out++] = (char)u;
        } else if (u < 0x800) {
          name[out++] = (char)(0xC0 | u >> 6);
          name[out++] = (char)(0x80 | (u & 0x3F));
        } else {
          name[out++] = (char)(0xE0 | u >> 12);
          name[out++] = (char)(0x80 | (u >> 6 & 0x3F));
          name[out++] = (char)(0x80 | (u & 0x3F));
        }
      }
      list_add(le(e, 6), name, out);
      names_in_free_records += in_free_record;
    }
    at += length;
  }
}

/* The folder's index root, then every index record in the order they lie
 * in $INDEX_ALLOCATION, one pass, a large read at a time. */
static int list_from_index(TSK_FS_INFO *fs, TSK_INUM_T folder) {
  list_used = arena_used = 0;
  TSK_FS_FILE *f = tsk_fs_file_open_meta(fs, NULL, folder);
  if (f == NULL) return 0;
  const TSK_FS_ATTR *root = tsk_fs_file_attr_get_type(f, TSK_FS_ATTR_TYPE_NTFS_IDXROOT, 0, 0);
  const TSK_FS_ATTR *alloc = tsk_fs_file_attr_get_type(f, TSK_FS_ATTR_TYPE_NTFS_IDXALLOC, 0, 0);
  const TSK_FS_ATTR *bitmap = tsk_fs_file_attr_get_type(f, TSK_FS_ATTR_TYPE_NTFS_BITMAP, 0, 0);
  tsk_error_reset();
  if (root == NULL || !(root->flags & TSK_FS_ATTR_RES)) {
    tsk_fs_file_close(f);
    return 0;
  }
  size_t record = le(root->rd.buf + 8, 4);
  node_entries(root->rd.buf + 16, root->rd.buf_size - 16);
  if (alloc && record >= 512 && record <= 65536) {
    static uint8_t map[1 << 16];
    size_t map_bytes = 0;
    if (bitmap) {
      ssize_t got = tsk_fs_attr_read(bitmap, 0, (char *)map, sizeof map, TSK_FS_FILE_READ_FLAG_NONE);
      map_bytes = got > 0 ? (size_t)got : 0;
    }
    static uint8_t chunk[1 << 20];
    const size_t per_chunk = sizeof chunk / record;
    const size_t records = (size_t)(alloc->size / (TSK_OFF_T)record);
    for (size_t first = 0; first < records; first += per_chunk) {
      size_t count = records - first < per_chunk ? records - first : per_chunk;
      ssize_t got = tsk_fs_attr_read(alloc, (TSK_OFF_T)(first * record), (char *)chunk, count * record,
                                     TSK_FS_FILE_READ_FLAG_NONE);
      if (got < (ssize_t)(count * record)) break;
      for (size_t k = 0; k < count; ++k) {
        size_t r = first + k;
        in_free_record = map_bytes && (r / 8 >= map_bytes || !(map[r / 8] >> (r % 8) & 1));
        uint8_t *rec = chunk + k * record;
        if (fix_record(rec, record)) node_entries(rec + 24, record - 24);
        in_free_record = 0;
      }
    }
  }
  tsk_error_reset();
  tsk_fs_file_close(f);
  list_done();
  return 1;
}

/* ---- walk ---- */
struct item {
  const char *name;
  TSK_INUM_T index_entry, companion_entry; /* companion 0: none */
  uint64_t si_created, si_modified, si_accessed;
  int64_t size_field;
  uint32_t data_sum;
  int data_length;
};

struct load {
  TSK_INUM_T entry;
  struct item *item;
  int companion;
};

static int by_entry(const void *a, const void *b) {
  const struct load *x = a, *y = b;
  return x->entry < y->entry ? -1 : x->entry > y->entry;
}

static int by_listed_name(const void *a, const void *b) {
  return compare_folded(((const struct listed *)a)->name, ((const struct listed *)b)->name);
}

static TSK_FS_FILE *file_object;
static char data[65536];

static void load_entry(TSK_FS_INFO *fs, struct load *l) {
  TSK_FS_FILE *f = tsk_fs_file_open_meta(fs, file_object, l->entry);
  if (f == NULL) {
    tsk_error_reset();
    return;
  }
  file_object = f;
  struct item *it = l->item;
  if (l->companion) {
    const TSK_FS_ATTR *si = tsk_fs_file_attr_get_type(f, TSK_FS_ATTR_TYPE_NTFS_SI, 0, 0);
    if (si && (si->flags & TSK_FS_ATTR_RES) && si->rd.buf_size >= 32) {
      it->si_created = le(si->rd.buf, 8);
      it->si_modified = le(si->rd.buf + 8, 8);
      it->si_accessed = le(si->rd.buf + 24, 8);
    }
  } else if (f->meta) {
    size_t want = f->meta->size < (TSK_OFF_T)sizeof data ? (size_t)f->meta->size : sizeof data;
    ssize_t got = tsk_fs_file_read(f, 0, data, want, TSK_FS_FILE_READ_FLAG_NONE);
    if (got >= 16) it->size_field = (int64_t)le((uint8_t *)data + 8, 8);
    uint32_t sum = 0;
    for (ssize_t k = 0; k < got; ++k) sum = sum * 31 + (uint8_t)data[k];
    it->data_sum = sum;
    it->data_length = (int)got;
  }
  tsk_error_reset();
}

/* ORDER: "name" (the library's folder load, entries in the listing's
 * order), "mft" (the library's folder load, entries in MFT-entry order),
 * "own" (the folder's own index, entries in MFT-entry order). */
static int walk(const char *order, const char *path, size_t window) {
  const int own = strcmp(order, "own") == 0, mft = own || strcmp(order, "mft") == 0;
  TSK_IMG_INFO *img = open_image(path);
  double start = now();
  TSK_FS_INFO *fs = open_ntfs(img);
  figures("file system opened (as NTFS)", now() - start);
  start = now();
  TSK_INUM_T folders[4096];
  size_t nf = user_folders(fs, folders, 4096);
  figures("root and bin listed (the MFT walked once)", now() - start);
  double t_dirs = 0, t_meta = 0;
  uint64_t r_dirs = 0, b_dirs = 0, r_meta = 0, b_meta = 0, rows = 0;
  struct item *items = NULL;
  struct load *loads = NULL;
  struct listed *sorted = NULL;
  for (size_t f = 0; f < nf; ++f) {
    uint64_t r0 = reads, b0 = bytes_read;
    double t0 = now();
    TSK_FS_DIR *dir = NULL;
    if (own) {
      if (!list_from_index(fs, folders[f])) continue;
    } else {
      dir = tsk_fs_dir_open_meta(fs, folders[f]);
      if (dir == NULL) continue;
      list_from_library(dir);
    }
    t_dirs += now() - t0;
    r_dirs += reads - r0;
    b_dirs += bytes_read - b0;
    /* The $I names in the listing's order, each with its companion. */
    size_t n = 0;
    items = realloc(items, (list_used + 1) * sizeof *items);
    for (size_t i = 0; i < list_used; ++i) {
      const struct listed *nm = &list[i];
      if (nm->name[0] != '$' || (nm->name[1] != 'I' && nm->name[1] != 'i')) continue;
      struct item *it = &items[n++];
      memset(it, 0, sizeof *it);
      it->name = nm->name;
      it->index_entry = nm->addr;
    }
    /* Companions: found by name in a sorted copy of the listing. */
    sorted = realloc(sorted, (list_used + 1) * sizeof *sorted);
    memcpy(sorted, list, list_used * sizeof *sorted);
    qsort(sorted, list_used, sizeof *sorted, by_listed_name);
    char want[1100];
    for (size_t k = 0; k < n; ++k) {
      snprintf(want, sizeof want, "$R%s", items[k].name + 2);
      struct listed key = {want, 0};
      struct listed *hit = bsearch(&key, sorted, list_used, sizeof *sorted, by_listed_name);
      if (hit) items[k].companion_entry = hit->addr;
    }
    r0 = reads, b0 = bytes_read;
    t0 = now();
    loads = realloc(loads, (2 * n + 1) * sizeof *loads);
    for (size_t first = 0; first < n; first += window) {
      size_t last = first + window < n ? first + window : n, nl = 0;
      for (size_t k = first; k < last; ++k) {
        loads[nl++] = (struct load){items[k].index_entry, &items[k], 0};
        if (items[k].companion_entry) loads[nl++] = (struct load){items[k].companion_entry, &items[k], 1};
      }
      if (mft) qsort(loads, nl, sizeof *loads, by_entry);
      for (size_t k = 0; k < nl; ++k) load_entry(fs, &loads[k]);
      for (size_t k = first; k < last; ++k, ++rows)
        printf("%s|%d|%08x|%lld|%llu|%llu|%llu\n", items[k].name, items[k].data_length, items[k].data_sum,
               (long long)items[k].size_field, (unsigned long long)items[k].si_created,
               (unsigned long long)items[k].si_modified, (unsigned long long)items[k].si_accessed);
    }
    t_meta += now() - t0;
    r_meta += reads - r0;
    b_meta += bytes_read - b0;
    if (dir) tsk_fs_dir_close(dir);
  }
  reads = r_dirs, bytes_read = b_dirs;
  figures(own ? "user folders listed from their own $I30 index" : "user folders loaded (tsk_fs_dir_open_meta)", t_dirs);
  reads = r_meta, bytes_read = b_meta;
  char what[64];
  if (mft)
    snprintf(what, sizeof what, "metadata and data, MFT order, window %zu", window);
  else
    snprintf(what, sizeof what, "metadata and data, listing order");
  figures(what, t_meta);
  fprintf(stderr, "  %llu rows from %zu user folders\n", (unsigned long long)rows, nf);
  if (file_object) tsk_fs_file_close(file_object);
  tsk_fs_close(fs);
  tsk_img_close(img);
  return 0;
}

/* ---- the library's folder load against the folder's own index ---- */
static int index_mode(const char *path) {
  TSK_IMG_INFO *img = open_image(path);
  TSK_FS_INFO *fs = open_ntfs(img);
  TSK_INUM_T folders[4096];
  size_t nf = user_folders(fs, folders, 4096);
  reads = bytes_read = 0;
  double t_tsk = 0, t_own = 0;
  size_t tsk_names = 0, own_names = 0, free_names = 0, differ = 0;
  struct listed *theirs = NULL;
  for (size_t f = 0; f < nf; ++f) {
    double t0 = now();
    TSK_FS_DIR *dir = tsk_fs_dir_open_meta(fs, folders[f]);
    t_tsk += now() - t0;
    /* The library's live names, in its order, kept for the comparison. */
    size_t n = 0;
    theirs = realloc(theirs, ((dir ? dir->names_used : 0) + 1) * sizeof *theirs);
    for (size_t i = 0; dir && i < dir->names_used; ++i)
      if (visible(&dir->names[i]) && dir->names[i].name[0] != '\0')
        theirs[n++] = (struct listed){dir->names[i].name, dir->names[i].meta_addr};
    names_in_free_records = 0;
    t0 = now();
    list_from_index(fs, folders[f]);
    t_own += now() - t0;
    int same = n == list_used;
    for (size_t i = 0; same && i < n; ++i)
      same = theirs[i].addr == list[i].addr && strcmp(theirs[i].name, list[i].name) == 0;
    if (dir) tsk_fs_dir_close(dir);
    tsk_names += n;
    own_names += list_used;
    free_names += names_in_free_records;
    differ += !same;
  }
  fprintf(stderr, "  %zu user folders: the library's folder load %.3f s (%zu names), own $I30 read %.3f s (%zu names, "
                  "%zu of them in index records no longer in use); %zu folders differ in a name, entry or order\n",
          nf, t_tsk, tsk_names, t_own, own_names, free_names, differ);
  tsk_fs_close(fs);
  tsk_img_close(img);
  return differ != 0;
}

int main(int argc, char **argv) {
  if (argc == 3 && !strcmp(argv[1], "detect")) return detect(argv[2]);
  if ((argc == 4 || argc == 5) && !strcmp(argv[1], "walk"))
    return walk(argv[2], argv[3], argc == 5 ? (size_t)atol(argv[4]) : (size_t)1 << 30);
  if (argc == 3 && !strcmp(argv[1], "index")) return index_mode(argv[2]);
  fprintf(stderr, "usage: ntfs_proto detect IMAGE | walk name|mft|own IMAGE [WINDOW] | index IMAGE\n");
  return 2;
}
