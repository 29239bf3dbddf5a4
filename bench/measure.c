/* measure COMMAND [ARGS]: runs the command once with its output discarded and
 * prints "WALL_SECONDS CPU_SECONDS PEAK_KIB". A process inherits the peak
 * resident size of whatever forked it, so the fork comes from this small
 * program rather than from the Python runner. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: measure COMMAND [ARGS]\n");
        return 2;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return 2;
    clock_gettime(CLOCK_MONOTONIC, &end);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "measure: %s failed (status %d)\n", argv[1], status);
        return 1;
    }
    double wall = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    double cpu = (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    printf("%.6f %.6f %ld\n", wall, cpu, usage.ru_maxrss);
    return 0;
}
