/* The smallest honest client for the two transfers the upgrader times in its batch
 * runs: the .bin upload through the file port (UploadStart, then 64-byte UploadData
 * chunks, each acknowledged) and the .bi2 flashing through the gateway's common port
 * (the I2C version question, then per 64-byte block a block write and a read-back that
 * is compared). Lock-step like the upgrader: one request in flight, one send() per
 * request, one receive loop per answer, a blocking socket with TCP_NODELAY and no
 * allocation per chunk. Used by program_bench as the baseline; run it only inside a
 * network lab (tests/lab/netlab).
 *
 *   minimal_client ADDRESS FILE.bin FILE.bi2 I2C_ADDRESS
 *
 * Prints "bin_ms X", "bi2_ms Y" and "bi2_blocks_ms Z" (milliseconds, three decimals).
 * The .bin span runs from before the connection to the file port until the last chunk's
 * acknowledgement, the .bi2 span from the I2C version question (on an open connection)
 * until the last block's read-back, its blocks span from the first block write on.
 * Between the version answer and the first block the client waits STEP_MS, the one step
 * of its step timer that the upgrader's sequence takes there, so that both .bi2 spans
 * hold the same work and the same wait.
 * Exit code 0, or 1 with a reason on standard error. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { STEP_MS = 500, CHUNK = 64, WINDOW = 16, FILE_PORT = 8004, COMMON_PORT = 8010, MAX_FRAME = 8 + 255 + 2 };

static const char* device_address;

static int fail(const char* what) {
  fprintf(stderr, "minimal_client: %s\n", what);
  return 1;
}

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

/* Sum of the ones' complements of the big-endian 16-bit words, folded twice. */
static void put_checksum(uint8_t* frame, int n) {
  uint32_t sum = 0;
  int i = 0;
  for (; i + 1 < n; i += 2) sum += ((uint32_t)frame[i] << 8 | frame[i + 1]) ^ 0xFFFFu;
  if (i < n) sum += ((uint32_t)frame[i] << 8) ^ 0xFFFFu;
  sum = (sum >> 16) + (sum & 0xFFFFu);
  sum = (sum >> 16) + (sum & 0xFFFFu);
  frame[n] = (uint8_t)(sum >> 8);
  frame[n + 1] = (uint8_t)sum;
}

/* Header of a frame whose payload (already at frame + 6) is n bytes; returns its length. */
static int finish_frame(uint8_t* frame, int code, int auxiliary, int n) {
  frame[0] = (uint8_t)(code >> 8);
  frame[1] = (uint8_t)code;
  frame[2] = (uint8_t)(auxiliary >> 8);
  frame[3] = (uint8_t)auxiliary;
  frame[4] = (uint8_t)(n >> 8);
  frame[5] = (uint8_t)n;
  put_checksum(frame, 6 + n);
  return 8 + n;
}

static int connect_to(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)port);
  inet_pton(AF_INET, device_address, &a.sin_addr);
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, (struct sockaddr*)&a, sizeof a) != 0) {
    close(fd);
    return -1;
  }
  struct timeval tv = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

/* Sends one request and reads its whole answer frame into answer; returns the answer's
 * length, or -1. The device never sends ahead, so nothing beyond the frame arrives. */
static int exchange(int fd, const uint8_t* request, int length, uint8_t* answer) {
  if (send(fd, request, (size_t)length, MSG_NOSIGNAL) != length) return -1;
  int have = 0;
  for (;;) {
    if (have >= 6) {
      const int whole = ((answer[4] << 8) | answer[5]) + 8;
      if (whole > MAX_FRAME) return -1;
      if (have >= whole) return whole;
    }
    const ssize_t r = recv(fd, answer + have, (size_t)(MAX_FRAME - have), 0);
    if (r <= 0) return -1;
    have += (int)r;
  }
}

/* An UploadAnswer whose text says the step succeeded. */
static int upload_ok(const uint8_t* answer, int length) {
  if (length <= 8 || answer[0] != 0 || answer[1] != 0x33) return 0;
  return memmem(answer + 6, (size_t)(length - 8), "BytesWritten", 12) != NULL ||
         memmem(answer + 6, (size_t)(length - 8), "MemoryErased", 12) != NULL;
}

