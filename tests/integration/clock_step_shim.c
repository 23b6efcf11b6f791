/* A preload library for the integration tests: sets the real-time clock as
 * the process sees it, once, at a chosen moment of a series, as time
 * synchronisation sets it with clock_settime (the host's own clock is left
 * alone).
 *
 *   KPI_STEP_NS=N        the step, in nanoseconds (negative: back)
 *   KPI_STEP_AFTER=K     at the K-th echo request (5 unless set)
 *   KPI_STEP_HOLD_MS=H   the process held H ms (1200 unless set) right after
 *                        that request's send returns, the step half-way
 *                        through; 0: the step comes just before that
 *                        request goes out, and nothing is held
 *   KPI_STEP_DELAY_MS=D  instead of either: nothing held, the step D ms
 *                        after that request went out (seen from the
 *                        process's first clock reading or read after it)
 *   KPI_STEP_LOG=FILE    where the step is noted, one line
 *
 * From the step on, every CLOCK_REALTIME reading (clock_gettime) carries it, and so do the kernel's
 * stamps (SCM_TIMESTAMPING, both forms, on either queue of every socket) of moments after it;
 * stamps of earlier moments keep the old time, as the kernel's do after a real step. Every call
 * goes on to the next definition (the C library's, or a sanitizer's interceptor). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#ifndef SO_TIMESTAMPING_OLD
#define SO_TIMESTAMPING_OLD SO_TIMESTAMPING
#endif
#ifndef SO_TIMESTAMPING_NEW
#define SO_TIMESTAMPING_NEW 65
#endif

#define NANOS 1000000000LL

static int stepped = 0;
static long long step_ns = 0;
static long long step_at = 0; /* the real time of the step, unstepped */
static int echo_requests = 0;
static long long armed_at = 0; /* KPI_STEP_DELAY_MS: when the step is due */

static void next(const char* name, void* function, size_t size) {
  void* symbol = dlsym(RTLD_NEXT, name);
  memcpy(function, &symbol, size);
}

static long long number(const char* name, long long fallback) {
  const char* text = getenv(name);
  return text != NULL && *text != '\0' ? strtoll(text, NULL, 10) : fallback;
}

static int real_clock_gettime(clockid_t clock, struct timespec* time) {
  int (*real)(clockid_t, struct timespec*) = NULL;
  next("clock_gettime", &real, sizeof real);
  return real(clock, time);
}

static void shift(struct timespec* time) {
  const long long moment = (long long)time->tv_sec * NANOS + time->tv_nsec + step_ns;
  time->tv_sec = (time_t)(moment / NANOS);
  time->tv_nsec = (long)(moment % NANOS);
  if (time->tv_nsec < 0) {
    time->tv_nsec += NANOS;
    --time->tv_sec;
  }
}

static long long real_now(void) {
  struct timespec now;
  real_clock_gettime(CLOCK_REALTIME, &now);
  return (long long)now.tv_sec * NANOS + now.tv_nsec;
}

/* Steps at `moment` (real time, unstepped). */
static void step_at_moment(long long moment) {
  step_ns = number("KPI_STEP_NS", 0);
  step_at = moment;
  stepped = 1;
  const char* path = getenv("KPI_STEP_LOG");
  if (path == NULL) return;
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[96];
  const int size =
      snprintf(line, sizeof line, "stepped %lld ns at echo request %d\n", step_ns, echo_requests);
  if (size > 0 && write(fd, line, (size_t)size) < 0) {
    /* The test finds the line missing. */
  }
  close(fd);
}

static void step_now(void) {
  step_at_moment(real_now());
}

/* A step due by now comes now, at the moment it was due. */
static void step_if_due(void) {
  if (armed_at != 0 && !stepped && real_now() >= armed_at) step_at_moment(armed_at);
}

static void sleep_ms(long long ms) {
  struct timespec time = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
  while (nanosleep(&time, &time) != 0) {
  }
}

int clock_gettime(clockid_t clock, struct timespec* time) {
  step_if_due();
  const int result = real_clock_gettime(clock, time);
  if (result == 0 && stepped && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) {
    shift(time);
  }
  return result;
}

ssize_t sendto(int fd, const void* data, size_t size, int flags, __CONST_SOCKADDR_ARG to,
               socklen_t to_size) {
  ssize_t (*real)(int, const void*, size_t, int, __CONST_SOCKADDR_ARG, socklen_t) = NULL;
  next("sendto", &real, sizeof real);
  /* An echo request starts with type 8, code 0, on both socket kinds. */
  const unsigned char* bytes = data;
  const int echo = size >= 8 && bytes[0] == 8 && bytes[1] == 0;
  const int chosen = echo && !stepped && ++echo_requests == number("KPI_STEP_AFTER", 5);
  const long long delay = number("KPI_STEP_DELAY_MS", -1);
  const long long hold = delay >= 0 ? -1 : number("KPI_STEP_HOLD_MS", 1200);
  if (chosen && hold == 0) step_now();
  const ssize_t sent = real(fd, data, size, flags, to, to_size);
  if (chosen && delay >= 0) armed_at = real_now() + delay * 1000000LL;
  if (chosen && hold > 0) {
    sleep_ms(hold / 2);
    step_now();
    sleep_ms(hold - hold / 2);
  }
  return sent;
}

/* Shifts the software stamp of a SCM_TIMESTAMPING record whose timespecs
 * have fields of `size` bytes, where it stands for a moment after the step. */
static void shift_stamp(struct cmsghdr* c, size_t size) {
  if (c->cmsg_len < CMSG_LEN(6 * size)) return;
  unsigned char* data = CMSG_DATA(c);
  long long seconds = 0;
  long long nanos = 0;
  if (size == 8) {
    int64_t fields[2];
    memcpy(fields, data, sizeof fields);
    seconds = fields[0];
    nanos = fields[1];
  } else {
    int32_t fields[2];
    memcpy(fields, data, sizeof fields);
    seconds = fields[0];
    nanos = fields[1];
  }
  if (seconds == 0 && nanos == 0) return;
  long long moment = seconds * NANOS + nanos;
  if (moment < step_at) return;
  moment += step_ns;
  seconds = moment / NANOS;
  nanos = moment % NANOS;
  if (size == 8) {
    const int64_t fields[2] = {seconds, nanos};
    memcpy(data, fields, sizeof fields);
  } else {
    const int32_t fields[2] = {(int32_t)seconds, (int32_t)nanos};
    memcpy(data, fields, sizeof fields);
  }
}

ssize_t recvmsg(int fd, struct msghdr* message, int flags) {
  ssize_t (*real)(int, struct msghdr*, int) = NULL;
  next("recvmsg", &real, sizeof real);
  step_if_due();
  const ssize_t size = real(fd, message, flags);
  if (size < 0 || !stepped) return size;
  for (struct cmsghdr* c = CMSG_FIRSTHDR(message); c != NULL; c = CMSG_NXTHDR(message, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    if (c->cmsg_type == SO_TIMESTAMPING_NEW) shift_stamp(c, 8);
    if (c->cmsg_type == SO_TIMESTAMPING_OLD) shift_stamp(c, sizeof(long));
  }
  return size;
}
