/* A preload library for the integration tests: makes the calls that
 * KPI_REFUSE names fail before they reach the kernel, as a sandbox, a
 * security module or an older kernel makes them fail, and notes each call
 * it refused, one line each, in the file KPI_REFUSE_LOG (when set).
 *
 *   KPI_REFUSE=WORD[=ERRNO],...
 *     netlink     socket(AF_NETLINK, ...)                 EAFNOSUPPORT
 *     ifindex     setsockopt(SOL_SOCKET, SO_BINDTOIFINDEX)  ENOPROTOOPT
 *     devname     setsockopt(SOL_SOCKET, SO_BINDTODEVICE)   ENOPROTOOPT
 *     unicast_if  setsockopt(IPPROTO_IP, IP_UNICAST_IF)     ENOPROTOOPT
 *   ERRNO, where given, is one of EAFNOSUPPORT, EACCES, EPERM, ENOPROTOOPT.
 *
 * Every other call goes on to the next definition (the C library's, or a
 * sanitizer's interceptor). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef SO_BINDTOIFINDEX
#define SO_BINDTOIFINDEX 62
#endif

static const struct {
  const char *name;
  int value;
} errors[] = {
    {"EAFNOSUPPORT", EAFNOSUPPORT},
    {"EACCES", EACCES},
    {"EPERM", EPERM},
    {"ENOPROTOOPT", ENOPROTOOPT},
};

/* The error that KPI_REFUSE gives for `word`; 0 where it is not named. */
static int refusal(const char *word, int fallback) {
  const char *list = getenv("KPI_REFUSE");
  const size_t length = strlen(word);
  while (list != NULL && *list != '\0') {
    const size_t item = strcspn(list, ",");
    if (item >= length && strncmp(list, word, length) == 0) {
      if (item == length) return fallback;
      if (list[length] == '=') {
        for (size_t i = 0; i < sizeof errors / sizeof errors[0]; ++i) {
          const size_t name = strlen(errors[i].name);
          if (item == length + 1 + name && strncmp(list + length + 1, errors[i].name, name) == 0) {
            return errors[i].value;
          }
        }
        return fallback;
      }
    }
    list += item;
    if (*list == ',') ++list;
  }
  return 0;
}

/* Notes the refusal and fails the call with `error`. */
static int refuse(const char *call, int error) {
  const char *path = getenv("KPI_REFUSE_LOG");
  if (path != NULL) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
      char line[128];
      const int size = snprintf(line, sizeof line, "%s %s\n", call, strerrorname_np(error));
      if (size > 0 && write(fd, line, (size_t)size) < 0) {
        /* Nothing to be done: the test finds the line missing. */
      }
      close(fd);
    }
  }
  errno = error;
  return -1;
}

/* The next definition of `name`, as a function pointer (ISO C has no
 * conversion from an object pointer). */
static void next(const char *name, void *function, size_t size) {
  void *symbol = dlsym(RTLD_NEXT, name);
  memcpy(function, &symbol, size);
}

int socket(int domain, int type, int protocol) {
  int (*real)(int, int, int) = NULL;
  int error = 0;
  if (domain == AF_NETLINK && (error = refusal("netlink", EAFNOSUPPORT)) != 0) {
    return refuse("socket AF_NETLINK", error);
  }
  next("socket", &real, sizeof real);
  return real(domain, type, protocol);
}

int setsockopt(int fd, int level, int name, const void *value, socklen_t size) {
  int (*real)(int, int, int, const void *, socklen_t) = NULL;
  int error = 0;
  if (level == SOL_SOCKET && name == SO_BINDTOIFINDEX &&
      (error = refusal("ifindex", ENOPROTOOPT)) != 0) {
    return refuse("setsockopt SO_BINDTOIFINDEX", error);
  }
  if (level == SOL_SOCKET && name == SO_BINDTODEVICE &&
      (error = refusal("devname", ENOPROTOOPT)) != 0) {
    return refuse("setsockopt SO_BINDTODEVICE", error);
  }
  if (level == IPPROTO_IP && name == IP_UNICAST_IF &&
      (error = refusal("unicast_if", ENOPROTOOPT)) != 0) {
    return refuse("setsockopt IP_UNICAST_IF", error);
  }
  next("setsockopt", &real, sizeof real);
  return real(fd, level, name, value, size);
}
