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
 *     rx_stamps   no call refused: what a read of a socket's packet queue
 *                 returns comes without its kernel stamp, as before the
 *                 kernel's receive stamping comes on (what the error queue
 *                 holds keeps its stamp); noted once a socket as
 *                 "recvmsg without receive stamp"
 *     pending_error  no call refused: after the 4th echo request, the
 *                    socket it went out on holds a pending error (network
 *                    unreachable) with nothing queued behind it, as when
 *                    the kernel sets the error of an ICMP message whose
 *                    record it could not queue. Until something reads it
 *                    (getsockopt SO_ERROR, or the next read or send, which
 *                    return it), poll reports it at once; each such
 *                    wake-up is noted as "ppoll POLLERR".
 *
 * Every other call goes on to the next definition (the C library's, or a
 * sanitizer's interceptor). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef SO_BINDTOIFINDEX
#define SO_BINDTOIFINDEX 62
#endif

static const struct {
  const char* name;
  int value;
} errors[] = {
    {"EAFNOSUPPORT", EAFNOSUPPORT},
    {"EACCES", EACCES},
    {"EPERM", EPERM},
    {"ENOPROTOOPT", ENOPROTOOPT},
};

/* The error that KPI_REFUSE gives for `word`; 0 where it is not named. */
static int refusal(const char* word, int fallback) {
  const char* list = getenv("KPI_REFUSE");
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

/* Writes `call` and `what` as one line of KPI_REFUSE_LOG. */
static void note(const char* call, const char* what) {
  const char* path = getenv("KPI_REFUSE_LOG");
  if (path == NULL) return;
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[128];
  const int size = snprintf(line, sizeof line, "%s %s\n", call, what);
  if (size > 0 && write(fd, line, (size_t)size) < 0) {
    /* Nothing to be done: the test finds the line missing. */
  }
  close(fd);
}

/* Notes the refusal and fails the call with `error`. */
static int refuse(const char* call, int error) {
  note(call, strerrorname_np(error));
  errno = error;
  return -1;
}

/* The next definition of `name`, as a function pointer (ISO C has no
 * conversion from an object pointer). */
static void next(const char* name, void* function, size_t size) {
  void* symbol = dlsym(RTLD_NEXT, name);
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

int setsockopt(int fd, int level, int name, const void* value, socklen_t size) {
  int (*real)(int, int, int, const void*, socklen_t) = NULL;
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

/* pending_error: the socket whose error stands, and the echo requests sent. */
static int pending_fd = -1;
static int echo_requests = 0;

/* Whether a pending error stood on `fd`; it is cleared, as reading it does. */
static int take_pending(int fd) {
  if (fd < 0 || fd != pending_fd) return 0;
  pending_fd = -1;
  return 1;
}

/* The C library declares the address argument as __CONST_SOCKADDR_ARG
 * (a transparent union where _GNU_SOURCE is defined). */
ssize_t sendto(int fd, const void* data, size_t size, int flags, __CONST_SOCKADDR_ARG to,
               socklen_t to_size) {
  ssize_t (*real)(int, const void*, size_t, int, __CONST_SOCKADDR_ARG, socklen_t) = NULL;
  next("sendto", &real, sizeof real);
  if (refusal("pending_error", ENETUNREACH) == 0) return real(fd, data, size, flags, to, to_size);
  if (take_pending(fd)) {
    errno = ENETUNREACH;
    return -1;
  }
  const ssize_t sent = real(fd, data, size, flags, to, to_size);
  /* An echo request starts with type 8, code 0, on both socket kinds. */
  const unsigned char* bytes = data;
  if (sent >= 0 && size >= 8 && bytes[0] == 8 && bytes[1] == 0 && ++echo_requests == 4) {
    pending_fd = fd;
  }
  return sent;
}

ssize_t recvmsg(int fd, struct msghdr* message, int flags) {
  static int noted = -1;
  ssize_t (*real)(int, struct msghdr*, int) = NULL;
  next("recvmsg", &real, sizeof real);
  if ((flags & MSG_ERRQUEUE) == 0 && take_pending(fd)) {
    errno = ENETUNREACH;
    return -1;
  }
  const ssize_t size = real(fd, message, flags);
  if (size >= 0 && (flags & MSG_ERRQUEUE) == 0 && refusal("rx_stamps", EPERM) != 0) {
    /* On a read of the packet queue the probe asks for nothing but the
     * stamp: no control data at all is the stamp taken out. */
    message->msg_controllen = 0;
    if (noted != fd) note("recvmsg", "without receive stamp");
    noted = fd;
  }
  return size;
}

int getsockopt(int fd, int level, int name, void* value, socklen_t* size) {
  int (*real)(int, int, int, void*, socklen_t*) = NULL;
  next("getsockopt", &real, sizeof real);
  if (level == SOL_SOCKET && name == SO_ERROR && value != NULL && size != NULL &&
      *size >= sizeof(int) && take_pending(fd)) {
    const int error = ENETUNREACH;
    memcpy(value, &error, sizeof error);
    *size = sizeof error;
    return 0;
  }
  return real(fd, level, name, value, size);
}

int ppoll(struct pollfd* fds, nfds_t count, const struct timespec* timeout, const sigset_t* mask) {
  int (*real)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*) = NULL;
  next("ppoll", &real, sizeof real);
  int standing = 0;
  for (nfds_t i = 0; i < count; ++i) standing |= fds[i].fd >= 0 && fds[i].fd == pending_fd;
  if (!standing) return real(fds, count, timeout, mask);
  /* The kernel reports a pending error as POLLERR, whatever was asked for. */
  const struct timespec now = {0, 0};
  int ready = real(fds, count, &now, mask);
  if (ready < 0) return ready;
  for (nfds_t i = 0; i < count; ++i) {
    if (fds[i].fd == pending_fd) {
      if (fds[i].revents == 0) ++ready;
      fds[i].revents |= POLLERR;
    }
  }
  note("ppoll", "POLLERR");
  return ready;
}
