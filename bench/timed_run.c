/*
 * wexel-bench-timed-run: runs one command and tells what it cost, so that
 * every program in the benchmarks is timed by the same observer.
 *
 *   wexel-bench-timed-run OUTFILE LABEL COMMAND [ARGS...]
 *
 * Appends one line to OUTFILE:
 *
 *   LABEL WALL_NS CPU_US MAXRSS_KB STATUS
 *
 * WALL_NS: nanoseconds from just before the fork to the reaping of the child
 * (monotonic clock); CPU_US: user plus system time of that child alone, from
 * wait4(); MAXRSS_KB: its peak resident memory; STATUS: its exit status, or
 * 128 + the signal that ended it. The command keeps our standard input,
 * output and error. Our exit status is the command's.
 *
 * Neither /usr/bin/time nor a scripting language is needed, and wait4()
 * gives the figures of exactly this child, not of all children together.
 */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fputs("usage: wexel-bench-timed-run OUTFILE LABEL COMMAND [ARGS...]\n", stderr);
        return 2;
    }
    FILE *out = fopen(argv[1], "a");
    if (!out) {
        fprintf(stderr, "wexel-bench-timed-run: %s: %s\n", argv[1], strerror(errno));
        return 2;
    }

    const long long start = now_ns();
    const pid_t child = fork();
    if (child < 0) {
        fprintf(stderr, "wexel-bench-timed-run: fork: %s\n", strerror(errno));
        return 2;
    }
    if (child == 0) {
        execvp(argv[3], argv + 3);
        fprintf(stderr, "wexel-bench-timed-run: %s: %s\n", argv[3], strerror(errno));
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    pid_t reaped;
    do
        reaped = wait4(child, &status, 0, &usage);
    while (reaped < 0 && errno == EINTR);
    const long long wall = now_ns() - start;
    if (reaped < 0) {
        fprintf(stderr, "wexel-bench-timed-run: wait4: %s\n", strerror(errno));
        return 2;
    }

    const long long cpu_us = (long long)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL
        + usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    fprintf(out, "%s %lld %lld %ld %d\n", argv[2], wall, cpu_us, usage.ru_maxrss, code);
    fclose(out);
    return code;
}
