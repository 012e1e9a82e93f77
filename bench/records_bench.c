/* The shared record file under load: how long a node waits for the lock
 * while another node writes without pause, and what one update costs.
 * Prints rows of the benchmark's table. Usage: records_bench folder */
#include <OpenDoor.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

static int by_value(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

static bool add_one(void* record, void* context) {
    (void)context;
    ++*(long long*)record;
    return true;
}

int main(int argc, char* argv[]) {
    if (argc != 2) {
        fprintf(stderr, "usage: records_bench folder\n");
        return 2;
    }
    char path[4096];
    snprintf(path, sizeof path, "%s/bench.dat", argv[1]);
    unlink(path);
    tODRecords* file = od_records_open(path, 386);
    if (!file) return 1;
    enum { samples = 100 };
    double took[samples];
    char record[386] = {0};
    for (int i = 0; i < samples; i++) {
        double start = now_ms();
        if (od_records_update(file, 1, record, add_one, NULL) != 0) return 1;
        took[i] = now_ms() - start;
    }
    qsort(took, samples, sizeof took[0], by_value);
    printf("| one od_records_update of a 386-byte record, no other node, median (ms) | %.3f |\n",
           took[samples / 2]);

    /* The writer holds the lock through its synced writes and takes it
     * again at once. */
    pid_t writer = fork();
    if (writer == 0) {
        tODRecords* own = od_records_open(path, 386);
        char mine[386] = {0};
        while (own && od_records_update(own, 0, mine, add_one, NULL) == 0) {
        }
        _exit(1);
    }
    usleep(100000);
    int failed = 0;
    for (int i = 0; i < samples; i++) {
        usleep(1000 + (unsigned)(rand() % 5000));
        double start = now_ms();
        failed += od_records_read(file, 1, record) != 0;
        took[i] = now_ms() - start;
    }
    kill(writer, SIGKILL);
    waitpid(writer, NULL, 0);
    qsort(took, samples, sizeof took[0], by_value);
    printf("| a read's wait for the lock while another node writes without pause, median / worst "
           "of %d (ms), %d not served in 5 s | %.3f / %.3f |\n",
           samples, failed, took[samples / 2], took[samples - 1]);
    od_records_close(file);
    unlink(path);
    return 0;
}
