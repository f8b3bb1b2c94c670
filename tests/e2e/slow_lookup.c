/* Preloaded into the updater (or into Wine, whose Winsock looks names up
   through the host's getaddrinfo): a lookup of a name ending in
   ".slow.invalid" answers only after 30 s, as behind a name server that
   never replies.  Every other name is looked up as usual. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <string.h>
#include <unistd.h>

int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                struct addrinfo **res) {
  static const char slow[] = ".slow.invalid";
  int (*real)(const char *, const char *, const struct addrinfo *, struct addrinfo **) =
      (int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **))dlsym(
          RTLD_NEXT, "getaddrinfo");
  if (node != NULL) {
    size_t n = strlen(node), k = sizeof slow - 1;
    if (n >= k && strcmp(node + n - k, slow) == 0) sleep(30);
  }
  return real(node, service, hints, res);
}
