/* Times one dlopen of a library from a plain C process and counts the shared objects that came
 * with it. Prints "<milliseconds> <objects>", and with -v the objects' paths after. One process
 * per measurement: a second dlopen of the same library in one process costs nothing. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

static int count_object(struct dl_phdr_info* info, size_t size, void* count) {
    (void)info;
    (void)size;
    ++*(int*)count;
    return 0;
}

static int print_object(struct dl_phdr_info* info, size_t size, void* skip) {
    (void)size;
    if (--*(int*)skip < 0) printf("  %s\n", info->dlpi_name);
    return 0;
}

int main(int argc, char** argv) {
    const int verbose = argc > 2 && strcmp(argv[1], "-v") == 0;
    const char* path = argv[argc - 1];
    int before = 0, after = 0;
    dl_iterate_phdr(count_object, &before);
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    if (!handle) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    dl_iterate_phdr(count_object, &after);
    printf("%.3f %d\n", (t1.tv_sec - t0.tv_sec) * 1e3 + (t1.tv_nsec - t0.tv_nsec) / 1e6,
           after - before);
    if (verbose) dl_iterate_phdr(print_object, &before);
    return 0;
}
