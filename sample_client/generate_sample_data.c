/* Writes the sample client's data file and its 17 archives: deterministic
 * bytes, so that every build of the same options hashes to the same manifest.
 * Archive sizes grow geometrically from about 1 KiB so that together they
 * come to exactly the requested total.
 *
 *   generate_sample_data DIR TOTAL_ARCHIVE_BYTES DATA_NAME ARCHIVE_NAME x17
 *
 * A host program: it runs on the build machine, not on Windows. */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define ARCHIVE_COUNT 17
#define SMALLEST_ARCHIVE 1024.0
#define CHUNK (1u << 20)

/* xorshift64*: cheap, and the same stream on every machine. */
static uint64_t NextWord(uint64_t* state) {
  uint64_t x = *state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  *state = x;
  return x * 0x2545F4914F6CDD1DULL;
}

static int WriteDeterministicFile(const char* dir, const char* name, uint64_t size, uint64_t seed) {
  char path[4096];
  if (snprintf(path, sizeof(path), "%s/%s", dir, name) >= (int)sizeof(path)) {
    fprintf(stderr, "generate_sample_data: path too long: %s/%s\n", dir, name);
    return 0;
  }
  FILE* out = fopen(path, "wb");
  if (!out) {
    fprintf(stderr, "generate_sample_data: cannot create %s: %s\n", path, strerror(errno));
    return 0;
  }
  static unsigned char chunk[CHUNK];
  uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 0x5A524E454CULL; /* never zero */
  uint64_t left = size;
  int ok = 1;
  while (left > 0 && ok) {
    size_t n = left < CHUNK ? (size_t)left : CHUNK;
    for (size_t i = 0; i < n; i += 8) {
      uint64_t word = NextWord(&state);
      size_t take = n - i < 8 ? n - i : 8;
      memcpy(chunk + i, &word, take);
    }
    ok = fwrite(chunk, 1, n, out) == n;
    left -= n;
  }
  if (fclose(out) != 0) ok = 0;
  if (!ok) fprintf(stderr, "generate_sample_data: cannot write %s: %s\n", path, strerror(errno));
  return ok;
}

/* Sizes 1 KiB * r^i with r chosen so that the sum meets the total; a few odd
 * bytes on each keep them off block boundaries, the last takes the rest. */
static int ComputeArchiveSizes(uint64_t total, uint64_t sizes[ARCHIVE_COUNT]) {
  double low = 1.0, high = 16.0;
  for (int round = 0; round < 200; ++round) {
    double r = (low + high) / 2, sum = 0, term = SMALLEST_ARCHIVE;
    for (int i = 0; i < ARCHIVE_COUNT; ++i, term *= r) sum += term;
    if (sum > (double)total) high = r; else low = r;
  }
  uint64_t used = 0;
  double term = SMALLEST_ARCHIVE;
  for (int i = 0; i < ARCHIVE_COUNT - 1; ++i, term *= low) {
    sizes[i] = (uint64_t)term + 37u * (uint64_t)(i + 1);
    used += sizes[i];
  }
  if (used >= total) return 0;
  sizes[ARCHIVE_COUNT - 1] = total - used;
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 4 + ARCHIVE_COUNT) {
    fprintf(stderr, "usage: generate_sample_data DIR TOTAL_ARCHIVE_BYTES DATA_NAME ARCHIVE_NAME x%d\n", ARCHIVE_COUNT);
    return 2;
  }
  const char* dir = argv[1];
  char* end = NULL;
  unsigned long long total = strtoull(argv[2], &end, 10);
  uint64_t sizes[ARCHIVE_COUNT];
  if (!end || *end || !ComputeArchiveSizes(total, sizes)) {
    fprintf(stderr, "generate_sample_data: %s bytes is too small for %d archives\n", argv[2], ARCHIVE_COUNT);
    return 2;
  }
  /* The data file: a few KiB of fixed bytes. */
  if (!WriteDeterministicFile(dir, argv[3], 6151, 62)) return 1;
  for (int i = 0; i < ARCHIVE_COUNT; ++i) {
    if (!WriteDeterministicFile(dir, argv[4 + i], sizes[i], 1000 + (uint64_t)i)) return 1;
  }
  return 0;
}
