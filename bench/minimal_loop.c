/*
 * wexel-bench-minimal-loop: the least a program can do to update the
 * instrument, as the yardstick for the link traffic of wexel-update-cli.
 *
 *   wexel-bench-minimal-loop [--timeout-ms N] DEVICE FILE
 *
 * Opens DEVICE raw at 115200 8N1, sends "KILL" and waits for its '*', then
 * sends each line of FILE followed by a line feed and waits for the '*' that
 * answers it, up to and including the end line ("q" or "Q"), whose reply ends
 * at its '*' too and is not judged. No erase wait and no hand-over pause: the
 * benchmark peer answers at once, and those fixed waits are not what is measured.
 *
 * FILE holds lines that are ALREADY PREPARED, one per line feed: this program
 * sends bytes, it does not prepare them. The benchmark images are written in
 * the prepared form (five-digit address lines, data lines of whole 16-bit
 * words), which the product's line preparation leaves as they are, so both
 * programs put the same bytes on the wire.
 *
 * On success it prints "lines N write_ns T" on standard output: the lines
 * sent and its own clock's time from the first line's write to the last
 * reply. Exit status 0 on success, 1 on any failure (told on standard error),
 * 2 for a wrong command line.
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

/* A reply longer than this is no reply of the instrument's. */
#define REPLY_MAX 4096

struct link
{
    int fd;
    int timeout_ms;
    char rx[REPLY_MAX];
    size_t rx_len;
};

static int fail(const char *what)
{
    fprintf(stderr, "wexel-bench-minimal-loop: %s: %s\n", what, strerror(errno));
    return -1;
}

static long long now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int open_link(struct link *link, const char *device)
{
    /* Non-blocking, so every wait is a poll() with a time-out and a silent
     * instrument cannot hang the benchmark. */
    link->fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (link->fd < 0)
        return fail(device);
    struct termios tio;
    if (tcgetattr(link->fd, &tio) != 0)
        return fail("tcgetattr");
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tio.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(link->fd, TCSANOW, &tio) != 0)
        return fail("tcsetattr");
    /* Whatever an earlier user left queued is not an answer to us. */
    tcflush(link->fd, TCIOFLUSH);
    link->rx_len = 0;
    return 0;
}

static int wait_for(struct link *link, short events)
{
    struct pollfd pfd = {link->fd, events, 0};
    for (;;) {
        const int ready = poll(&pfd, 1, link->timeout_ms);
        if (ready > 0)
            return 0;
        if (ready == 0) {
            fprintf(stderr, "wexel-bench-minimal-loop: no answer within %d ms\n", link->timeout_ms);
            return -1;
        }
        if (errno != EINTR)
            return fail("poll");
    }
}

static int send_all(struct link *link, const char *bytes, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(link->fd, bytes, size);
        if (n > 0) {
            bytes += n;
            size -= (size_t)n;
        } else if (n < 0 && errno == EAGAIN) {
            if (wait_for(link, POLLOUT) != 0)
                return -1;
        } else if (!(n < 0 && errno == EINTR)) {
            return fail("write");
        }
    }
    return 0;
}

/* Reads up to and including the first '*'; the reply is link->rx[0..*len). */
static int read_reply(struct link *link, size_t *len)
{
    for (;;) {
        const char *star = memchr(link->rx, '*', link->rx_len);
        if (star) {
            *len = (size_t)(star - link->rx) + 1;
            return 0;
        }
        if (link->rx_len == sizeof link->rx) {
            fprintf(stderr, "wexel-bench-minimal-loop: a reply of more than %d bytes\n", REPLY_MAX);
            return -1;
        }
        /* poll() first: right after a write the answer is never there yet,
         * so a read first would only cost an EAGAIN. */
        if (wait_for(link, POLLIN) != 0)
            return -1;
        const ssize_t n = read(link->fd, link->rx + link->rx_len, sizeof link->rx - link->rx_len);
        if (n > 0) {
            link->rx_len += (size_t)n;
        } else if (n == 0) {
            fprintf(stderr, "wexel-bench-minimal-loop: the device hung up\n");
            return -1;
        } else if (errno != EAGAIN && errno != EINTR) {
            return fail("read");
        }
    }
}

/* Drops the reply just read; bytes after its '*' wait for the next one. */
static void drop_reply(struct link *link, size_t len)
{
    memmove(link->rx, link->rx + len, link->rx_len - len);
    link->rx_len -= len;
}

/* The whole file, with a line feed after its last line if it had none. */
static char *read_file(const char *path, size_t *size)
{
    FILE *f = fopen(path, "rb");
    if (!f) {
        fail(path);
        return NULL;
    }
    size_t capacity = 1 << 20;
    size_t used = 0;
    char *data = malloc(capacity);
    for (;;) {
        if (!data) {
            fclose(f);
            fprintf(stderr, "wexel-bench-minimal-loop: out of memory\n");
            return NULL;
        }
        used += fread(data + used, 1, capacity - used - 1, f);
        if (used < capacity - 1)
            break;
        capacity *= 2;
        data = realloc(data, capacity);
    }
    const int failed = ferror(f);
    fclose(f);
    if (failed) {
        free(data);
        fprintf(stderr, "wexel-bench-minimal-loop: cannot read %s\n", path);
        return NULL;
    }
    if (used > 0 && data[used - 1] != '\n')
        data[used++] = '\n';
    *size = used;
    return data;
}

static int usage(void)
{
    fputs("usage: wexel-bench-minimal-loop [--timeout-ms N] DEVICE FILE\n", stderr);
    return 2;
}

int main(int argc, char **argv)
{
    struct link link = {.fd = -1, .timeout_ms = 10000};
    int arg = 1;
    if (arg + 1 < argc && strcmp(argv[arg], "--timeout-ms") == 0) {
        link.timeout_ms = atoi(argv[arg + 1]);
        arg += 2;
    }
    if (argc - arg != 2 || link.timeout_ms <= 0)
        return usage();
    const char *device = argv[arg];
    const char *path = argv[arg + 1];

    size_t size = 0;
    char *data = read_file(path, &size);
    if (!data)
        return 1;
    if (open_link(&link, device) != 0)
        return 1;

    size_t reply = 0;
    if (send_all(&link, "KILL\n", 5) != 0 || read_reply(&link, &reply) != 0)
        return 1;
    if (reply != 1) {
        fprintf(stderr, "wexel-bench-minimal-loop: the erase was answered with %zu bytes, not \"*\"\n", reply);
        return 1;
    }
    drop_reply(&link, reply);

    long lines = 0;
    const long long start = now_ns();
    for (const char *line = data; line < data + size;) {
        /* Each line goes out from the file's own bytes, its line feed included. */
        const char *end = memchr(line, '\n', (size_t)(data + size - line));
        const size_t length = (size_t)(end - line);
        const int is_end = length == 1 && (line[0] == 'q' || line[0] == 'Q');
        ++lines;
        if (send_all(&link, line, length + 1) != 0 || read_reply(&link, &reply) != 0) {
            fprintf(stderr, "wexel-bench-minimal-loop: line %ld failed\n", lines);
            return 1;
        }
        if (!is_end && reply != 1) {
            fprintf(stderr, "wexel-bench-minimal-loop: line %ld was refused\n", lines);
            return 1;
        }
        drop_reply(&link, reply);
        if (is_end)
            break;
        line = end + 1;
    }
    const long long elapsed = now_ns() - start;

    printf("lines %ld write_ns %lld\n", lines, elapsed);
    close(link.fd);
    free(data);
    return 0;
}
