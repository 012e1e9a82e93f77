/* A BBS small enough to try a door over a socket: it listens on the
 * loopback address, greets each caller as a telnet BBS does, writes a
 * DOOR32.SYS for the caller's node and starts the door on the socket.
 *
 * Run as: loopback_bbs [-p PORT] [-u NAME] [-n] [-1] DOOR [ARGS...]
 * then call it with: telnet 127.0.0.1 PORT
 *
 *   -p PORT  the port to listen on; 0 (the default) takes a free one
 *   -u NAME  the caller's name in the drop file (default: guest)
 *   -n       negotiate nothing, as a bare socket: the door must settle the
 *            client's mode itself
 *   -1       take one call, then end with the door's exit status
 *
 * Each call is a caller of its own: the drop file's record number counts
 * the calls from 1, so that doors keyed by record number tell two callers
 * apart. Each caller gets the lowest free node, 1 to 8, and the folder nodeN in
 * the working folder for the drop file. An argument {} is replaced by the
 * drop file's path; without one, the path is the door's last argument. The
 * door runs in the working folder, with the socket as descriptor 3. */
#define _POSIX_C_SOURCE 200809L
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

enum { max_nodes = 8, max_args = 64, door_fd = 3 };

/* A port in network byte order and back, without htons and ntohs: strict
 * POSIX builds on NetBSD do not declare them. */
static in_port_t port_bytes(int port) {
    unsigned char bytes[2] = {(unsigned char)(port >> 8), (unsigned char)port};
    in_port_t value;
    memcpy(&value, bytes, sizeof value);
    return value;
}

static int port_of_bytes(in_port_t value) {
    unsigned char bytes[2];
    memcpy(bytes, &value, sizeof bytes);
    return bytes[0] << 8 | bytes[1];
}

static pid_t nodes[max_nodes + 1]; /* the door running on each node, 0 when free */

/* WILL ECHO, WILL SGA: the client leaves line mode; DO NAWS: it tells its
 * window size; DO TTYPE and the request: its answer must never reach the
 * door as keys. */
static const unsigned char greeting[] = {255, 251, 1,  255, 251, 3,  255, 253, 31,
                                         255, 253, 24, 255, 250, 24, 1,   255, 240};

