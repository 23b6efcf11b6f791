/* Starts N copies of one command at the same moment and reports what the
 * kernel accounted for each:
 *     manyrun [-u UID -g GID] -n N -o DIR COMMAND [ARGUMENT...]
 * Every child is forked first and blocks on a pipe; closing its write end
 * releases all of them at once. Child I (0 to N-1) runs with standard output
 * on DIR/I.out and standard error on DIR/I.err, under UID and GID when
 * given (supplementary groups cleared). For each child, once reaped, one line
 *     I PID STATUS USER_US SYSTEM_US WALL_NS
 * goes to standard output (user and system CPU time from wait4, wall time
 * from the release to the reaping), and after the last one
 *     all WALL_NS
 * the wall time from the release to the last reaping.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static int redirect(const char* dir, int index, const char* suffix, int target) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%d.%s", dir, index, suffix);
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  if (dup2(fd, target) < 0) return -1;
  close(fd);
  return 0;
}

static long long micros(struct timeval t) {
  return (long long)t.tv_sec * 1000000LL + t.tv_usec;
}

int main(int argc, char** argv) {
  long count = 0;
  const char* dir = NULL;
  long uid = -1, gid = -1;
  int opt;
  while ((opt = getopt(argc, argv, "+n:o:u:g:")) != -1) {
    switch (opt) {
      case 'n':
        count = strtol(optarg, NULL, 10);
        break;
      case 'o':
        dir = optarg;
        break;
      case 'u':
        uid = strtol(optarg, NULL, 10);
        break;
      case 'g':
        gid = strtol(optarg, NULL, 10);
        break;
      default:
        count = 0;
        break;
    }
  }
  if (count <= 0 || dir == NULL || optind >= argc || (uid < 0) != (gid < 0)) {
    fprintf(stderr, "usage: manyrun [-u UID -g GID] -n N -o DIR COMMAND [ARGUMENT...]\n");
    return 2;
  }
  pid_t* pids = calloc((size_t)count, sizeof *pids);
  int gate[2];
  if (pids == NULL || pipe2(gate, O_CLOEXEC) != 0) {
    perror("manyrun");
    return 2;
  }
  for (long i = 0; i < count; ++i) {
    const pid_t pid = fork();
    if (pid < 0) {
      perror("manyrun: fork");
      kill(0, SIGKILL);
      return 2;
    }
    if (pid == 0) {
      close(gate[1]);
      if (redirect(dir, (int)i, "out", 1) != 0 || redirect(dir, (int)i, "err", 2) != 0) _exit(126);
      if (gid >= 0 &&
          (setgroups(0, NULL) != 0 || setgid((gid_t)gid) != 0 || setuid((uid_t)uid) != 0)) {
        _exit(126);
      }
      char byte;
      while (read(gate[0], &byte, 1) < 0 && errno == EINTR) {
      }
      execvp(argv[optind], argv + optind);
      _exit(127);
    }
    pids[i] = pid;
  }
  close(gate[0]);
  const long long start = now_ns();
  close(gate[1]);
  for (long left = count; left > 0; --left) {
    int status = 0;
    struct rusage usage;
    const pid_t pid = wait4(-1, &status, 0, &usage);
    if (pid < 0) {
      if (errno == EINTR) {
        ++left;
        continue;
      }
      perror("manyrun: wait4");
      return 2;
    }
    long index = -1;
    for (long i = 0; i < count; ++i) {
      if (pids[i] == pid) index = i;
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    printf("%ld %d %d %lld %lld %lld\n", index, (int)pid, code, micros(usage.ru_utime),
           micros(usage.ru_stime), now_ns() - start);
  }
  printf("all %lld\n", now_ns() - start);
  return 0;
}
