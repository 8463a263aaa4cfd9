/* The floor for a walk on a cold page cache: ref_walker's work (folders
 * walked the same way; per index file a statx of the companion, open, one
 * read, close, a row and a progress line), with DEPTH index files of a
 * folder in flight at once and the rows still written in walk order.
 *
 *   cold_reader MODE DEPTH DIR/
 *
 * MODE is how the reads are put in flight:
 *   serial   one after the other (DEPTH is ignored), as ref_walker;
 *   threads  DEPTH reader threads, each doing the statx, open, read and close
 *            of one index file at a time;
 *   uring    io_uring: per index file a statx, and an open into a fixed
 *            file slot linked to the read and the close, DEPTH files at once
 *            (built only where liburing is, with -DHAVE_LIBURING -luring);
 *   fadvise  the next DEPTH index files opened ahead and their data asked
 *            for with posix_fadvise(POSIX_FADV_WILLNEED), the rest in turn;
 *   nowait   one at a time, each read first tried with RWF_NOWAIT; once one
 *            finds its data not in memory, the folder's next DEPTH index
 *            files are kept opened ahead and asked for as in fadvise (a walk
 *            whose files are all in memory makes no call more than serial).
 * It is a yardstick, not a decoder: rows are formatted the simplest way. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>
#ifdef HAVE_LIBURING
#include <liburing.h>
#endif

#define BUFFER 65536
#define MAX_DEPTH 256

struct linux_dirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[];
};

/* What one index file gave: filled by whoever reads it, written out by the
 * walk in order. */
struct slot {
  const char *name;
  char companion[512];
  struct statx stx;
  int present;
  ssize_t got;
  int pending; /* uring: completions still to come */
  int done;    /* threads: the reader has finished */
  unsigned char input[BUFFER];
};

static char row[200000];
static char line[8192];
static int depth = 16;

static void companion_of(struct slot *s) { snprintf(s->companion, sizeof s->companion, "$R%s", s->name + 2); }

static void emit(const char *dir, const struct slot *s) {
  int n = snprintf(line, sizeof line, "Processing: %s%s\n", dir, s->name);
  write(2, line, (size_t)n);
  if (s->got < 0) return;
  const unsigned char *input = s->input;
  ssize_t got = s->got;
  int len = snprintf(row, sizeof row, "%20s|", s->name);
  if (got >= 28) {
    int64_t size;
    uint64_t when;
    memcpy(&size, input + 8, 8);
    memcpy(&when, input + 16, 8);
    len += snprintf(row + len, sizeof row - (size_t)len, "% 12lld|%llu|", (long long)size, (unsigned long long)when);
    size_t off = input[0] == 1 ? 24 : 28;
    for (size_t i = off; i + 1 < (size_t)got && (input[i] | input[i + 1]); i += 2)
      row[len++] = input[i + 1] ? '?' : (char)input[i];
    row[len++] = '|';
  }
  if (s->present)
    len += snprintf(row + len, sizeof row - (size_t)len, "%lld|%lld|%lld|\n", (long long)s->stx.stx_mtime.tv_sec,
                    (long long)s->stx.stx_atime.tv_sec, (long long)s->stx.stx_btime.tv_sec);
  else
    len += snprintf(row + len, sizeof row - (size_t)len, " N/A | N/A | N/A | N/A | N/A | N/A | \n");
  write(1, row, (size_t)len);
}

/* The whole job for one index file, done by one caller. */
static void read_one(int dir_fd, struct slot *s) {
  companion_of(s);
  s->present = statx(dir_fd, s->companion, AT_SYMLINK_NOFOLLOW, STATX_ATIME | STATX_MTIME | STATX_BTIME, &s->stx) == 0;
  int fd = openat(dir_fd, s->name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    s->got = -1;
    return;
  }
  s->got = read(fd, s->input, BUFFER);
  close(fd);
}

static struct slot *slots;

/* ---- serial ---- */
static void batch_serial(int dir_fd, const char *dir, char **names, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    slots[0].name = names[i];
    read_one(dir_fd, &slots[0]);
    emit(dir, &slots[0]);
  }
}

/* ---- threads ---- */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t work_ready = PTHREAD_COND_INITIALIZER;
static pthread_cond_t work_done = PTHREAD_COND_INITIALIZER;
static struct {
  int dir_fd;
  char **names;
  size_t n, next, emitted;
} job;

static void *reader(void *unused) {
  (void)unused;
  for (;;) {
    pthread_mutex_lock(&lock);
    while (!(job.next < job.n && job.next < job.emitted + (size_t)depth)) pthread_cond_wait(&work_ready, &lock);
    size_t i = job.next++;
    int dir_fd = job.dir_fd;
    struct slot *s = &slots[i % (size_t)depth];
    s->name = job.names[i];
    pthread_mutex_unlock(&lock);
    read_one(dir_fd, s);
    pthread_mutex_lock(&lock);
    s->done = 1;
    pthread_cond_broadcast(&work_done);
    pthread_mutex_unlock(&lock);
  }
  return NULL;
}