static uint8_t* read_file(const char* path, long* size) {
  FILE* f = fopen(path, "rb");
  if (!f) return NULL;
  fseek(f, 0, SEEK_END);
  *size = ftell(f);
  fseek(f, 0, SEEK_SET);
  uint8_t* bytes = malloc((size_t)*size + 1);
  if (bytes && fread(bytes, 1, (size_t)*size, f) != (size_t)*size) {
    free(bytes);
    bytes = NULL;
  }
  fclose(f);
  return bytes;
}

/* The upload image of a .bin: "/hex.hex " 00 0F, (S + 2) mod 65536, 24 24, 55 AA, file. */
static uint8_t* bin_image(const uint8_t* file, long size, long* length) {
  static const uint8_t head[] = {'/', 'h', 'e', 'x', '.', 'h', 'e', 'x', ' ', 0x00, 0x0F, 0, 0, 0x24, 0x24, 0x55, 0xAA};
  uint8_t* image = malloc((size_t)size + sizeof head);
  if (!image) return NULL;
  memcpy(image, head, sizeof head);
  image[11] = (uint8_t)((size + 2) >> 8);
  image[12] = (uint8_t)(size + 2);
  memcpy(image + sizeof head, file, (size_t)size);
  *length = size + (long)sizeof head;
  return image;
}

static int upload_bin(const uint8_t* file, long size, double* ms) {
  uint8_t request[8 + 6 + CHUNK], answer[MAX_FRAME];
  const double begin = now_ms();
  long length = 0;
  uint8_t* image = bin_image(file, size, &length);
  const int fd = connect_to(FILE_PORT);
  if (!image || fd < 0) return fail("no connection to the file port");
  int n = exchange(fd, request, finish_frame(request, 0x31, 0, 0), answer);
  int ok = upload_ok(answer, n);
  for (long offset = 0; ok && offset < length; offset += CHUNK) {
    const long left = length - offset;
    const size_t take = left < CHUNK ? (size_t)left : CHUNK;
    uint8_t* p = request + 6;
    p[0] = (uint8_t)(offset >> 16), p[1] = (uint8_t)(offset >> 8), p[2] = (uint8_t)offset;
    p[3] = 0, p[4] = 0, p[5] = CHUNK;
    memcpy(p + 6, image + offset, take);
    memset(p + 6 + take, 0, CHUNK - take);
    n = exchange(fd, request, finish_frame(request, 0x32, 1, 6 + CHUNK), answer);
    ok = upload_ok(answer, n) && memmem(answer + 6, (size_t)(n - 8), "BytesWritten", 12) != NULL;
  }
  *ms = now_ms() - begin;
  close(fd);
  free(image);
  return ok ? 0 : fail("the .bin upload was not acknowledged");
}

/* Sub-message of an I2cTransfer: address, W, the W bytes written, R; returns its end. */
static uint8_t* sub_message(uint8_t* p, int address, const uint8_t* written, int w, int r) {
  *p++ = (uint8_t)address;
  *p++ = (uint8_t)w;
  memcpy(p, written, (size_t)w);
  p += w;
  *p++ = (uint8_t)r;
  return p;
}

/* Command register (AA 55 + address word), then nothing or the trigger. */
static uint8_t* command(uint8_t* p, int address, uint32_t word) {
  const uint8_t bytes[] = {28, 0xAA, 0x55, (uint8_t)(word >> 24), (uint8_t)(word >> 16), (uint8_t)(word >> 8),
                           (uint8_t)word};
  return sub_message(p, address, bytes, (int)sizeof bytes, 0);
}

static uint8_t* trigger(uint8_t* p, int address) {
  const uint8_t reg = 29;
  return sub_message(p, address, &reg, 1, 0);
}

static int block_write_request(uint8_t* frame, int address, uint32_t offset, const uint8_t* block) {
  uint8_t* p = command(frame + 6, address, offset + 2);
  for (int j = 0; j < 4; ++j) {
    uint8_t window[1 + WINDOW];
    window[0] = (uint8_t)(24 + j);
    for (int i = 0; i < WINDOW; ++i) window[1 + i] = block[j * WINDOW + WINDOW - 1 - i];
    p = sub_message(p, address, window, 1 + WINDOW, 0);
  }
  p = trigger(p, address);
  return finish_frame(frame, 0x07, 0, (int)(p - frame - 6));
}

