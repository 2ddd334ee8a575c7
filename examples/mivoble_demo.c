/*
 * mivoble demo: open an amplifier, stream for a few seconds, print a summary, close.
 *
 *   mivoble_demo [name [seconds]]
 *
 * Runs on the simulated radio unless MIVOBLE_BACKEND says otherwise, and logs to a file
 * under /tmp unless MIVOBLE_LOG_FILE names one.
 */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "mivoble/mivoble.h"

#define FIRST_ROWS_SHOWN 3
#define MAX_WIDTH MIVOBLE_NUMBER_OF_CHANNELS_MAX

/* Filled on the library's notification thread, read by main: guarded by the mutex. */
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static unsigned long long g_rows = 0;
static unsigned long long g_synthesised = 0;
static unsigned long long g_batches = 0;
static uint32_t g_width = 0;
static float g_first[FIRST_ROWS_SHOWN][MAX_WIDTH];
static unsigned g_firstCount = 0;
static unsigned g_lost = 0, g_reconnected = 0;

static void OnRows(MIVOBLE_HANDLE handle, const float* rows, uint32_t rowCount, uint32_t width) {
    (void)handle;
    pthread_mutex_lock(&g_lock);
    g_width = width;
    ++g_batches;
    for (uint32_t r = 0; r < rowCount; ++r) {
        const float* row = rows + (size_t)r * width;
        if (width > 0 && row[width - 1] == 0.0f) ++g_synthesised;
        if (g_firstCount < FIRST_ROWS_SHOWN && width <= MAX_WIDTH) {
            memcpy(g_first[g_firstCount++], row, width * sizeof(float));
        }
    }
    g_rows += rowCount;
    pthread_mutex_unlock(&g_lock);
}

static void OnConnectionState(MIVOBLE_HANDLE handle, uint32_t state) {
    pthread_mutex_lock(&g_lock);
    if (state == MIVOBLE_CONNECTION_LOST) ++g_lost;
    if (state == MIVOBLE_CONNECTION_CONNECTED) ++g_reconnected;
    pthread_mutex_unlock(&g_lock);
    fprintf(stderr, "handle %llu: %s\n", (unsigned long long)handle,
            state == MIVOBLE_CONNECTION_LOST ? "link lost, reconnecting" : "link back");
}

static double Now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int Fail(const char* what, int32_t code) {
    fprintf(stderr, "%s failed (%d): %s\n", what, (int)code, MIVOBLE_GetLastErrorText());
    return 1;
}

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "MV-2401.00.01";
    double seconds = argc > 2 ? atof(argv[2]) : 5.0;
    if (seconds <= 0.0) {
        fprintf(stderr, "usage: %s [name [seconds]]\n", argv[0]);
        return 2;
    }

    /* Both are read by the library's first call. */
    setenv("MIVOBLE_BACKEND", "sim", 0);
    const char* logFile = getenv("MIVOBLE_LOG_FILE");
    char defaultLog[64];
    if (!logFile || !*logFile) {
        snprintf(defaultLog, sizeof defaultLog, "/tmp/mivoble_demo_%ld.log", (long)getpid());
        logFile = defaultLog;
    }
    MIVOBLE_SetLogFile(logFile);

    printf("mivoble %s, opening '%s' (backend %s, log %s)\n", MIVOBLE_GetApiVersion(), name, getenv("MIVOBLE_BACKEND"),
           logFile);

    MIVOBLE_HANDLE handle = 0;
    int32_t rc = MIVOBLE_OpenDevice(name, &handle);
    if (rc != MIVOBLE_OK) {
        Fail("MIVOBLE_OpenDevice", rc);
        MIVOBLE_Shutdown();
        return 1;
    }

    MIVOBLE_DEVICE_INFORMATION info;
    memset(&info, 0, sizeof info);
    if ((rc = MIVOBLE_GetDeviceInformation(handle, &info)) != MIVOBLE_OK) Fail("MIVOBLE_GetDeviceInformation", rc);
    printf("opened handle %llu: %s, serial %s, firmware %s, %u values per row at %u Hz\n", (unsigned long long)handle,
           info.modelNumber, info.serialNumber, info.firmwareRevision, (unsigned)info.numberOfAcquiredChannels,
           (unsigned)info.samplingRate);

    MIVOBLE_RegisterConnectionStateCallback(handle, OnConnectionState);
    MIVOBLE_SetFramesPerCallback(handle, 16);
    if ((rc = MIVOBLE_RegisterDataAvailableBatchedCallback(handle, OnRows)) != MIVOBLE_OK) {
        Fail("MIVOBLE_RegisterDataAvailableBatchedCallback", rc);
        MIVOBLE_CloseDevice(&handle);
        MIVOBLE_Shutdown();
        return 1;
    }

    const double start = Now();
    struct timespec tick = {0, 100 * 1000 * 1000};
    while (Now() - start < seconds) nanosleep(&tick, NULL); /* the demo just waits while rows arrive */
    MIVOBLE_RegisterDataAvailableBatchedCallback(handle, NULL);
    const double elapsed = Now() - start;

    pthread_mutex_lock(&g_lock);
    printf("streamed %.1f s: %llu rows in %llu batches, %llu synthesised (valid flag 0), %.1f rows/s\n", elapsed,
           g_rows, g_batches, g_synthesised, elapsed > 0 ? (double)g_rows / elapsed : 0.0);
    if (g_lost || g_reconnected) printf("link lost %u time(s), back %u time(s)\n", g_lost, g_reconnected);
    for (unsigned r = 0; r < g_firstCount; ++r) {
        printf("row %u:", r);
        for (uint32_t c = 0; c < g_width; ++c) printf(" %.1f", g_first[r][c]);
        printf("\n");
    }
    const int gotRows = g_rows > 0;
    pthread_mutex_unlock(&g_lock);

    if ((rc = MIVOBLE_CloseDevice(&handle)) != MIVOBLE_OK) Fail("MIVOBLE_CloseDevice", rc);
    if ((rc = MIVOBLE_Shutdown()) != MIVOBLE_OK) Fail("MIVOBLE_Shutdown", rc);
    if (!gotRows) {
        fprintf(stderr, "no rows arrived\n");
        return 1;
    }
    return 0;
}
