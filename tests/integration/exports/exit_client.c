/* A host that returns from main without closing its device or shutting the library down,
 * while the library is busy: streaming, a long operation on another thread, a reconnect, an
 * open. The process must end with status 0 every time; run_exit_client.cmake checks the
 * status and what the exit left in the log. Usage: exit_client <scenario> <log file>. */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "mivoble/mivoble.h"

static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;
static unsigned g_rows;
static unsigned g_losses;
static unsigned g_helperStarted;
static MIVOBLE_HANDLE g_handle;

static void OnRow(MIVOBLE_HANDLE handle, const float* row, uint32_t width) {
    (void)handle, (void)row, (void)width;
    pthread_mutex_lock(&g_mutex);
    ++g_rows;
    pthread_cond_broadcast(&g_changed);
    pthread_mutex_unlock(&g_mutex);
}

static void OnState(MIVOBLE_HANDLE handle, uint32_t state) {
    (void)handle;
    pthread_mutex_lock(&g_mutex);
    if (state == MIVOBLE_CONNECTION_LOST) ++g_losses;
    pthread_cond_broadcast(&g_changed);
    pthread_mutex_unlock(&g_mutex);
}

static void OnList(uint32_t count) { (void)count; }
static void OnDiscovered(const char* names, uint32_t count) { (void)names, (void)count; }

/* Waits until *counter reaches at least `target` (at most 20 s). */
static int WaitFor(const unsigned* counter, unsigned target) {
    struct timespec until;
    int ok = 1;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 20;
    pthread_mutex_lock(&g_mutex);
    while (*counter < target && ok) ok = pthread_cond_timedwait(&g_changed, &g_mutex, &until) == 0;
    ok = *counter >= target;
    pthread_mutex_unlock(&g_mutex);
    return ok;
}

static void MarkHelperStarted(void) {
    pthread_mutex_lock(&g_mutex);
    g_helperStarted = 1;
    pthread_cond_broadcast(&g_changed);
    pthread_mutex_unlock(&g_mutex);
}

/* Long operations, left running when main returns (the simulator never answers them). */
static void* SendFrame(void* unused) {
    uint8_t status = 0, response[16];
    uint16_t length = sizeof response;
    (void)unused;
    MarkHelperStarted();
    MIVOBLE_SendFrame(g_handle, 0x01, (const uint8_t*)"x", 1, &status, response, &length, 60000);
    return NULL;
}

static void* ListImages(void* unused) {
    MIVOBLE_IMAGE_STATE images[2];
    uint32_t count = 2;
    (void)unused;
    MarkHelperStarted();
    MIVOBLE_ListImages(g_handle, images, &count);
    return NULL;
}

static void* OpenAnother(void* unused) {
    MIVOBLE_HANDLE other = 0;
    (void)unused;
    MarkHelperStarted();
    MIVOBLE_OpenDevice("MV-2402.00.02", &other);
    return NULL;
}

/* Waits until the log holds `text` (at most 20 s): how this host learns that the Bluetooth
 * worker is stuck in its operation. */
static int WaitForLogLine(const char* path, const char* text) {
    static char content[1 << 20];
    struct timespec pause = {0, 20 * 1000 * 1000};
    int round;
    for (round = 0; round < 1000; ++round) {
        FILE* file = fopen(path, "r");
        size_t n = 0;
        if (file != NULL) {
            n = fread(content, 1, sizeof content - 1, file);
            fclose(file);
        }
        content[n] = '\0';
        if (strstr(content, text) != NULL) return 1;
        nanosleep(&pause, NULL);
    }
    return 0;
}

struct Scenario {
    const char* name;
    const char* sim;        /* MIVOBLE_SIM; the device opened is always MV-2402.00.01 */
    void* (*helper)(void*); /* a long operation on another thread, or NULL */
    int waitForLoss;        /* return right after the link loss was reported */
    const char* waitForLog; /* return once the log holds this, or NULL */
};

static const struct Scenario kScenarios[] = {
    {"stream", "MV-2402.00.01,rate=1000", NULL, 0, NULL},
    /* The worker is stuck in the hung write when main returns. */
    {"frame", "MV-2402.00.01,gen=nus,hang=WriteValueAsync:6E400002-B5A3-F393-E0A9-E50E24DCCA9E", SendFrame, 0,
     "executor: 'Write' still pending"},
    {"smp", "MV-2402.00.01,rate=1000,hang=WriteValueAsync:DA2E7828-FBCE-4E01-AE9E-261174997C48", ListImages, 0,
     "executor: 'Write' still pending"},
    /* A reconnect (teardown, scanning, service discovery) is under way when main returns. */
    {"reconnect", "MV-2402.00.01,rate=1000,drop_every=3000,delay=GetGattServicesAsync:200", NULL, 1, NULL},
    /* Another open is stuck in its service discovery. */
    {"open", "MV-2402.00.01,rate=1000;MV-2402.00.02,hang=GetGattServicesAsync", OpenAnother, 0,
     "executor: 'DiscoverServices' still pending"},
};

int main(int argc, char** argv) {
    const struct Scenario* scenario = NULL;
    size_t i;
    pthread_t helper;
    if (argc != 3) return 2;
    for (i = 0; i < sizeof kScenarios / sizeof kScenarios[0]; ++i) {
        if (strcmp(kScenarios[i].name, argv[1]) == 0) scenario = &kScenarios[i];
    }
    if (scenario == NULL) return 2;
    setenv("MIVOBLE_SIM", scenario->sim, 1);
    if (MIVOBLE_SetLogFile(argv[2]) != MIVOBLE_OK) return 3;

    if (MIVOBLE_RegisterDeviceListChangedCallback(OnList) != MIVOBLE_OK ||
        MIVOBLE_RegisterDeviceDiscoveredCallback(OnDiscovered) != MIVOBLE_OK || MIVOBLE_StartScanning() != MIVOBLE_OK ||
        MIVOBLE_OpenDevice("MV-2402.00.01", &g_handle) != MIVOBLE_OK) {
        fprintf(stderr, "%s: %s\n", scenario->name, MIVOBLE_GetLastErrorText());
        return 4;
    }
    if (MIVOBLE_RegisterConnectionStateCallback(g_handle, OnState) != MIVOBLE_OK) return 5;
    if (MIVOBLE_RegisterDataAvailableCallback(g_handle, OnRow) != MIVOBLE_OK) return 5;
    if (strcmp(scenario->name, "frame") != 0 && !WaitFor(&g_rows, 10)) return 6;
    if (scenario->helper != NULL) {
        if (pthread_create(&helper, NULL, scenario->helper, NULL) != 0) return 7;
        pthread_detach(helper);
        if (!WaitFor(&g_helperStarted, 1)) return 8;
    }
    if (scenario->waitForLoss && !WaitFor(&g_losses, 1)) return 9;
    if (scenario->waitForLog != NULL && !WaitForLogLine(argv[2], scenario->waitForLog)) return 10;
    printf("%s: returning from main\n", scenario->name);
    return 0;
}
