/* The floor for the benchmark: the fastest correct way to do binsift's job.
 * Directories are held open and everything below one is reached relative to
 * it (openat without following links, statx of the companion relative to
 * the directory), so no call resolves a path twice; per index file: one
 * statx of the companion, open, one read, close, one row write and one
 * progress write.  Rows are formatted the simplest way; it is a yardstick,
 * not a decoder. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

struct linux_dirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[];
};

static unsigned char input[65536];
static char row[200000];
static char line[8192];

static void decode(int dir_fd, const char *dir, const char *name) {
  char companion[512];
  snprintf(companion, sizeof companion, "$R%s", name + 2);
  struct statx stx;
  int present = statx(dir_fd, companion, AT_SYMLINK_NOFOLLOW, STATX_ATIME | STATX_MTIME | STATX_BTIME, &stx) == 0;
  int fd = openat(dir_fd, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  int n = snprintf(line, sizeof line, "Processing: %s%s\n", dir, name);
  write(2, line, (size_t)n);
  ssize_t got = read(fd, input, sizeof input);
  close(fd);
  int len = snprintf(row, sizeof row, "%20s|", name);
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
  if (present)
    len += snprintf(row + len, sizeof row - (size_t)len, "%lld|%lld|%lld|\n", (long long)stx.stx_mtime.tv_sec,
                    (long long)stx.stx_atime.tv_sec, (long long)stx.stx_btime.tv_sec);
  else
    len += snprintf(row + len, sizeof row - (size_t)len, " N/A | N/A | N/A | N/A | N/A | N/A | \n");
  write(1, row, (size_t)len);
}

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
  for (size_t at = 0; at < used;) {
    struct linux_dirent64 *d = (struct linux_dirent64 *)(names + at);
    at += d->d_reclen;
    if (d->d_type == DT_DIR && strcmp(d->d_name, ".") && strcmp(d->d_name, "..")) {
      snprintf(sub, sizeof sub, "%s%s/", dir, d->d_name);
      walk(openat(fd, d->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC), sub);
    }
  }
  for (size_t at = 0; at < used;) {
    struct linux_dirent64 *d = (struct linux_dirent64 *)(names + at);
    at += d->d_reclen;
    if (d->d_type != DT_DIR && d->d_name[0] == '$' && (d->d_name[1] == 'I' || d->d_name[1] == 'i'))
      decode(fd, dir, d->d_name);
  }
  close(fd);
  free(names);
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: ref_walker DIR/\n");
    return 2;
  }
  walk(open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC), argv[1]);
  return 0;
}
