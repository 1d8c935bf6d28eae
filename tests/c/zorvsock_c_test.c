/* The public header must be usable from plain C: this program compiles as C99 and
 * exercises the calls that need no card. */
#include <stdio.h>
#include <string.h>
#include <zorvsock.h>

static int failures;

#define CHECK(cond)                                            \
  do {                                                         \
    if (!(cond)) {                                             \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                              \
    }                                                          \
  } while (0)

int main(void) {
  char buf[16];
  zorvsock_handle* h = zorvsock_acquire_handle();
  int value = 0, len = 4;
  unsigned char ttl = 0;

  CHECK(zorvsock_str2ip("192.168.1.10") == 0xC0A8010Au);
  CHECK(strcmp(zorvsock_ip2str(buf, 0xC0A8010Au), "192.168.1.10") == 0);
  CHECK(h != NULL);
  CHECK(zorvsock_get_opt(h, ZORVSOCK_OPT_RX_BUFFER, &value, &len) == 0 && value == 2048);
  len = 1;
  CHECK(zorvsock_get_opt(h, ZORVSOCK_OPT_MULTICAST_TTL, &ttl, &len) == 0 && ttl == 1);
  CHECK(zorvsock_setoption(h, 0, NULL, 0) == -1);
  CHECK(zorvsock_bk_tsc() == 0);
  CHECK(zorvsock_time_get(h) == 0);
  zorvsock_release_handle(h);
  printf("%s: %d failures\n", failures ? "FAIL" : "PASS", failures);
  return failures != 0;
}
