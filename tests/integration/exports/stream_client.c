/* A host that opens an amplifier, streams, says so on standard output ("STREAMING=1") and
 * then waits to be killed: a process that ends without closing its device. Exits 1 when
 * the open fails. Usage: stream_client <amplifier name> <log file>. */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include "mivoble/mivoble.h"

static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;
static unsigned g_rows;

static void OnRows(MIVOBLE_HANDLE handle, const float* rows, uint32_t rowCount, uint32_t width) {
    (void)handle, (void)rows, (void)width;
    pthread_mutex_lock(&g_mutex);
    g_rows += rowCount;
    pthread_cond_broadcast(&g_changed);
    pthread_mutex_unlock(&g_mutex);
}

int main(int argc, char** argv) {
    MIVOBLE_HANDLE handle = 0;
    struct timespec until;
    int streaming = 1;
    if (argc != 3) {
        fprintf(stderr, "usage: stream_client <amplifier name> <log file>\n");
        return 2;
    }
    MIVOBLE_SetLogFile(argv[2]);
    if (MIVOBLE_OpenDevice(argv[1], &handle) != MIVOBLE_OK) {
        fprintf(stderr, "open failed: %s\n", MIVOBLE_GetLastErrorText());
        return 1;
    }
    MIVOBLE_RegisterDataAvailableBatchedCallback(handle, OnRows);
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 20;
    pthread_mutex_lock(&g_mutex);
    while (g_rows < 20 && streaming) streaming = pthread_cond_timedwait(&g_changed, &g_mutex, &until) == 0;
    streaming = g_rows >= 20;
    pthread_mutex_unlock(&g_mutex);
    if (!streaming) {
        fprintf(stderr, "no rows arrived\n");
        return 1;
    }
    printf("STREAMING=1\n");
    fflush(stdout);
    for (;;) pause();
}
