/* Rows lost without a trace while an application changes its data callback during streaming.
 *
 * Streams from one simulated amplifier through the public C interface and, every `period` ms,
 * re-registers the batched callback (mode `reregister`), switches between the per-row and the
 * batched callback (`switch`), or re-registers and changes the frames per callback (`frames`).
 * The counter column must count on by one from row to row (filled-in rows count on too; a new
 * link starts again at 1): every step forward by more than one is a silent hole. Prints the
 * rows, the registrations, the holes and the rows they left out. Not a timed test.
 *
 *   row_order_bench [reregister|switch|frames] [seconds=8] [period ms=11]
 *   MIVOBLE_SIM   the amplifier (default MV-2401.00.01,rate=1000: 8 channels, then the counter,
 *                 battery and valid columns); add drop_every=700 for link losses
 */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "mivoble/mivoble.h"

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static unsigned long long rows, filled, holes, missing, back, losses;
static int haveLast, newLink;
static float last;

static void Check(const float* row, uint32_t width) {
    /* The counter follows the signal channels; battery and valid come last. */
    const float counter = row[width - 3];
    ++rows;
    if (row[width - 1] == 0.0f) ++filled;
    if (haveLast && !(newLink && counter == 1.0f)) {
        if (counter > last + 1.0f) {
            ++holes;
            missing += (unsigned long long)(counter - last - 1.0f);
        } else if (counter != last + 1.0f) {
            ++back;
        }
    }
    haveLast = 1;
    newLink = 0;
    last = counter;
}

static void OnRow(MIVOBLE_HANDLE handle, const float* row, uint32_t width) {
    (void)handle;
    pthread_mutex_lock(&lock);
    Check(row, width);
    pthread_mutex_unlock(&lock);
}

static void OnRows(MIVOBLE_HANDLE handle, const float* batch, uint32_t count, uint32_t width) {
    (void)handle;
    pthread_mutex_lock(&lock);
    for (uint32_t r = 0; r < count; ++r) Check(batch + (size_t)r * width, width);
    pthread_mutex_unlock(&lock);
}

static void OnState(MIVOBLE_HANDLE handle, uint32_t state) {
    (void)handle;
    pthread_mutex_lock(&lock);
    if (state == MIVOBLE_CONNECTION_LOST) {
        ++losses;
        newLink = 1;
    }
    pthread_mutex_unlock(&lock);
}

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "reregister";
    const double seconds = argc > 2 ? atof(argv[2]) : 8.0;
    const long period = argc > 3 ? atol(argv[3]) : 11;
    if (strcmp(mode, "reregister") != 0 && strcmp(mode, "switch") != 0 && strcmp(mode, "frames") != 0) {
        fprintf(stderr, "usage: row_order_bench [reregister|switch|frames] [seconds] [period ms]\n");
        return 2;
    }
    setenv("MIVOBLE_BACKEND", "sim", 0);
    setenv("MIVOBLE_SIM", "MV-2401.00.01,rate=1000", 0);

    MIVOBLE_HANDLE h = 0;
    if (MIVOBLE_OpenDevice("MV-2401.00.01", &h) != MIVOBLE_OK ||
        MIVOBLE_RegisterConnectionStateCallback(h, OnState) != MIVOBLE_OK ||
        MIVOBLE_RegisterDataAvailableBatchedCallback(h, OnRows) != MIVOBLE_OK) {
        fprintf(stderr, "row_order_bench: %s\n", MIVOBLE_GetLastErrorText());
        return 1;
    }
    static const uint32_t frames[] = {4, 8, 16, 2, 5};
    unsigned long long registrations = 0, failed = 0;
    const struct timespec pause = {0, period * 1000000L};
    const double end = Now() + seconds;
    for (unsigned step = 0; Now() < end; ++step) {
        nanosleep(&pause, NULL);
        int32_t result;
        if (strcmp(mode, "switch") == 0) {
            result = step % 2 ? MIVOBLE_RegisterDataAvailableBatchedCallback(h, OnRows)
                              : MIVOBLE_RegisterDataAvailableCallback(h, OnRow);
        } else {
            if (strcmp(mode, "frames") == 0 && step % 2) MIVOBLE_SetFramesPerCallback(h, frames[step / 2 % 5]);
            result = MIVOBLE_RegisterDataAvailableBatchedCallback(h, OnRows);
        }
        ++registrations;
        if (result != MIVOBLE_OK) ++failed;
    }
    MIVOBLE_CloseDevice(&h);
    pthread_mutex_lock(&lock);
    printf(
        "%s, %.0f s, every %ld ms: %llu rows (%llu filled in), %llu registrations (%llu failed), %llu link losses; "
        "%llu silent holes (%llu rows), %llu steps back or repeats\n",
        mode, seconds, period, rows, filled, registrations, failed, losses, holes, missing, back);
    pthread_mutex_unlock(&lock);
    MIVOBLE_Shutdown();
    return 0;
}
