/*
 * threads_per_slave: a host program in plain C with one thread per slave, as ecdevice.h
 * allows (several threads at once, each on a slave of its own).
 *
 * After Init, every thread loops on its slave s:
 *   SdoRead(s, 0x4001, 0, ...) with a 200 ms timeout: 1200 bytes, byte i is i & 0xFF
 *   (ecsim --object all:0x4001:0:ro-octets:1200);
 *   FPRead(s, 0x0010, 2, ...) with a 10 ms timeout: the station address, 0x1000 + s.
 * A call that reports success must return exactly that; anything else is a wrong
 * success. Calls that report failure are counted apart.
 *
 *   threads_per_slave [SECONDS]     (default 10)
 *
 * Prints per slave and in total: calls, failures and wrong successes, and the longest
 * call of each kind against its timeout. Exit status 1 on any wrong success, 2 when
 * Init finds no slave or the argument is bad, else 0.
 */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "ecdevice.h"

#define OBJECT_INDEX 0x4001
#define OBJECT_BYTES 1200
#define SDO_TIMEOUT_US 200000
#define FP_TIMEOUT_US 10000
#define MAX_THREADS 64

struct worker {
    pthread_t thread;
    int slave;
    double seconds;
    long sdo_calls, sdo_failed, sdo_wrong;
    long fp_calls, fp_failed, fp_wrong;
    long sdo_max_us, fp_max_us;
};

static long now_us(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long)t.tv_sec * 1000000L + t.tv_nsec / 1000L;
}

static void* run(void* argument) {
    struct worker* w = (struct worker*)argument;
    static const int capacity = 2048;
    unsigned char data[2048];
    long end = now_us() + (long)(w->seconds * 1e6);
    int reported = 0;
    while (now_us() < end) {
        int size = capacity;
        int i, result;
        long start, elapsed;
        memset(data, 0xA5, sizeof(data));
        start = now_us();
        result = SdoRead(w->slave, OBJECT_INDEX, 0, 0, &size, data, SDO_TIMEOUT_US);
        elapsed = now_us() - start;
        if (elapsed > w->sdo_max_us) w->sdo_max_us = elapsed;
        w->sdo_calls++;
        if (result <= 0) {
            w->sdo_failed++;
        } else {
            int bad = size != OBJECT_BYTES;
            for (i = 0; !bad && i < OBJECT_BYTES; i++) bad = data[i] != (unsigned char)(i & 0xFF);
            if (bad) {
                w->sdo_wrong++;
                if (reported++ < 5)
                    fprintf(stderr, "wrong: slave %d SdoRead 0x%04x: result %d, size %d, bytes %02x %02x %02x %02x\n",
                            w->slave, OBJECT_INDEX, result, size, data[0], data[1], data[2], data[3]);
            }
        }

        memset(data, 0xA5, 2);
        start = now_us();
        result = FPRead(w->slave, 0x0010, 2, data, FP_TIMEOUT_US);
        elapsed = now_us() - start;
        if (elapsed > w->fp_max_us) w->fp_max_us = elapsed;
        w->fp_calls++;
        if (result <= 0) {
            w->fp_failed++;
        } else if ((data[0] | (data[1] << 8)) != 0x1000 + w->slave) {
            w->fp_wrong++;
            if (reported++ < 5)
                fprintf(stderr, "wrong: slave %d FPRead 0x0010: result %d, station address 0x%04x\n", w->slave,
                        result, data[0] | (data[1] << 8));
        }
    }
    return NULL;
}

int main(int argc, char** argv) {
    double seconds = 10.0;
    struct worker workers[MAX_THREADS];
    long sdo_calls = 0, sdo_failed = 0, sdo_wrong = 0, fp_calls = 0, fp_failed = 0, fp_wrong = 0;
    long sdo_max = 0, fp_max = 0;
    int slaves, n;
    if (argc > 2 || (argc == 2 && (seconds = atof(argv[1])) <= 0)) {
        fprintf(stderr, "usage: threads_per_slave [SECONDS]\n");
        return 2;
    }
    slaves = Init();
    if (slaves <= 0) {
        printf("init found no slaves\n");
        return 2;
    }
    if (slaves > MAX_THREADS) slaves = MAX_THREADS;
    memset(workers, 0, sizeof(workers));
    for (n = 0; n < slaves; n++) {
        workers[n].slave = n + 1;
        workers[n].seconds = seconds;
        if (pthread_create(&workers[n].thread, NULL, run, &workers[n]) != 0) {
            fprintf(stderr, "cannot start thread %d\n", n + 1);
            return 2;
        }
    }
    for (n = 0; n < slaves; n++) pthread_join(workers[n].thread, NULL);
    Deinit();

    for (n = 0; n < slaves; n++) {
        struct worker* w = &workers[n];
        printf("slave %d: sdo calls=%ld failed=%ld wrong=%ld max_ms=%.1f; fp calls=%ld failed=%ld wrong=%ld max_ms=%.1f\n",
               w->slave, w->sdo_calls, w->sdo_failed, w->sdo_wrong, w->sdo_max_us / 1000.0, w->fp_calls, w->fp_failed,
               w->fp_wrong, w->fp_max_us / 1000.0);
        sdo_calls += w->sdo_calls;
        sdo_failed += w->sdo_failed;
        sdo_wrong += w->sdo_wrong;
        fp_calls += w->fp_calls;
        fp_failed += w->fp_failed;
        fp_wrong += w->fp_wrong;
        if (w->sdo_max_us > sdo_max) sdo_max = w->sdo_max_us;
        if (w->fp_max_us > fp_max) fp_max = w->fp_max_us;
    }
    printf("total calls=%ld failed=%ld wrong=%ld\n", sdo_calls + fp_calls, sdo_failed + fp_failed, sdo_wrong + fp_wrong);
    printf("longest sdo=%.1f ms (timeout %d ms) fp=%.1f ms (timeout %d ms)\n", sdo_max / 1000.0, SDO_TIMEOUT_US / 1000,
           fp_max / 1000.0, FP_TIMEOUT_US / 1000);
    return sdo_wrong + fp_wrong == 0 ? 0 : 1;
}