static int listen_on(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    int on = 1;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    (void)inet_pton(AF_INET, "127.0.0.1",
                    &addr.sin_addr); /* no INADDR_LOOPBACK in strict C on FreeBSD */
    addr.sin_port = port_bytes(port);
    if (fd < 0) return -1;
    (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

static int port_of(int fd) {
    struct sockaddr_in addr;
    socklen_t size = sizeof addr;
    if (getsockname(fd, (struct sockaddr*)&addr, &size) != 0) return -1;
    return port_of_bytes(addr.sin_port);
}

/* nodeN/DOOR32.SYS: a telnet call on descriptor 3, ANSI, an hour left. */
static int write_drop_file(int node, long record, const char* name, char* path, size_t size) {
    char folder[32];
    snprintf(folder, sizeof folder, "node%d", node);
    if (mkdir(folder, 0755) != 0 && errno != EEXIST) return -1;
    snprintf(path, size, "%s/DOOR32.SYS", folder);
    FILE* f = fopen(path, "w");
    if (!f) return -1;
    fprintf(f, "2\r\n%d\r\n38400\r\nLoopback BBS\r\n%ld\r\n%s\r\n%s\r\n100\r\n60\r\n1\r\n%d\r\n",
            door_fd, record, name, name, node);
    return fclose(f) == 0 ? 0 : -1;
}

/* In the child: the socket becomes descriptor 3 and the standard streams
 * lead nowhere, so that the door talks through the socket; standard error
 * stays on the BBS's terminal. The door replaces us. */
static void run_door(int caller, char** door, const char* drop_file) {
    char* argv[max_args + 2];
    int n = 0, replaced = 0;
    for (; door[n] && n < max_args; ++n) {
        argv[n] = strcmp(door[n], "{}") == 0 ? (char*)drop_file : door[n];
        replaced |= argv[n] == drop_file;
    }
    if (!replaced) argv[n++] = (char*)drop_file;
    argv[n] = NULL;
    int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0) _exit(127);
    if (caller != door_fd && (dup2(caller, door_fd) < 0 || close(caller) != 0)) _exit(127);
    if (null > door_fd) close(null);
    (void)setsid(); /* the BBS's terminal is not the caller's */
    execvp(argv[0], argv);
    fprintf(stderr, "loopback_bbs: %s: %s\n", argv[0], strerror(errno));
    _exit(127);
}

static int exit_level(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

/* Says which doors have ended and frees their nodes. */
static void reap(void) {
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
        for (int node = 1; node <= max_nodes; ++node)
            if (nodes[node] == pid) {
                nodes[node] = 0;
                printf("node %d: the door ended with exit level %d\n", node, exit_level(status));
                fflush(stdout);
            }
}

static int free_node(void) {
    for (int node = 1; node <= max_nodes; ++node)
        if (nodes[node] == 0) return node;
    return 0;
}

static int answer(int listener, char** door, const char* name, int negotiate) {
    static long calls;
    int caller = accept(listener, NULL, NULL);
    if (caller < 0) return errno == EINTR ? 0 : -1;
    int node = free_node();
    char drop_file[64];
    if (node == 0) {
        static const char busy[] = "Every node is busy; call again later.\r\n";
        (void)!write(caller, busy, sizeof busy - 1);
        close(caller);
        return 0;
    }
    if ((negotiate && write(caller, greeting, sizeof greeting) != (ssize_t)sizeof greeting) ||
        write_drop_file(node, ++calls, name, drop_file, sizeof drop_file) != 0) {
        fprintf(stderr, "loopback_bbs: node %d: %s\n", node, strerror(errno));
        close(caller);
        return 0;
    }
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) run_door(caller, door, drop_file);
    close(caller);
    if (pid < 0) return -1;
    nodes[node] = pid;
    printf("node %d: %s called (record %ld)\n", node, name, calls);
    fflush(stdout);
    return pid;
}

int main(int argc, char** argv) {
    int port = 0, negotiate = 1, once = 0, opt;
    const char* name = "guest";
    while ((opt = getopt(argc, argv, "+p:u:n1")) != -1) {
        switch (opt) {
        case 'p': port = atoi(optarg); break;
        case 'u': name = optarg; break;
        case 'n': negotiate = 0; break;
        case '1': once = 1; break;
        default: optind = argc + 1; break;
        }
    }
    if (optind >= argc || argc - optind > max_args || port < 0 || port > 65535 ||
        strlen(name) > 30 || strcspn(name, "\r\n") != strlen(name)) {
        fprintf(stderr, "usage: loopback_bbs [-p PORT] [-u NAME] [-n] [-1] DOOR [ARGS...]\n");
        return 2;
    }
    int listener = listen_on(port);
    if (listener < 0) {
        fprintf(stderr, "loopback_bbs: cannot listen on 127.0.0.1 port %d: %s\n", port,
                strerror(errno));
        return 1;
    }
    printf("loopback_bbs: call it with: telnet 127.0.0.1 %d\n", port_of(listener));
    fflush(stdout);
    for (;;) {
        struct pollfd wait_for_caller = {listener, POLLIN, 0};
        reap();
        if (poll(&wait_for_caller, 1, 500) <= 0) continue;
        pid_t pid = answer(listener, argv + optind, name, negotiate);
        if (pid < 0) {
            fprintf(stderr, "loopback_bbs: %s\n", strerror(errno));
            return 1;
        }
        if (once && pid > 0) {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            printf("node 1: the door ended with exit level %d\n", exit_level(status));
            return exit_level(status);
        }
    }
}