static int read_back_request(uint8_t* frame, int address, uint32_t offset) {
  uint8_t* p = trigger(command(frame + 6, address, offset + 1), address);
  for (int j = 0; j < 4; ++j) {
    const uint8_t reg = (uint8_t)(24 + j);
    p = sub_message(p, address, &reg, 1, WINDOW);
  }
  return finish_frame(frame, 0x07, 0, (int)(p - frame - 6));
}

/* The read-back answer (payload 70: 87 87, then each window last byte first and 87)
 * holds exactly this block. */
static int read_back_matches(const uint8_t* answer, int length, const uint8_t* block) {
  if (length != 78 || answer[1] != 0x08 || answer[6] != 0x87 || answer[7] != 0x87) return 0;
  for (int j = 0; j < 4; ++j) {
    const uint8_t* window = answer + 8 + j * (WINDOW + 1);
    if (window[WINDOW] != 0x87) return 0;
    for (int i = 0; i < WINDOW; ++i)
      if (window[WINDOW - 1 - i] != block[j * WINDOW + i]) return 0;
  }
  return 1;
}

/* The I2C image: 55 AA, the file, 0xFF filler up to ((S + 2) / 64) * 64 + 64 bytes. */
static uint8_t* bi2_image(const uint8_t* file, long size, long* length) {
  *length = ((size + 2) / CHUNK) * CHUNK + CHUNK;
  uint8_t* image = malloc((size_t)*length);
  if (!image) return NULL;
  image[0] = 0x55;
  image[1] = 0xAA;
  memcpy(image + 2, file, (size_t)size);
  memset(image + 2 + size, 0xFF, (size_t)(*length - 2 - size));
  return image;
}

static int version_question(int fd, int address) {
  uint8_t request[32], answer[MAX_FRAME];
  const uint8_t type = 0, version = 1;
  uint8_t* p = sub_message(request + 6, address, &type, 1, 4);
  p = sub_message(p, address, &version, 1, 4);
  const int n = exchange(fd, request, finish_frame(request, 0x07, 0, (int)(p - request - 6)), answer);
  return n == 18 && answer[1] == 0x08 && answer[10] == 0x87 && answer[15] == 0x87;
}

/* ms[0]: the whole .bi2 span, ms[1]: its blocks alone. */
static int flash_bi2(const uint8_t* file, long size, int address, double ms[2]) {
  uint8_t request[MAX_FRAME], answer[MAX_FRAME];
  const int fd = connect_to(COMMON_PORT);
  if (fd < 0) return fail("no connection to the common port");
  const double begin = now_ms();
  long length = 0;
  uint8_t* image = bi2_image(file, size, &length);
  int ok = image && version_question(fd, address);
  struct timespec step = {0, STEP_MS * 1000000L};
  while (ok && nanosleep(&step, &step) != 0) {
  }
  const double blocks = now_ms();
  for (long offset = 0; ok && offset < length; offset += CHUNK) {
    const uint8_t* block = image + offset;
    int n = exchange(fd, request, block_write_request(request, address, (uint32_t)offset, block), answer);
    ok = n == 14 && answer[1] == 0x08;
    n = ok ? exchange(fd, request, read_back_request(request, address, (uint32_t)offset), answer) : -1;
    ok = ok && read_back_matches(answer, n, block);
  }
  ms[0] = now_ms() - begin;
  ms[1] = now_ms() - blocks;
  close(fd);
  free(image);
  return ok ? 0 : fail("the .bi2 blocks were not written and read back");
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: minimal_client ADDRESS FILE.bin FILE.bi2 I2C_ADDRESS\n");
    return 2;
  }
  device_address = argv[1];
  long bin_size = 0, bi2_size = 0;
  uint8_t* bin = read_file(argv[2], &bin_size);
  uint8_t* bi2 = read_file(argv[3], &bi2_size);
  if (!bin || !bi2) return fail("cannot read the files");
  double bin_ms = 0, bi2_ms[2] = {0, 0};
  if (upload_bin(bin, bin_size, &bin_ms) != 0 || flash_bi2(bi2, bi2_size, atoi(argv[4]), bi2_ms) != 0) return 1;
  printf("bin_ms %.3f\nbi2_ms %.3f\nbi2_blocks_ms %.3f\n", bin_ms, bi2_ms[0], bi2_ms[1]);
  free(bin);
  free(bi2);
  return 0;
}