static void batch_threads(int dir_fd, const char *dir, char **names, size_t n) {
  pthread_mutex_lock(&lock);
  job.dir_fd = dir_fd;
  job.names = names;
  job.n = n;
  job.next = 0;
  job.emitted = 0;
  for (int k = 0; k < depth; ++k) slots[k].done = 0;
  pthread_cond_broadcast(&work_ready);
  while (job.emitted < n) {
    struct slot *s = &slots[job.emitted % (size_t)depth];
    while (!s->done) pthread_cond_wait(&work_done, &lock);
    pthread_mutex_unlock(&lock);
    emit(dir, s);
    pthread_mutex_lock(&lock);
    s->done = 0;
    job.emitted++;
    pthread_cond_broadcast(&work_ready);
  }
  job.n = 0;
  pthread_mutex_unlock(&lock);
}

static void start_threads(void) {
  for (int k = 0; k < depth; ++k) {
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 65536);
    if (pthread_create(&t, &attr, reader, NULL) != 0) {
      perror("pthread_create");
      exit(1);
    }
    pthread_detach(t);
  }
}

/* ---- fadvise ---- */
static void batch_fadvise(int dir_fd, const char *dir, char **names, size_t n) {
  int fds[MAX_DEPTH];
  size_t opened = 0;
  for (size_t i = 0; i < n; ++i) {
    for (; opened < n && opened < i + (size_t)depth; ++opened) {
      int fd = openat(dir_fd, names[opened], O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
      fds[opened % (size_t)depth] = fd;
    }
    struct slot *s = &slots[0];
    s->name = names[i];
    companion_of(s);
    s->present = statx(dir_fd, s->companion, AT_SYMLINK_NOFOLLOW, STATX_ATIME | STATX_MTIME | STATX_BTIME, &s->stx) == 0;
    int fd = fds[i % (size_t)depth];
    s->got = fd < 0 ? -1 : read(fd, s->input, BUFFER);
    if (fd >= 0) close(fd);
    emit(dir, s);
  }
}

/* ---- nowait ---- */
static void batch_nowait(int dir_fd, const char *dir, char **names, size_t n) {
  int fds[MAX_DEPTH];
  size_t opened = 0; /* names[0 .. opened) have been opened, the last DEPTH of them kept in fds */
  int cold = 0;
  for (size_t i = 0; i < n; ++i) {
    struct slot *s = &slots[0];
    s->name = names[i];
    companion_of(s);
    s->present = statx(dir_fd, s->companion, AT_SYMLINK_NOFOLLOW, STATX_ATIME | STATX_MTIME | STATX_BTIME, &s->stx) == 0;
    int fd;
    if (i < opened) {
      fd = fds[i % (size_t)depth];
    } else {
      fd = openat(dir_fd, names[i], O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      opened = i + 1;
    }
    s->got = -1;
    int again = 0;
    if (fd >= 0) {
      struct iovec v = {s->input, BUFFER};
      s->got = preadv2(fd, &v, 1, 0, RWF_NOWAIT);
      again = s->got < 0 && errno == EAGAIN;
      if (again) cold = 1;
    }
    if (cold) {
      for (; opened < n && opened <= i + (size_t)depth; ++opened) {
        int ahead = openat(dir_fd, names[opened], O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (ahead >= 0) posix_fadvise(ahead, 0, 0, POSIX_FADV_WILLNEED);
        fds[opened % (size_t)depth] = ahead;
      }
    }
    if (fd >= 0) {
      if (again) s->got = read(fd, s->input, BUFFER);
      close(fd);
    }
    emit(dir, s);
  }
}

/* ---- io_uring ---- */
#ifdef HAVE_LIBURING
static struct io_uring ring;

static void submit_one(int dir_fd, size_t i, char **names) {
  unsigned k = (unsigned)(i % (size_t)depth);
  struct slot *s = &slots[k];
  s->name = names[i];
  companion_of(s);
  s->present = 0;
  s->got = -1;
  s->pending = 4;
  uint64_t tag = (uint64_t)k << 2;
  struct io_uring_sqe *e = io_uring_get_sqe(&ring);
  io_uring_prep_statx(e, dir_fd, s->companion, AT_SYMLINK_NOFOLLOW, STATX_ATIME | STATX_MTIME | STATX_BTIME, &s->stx);
  io_uring_sqe_set_data64(e, tag | 0);
  e = io_uring_get_sqe(&ring);
  /* A fixed file slot takes no O_CLOEXEC. */
  io_uring_prep_openat_direct(e, dir_fd, s->name, O_RDONLY | O_NONBLOCK, 0, k);
  e->flags |= IOSQE_IO_HARDLINK;
  io_uring_sqe_set_data64(e, tag | 1);
  e = io_uring_get_sqe(&ring);
  io_uring_prep_read(e, (int)k, s->input, BUFFER, 0);
  e->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
  io_uring_sqe_set_data64(e, tag | 2);
  e = io_uring_get_sqe(&ring);
  io_uring_prep_close_direct(e, k);
  io_uring_sqe_set_data64(e, tag | 3);
}

static void batch_uring(int dir_fd, const char *dir, char **names, size_t n) {
  size_t next = 0, emitted = 0;
  for (; next < n && next < (size_t)depth; ++next) submit_one(dir_fd, next, names);
  io_uring_submit(&ring);
  while (emitted < n) {
    struct io_uring_cqe *cqe;
    if (io_uring_wait_cqe(&ring, &cqe) < 0) {
      perror("io_uring_wait_cqe");
      exit(1);
    }
    uint64_t tag = io_uring_cqe_get_data64(cqe);
    struct slot *s = &slots[tag >> 2];
    int what = (int)(tag & 3);
    if (what == 0) s->present = cqe->res == 0;
    if (what == 2) s->got = cqe->res < 0 ? -1 : cqe->res;
    s->pending--;
    io_uring_cqe_seen(&ring, cqe);
    int more = 0;
    while (emitted < n && slots[emitted % (size_t)depth].pending == 0) {
      emit(dir, &slots[emitted % (size_t)depth]);
      slots[emitted % (size_t)depth].pending = -1;
      emitted++;
      if (next < n) {
        submit_one(dir_fd, next++, names);
        more = 1;
      }
    }
    if (more) io_uring_submit(&ring);
  }
}

static void start_uring(void) {
  int err = io_uring_queue_init((unsigned)depth * 4, &ring, 0);
  if (err == 0) err = io_uring_register_files_sparse(&ring, (unsigned)depth);
  if (err < 0) {
    fprintf(stderr, "io_uring: %s\n", strerror(-err));
    exit(1);
  }
}
#endif

static void (*batch)(int, const char *, char **, size_t);

static void walk(int fd, const char *dir) {
  if (fd < 0) return;
  size_t cap = 1 << 16, used = 0;
  char *names = malloc(cap);
  for (;;) {
    if (cap - used < 65536) names = realloc(names, cap *= 2);
    long n = syscall(SYS_getdents64, fd, names + used, 65536);
    if (n <= 0) break;
    used += (size_t)n;
  }
  char sub[8192];
  size_t count = 0;
  for (size_t at = 0; at < used;) {
    struct linux_dirent64 *d = (struct linux_dirent64 *)(names + at);
    at += d->d_reclen;
    if (d->d_type == DT_DIR && strcmp(d->d_name, ".") && strcmp(d->d_name, "..")) {
      snprintf(sub, sizeof sub, "%s%s/", dir, d->d_name);
      walk(openat(fd, d->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC), sub);
    }
    count++;
  }
  char **index_files = malloc((count + 1) * sizeof *index_files);
  size_t n = 0;
  for (size_t at = 0; at < used;) {
    struct linux_dirent64 *d = (struct linux_dirent64 *)(names + at);
    at += d->d_reclen;
    if (d->d_type != DT_DIR && d->d_name[0] == '$' && (d->d_name[1] == 'I' || d->d_name[1] == 'i'))
      index_files[n++] = d->d_name;
  }
  if (n) batch(fd, dir, index_files, n);
  free(index_files);
  close(fd);
  free(names);
}

int main(int argc, char **argv) {
  if (argc != 4 || (depth = atoi(argv[2])) < 1 || depth > MAX_DEPTH) {
    fprintf(stderr, "usage: cold_reader serial|threads|uring|fadvise|nowait DEPTH DIR/\n");
    return 2;
  }
  const char *mode = argv[1];
  if (!strcmp(mode, "serial")) {
    depth = 1;
    batch = batch_serial;
  } else if (!strcmp(mode, "threads")) {
    batch = batch_threads;
  } else if (!strcmp(mode, "fadvise")) {
    batch = batch_fadvise;
  } else if (!strcmp(mode, "nowait")) {
    batch = batch_nowait;
#ifdef HAVE_LIBURING
  } else if (!strcmp(mode, "uring")) {
    batch = batch_uring;
#endif
  } else {
    fprintf(stderr, "cold_reader: no mode %s in this build\n", mode);
    return 2;
  }
  slots = calloc((size_t)depth, sizeof *slots);
  if (!slots) return 1;
  if (batch == batch_threads) start_threads();
#ifdef HAVE_LIBURING
  if (batch == batch_uring) start_uring();
#endif
  walk(open(argv[3], O_RDONLY | O_DIRECTORY | O_CLOEXEC), argv[3]);
  return 0;
}
