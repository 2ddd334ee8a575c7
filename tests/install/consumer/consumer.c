/* A host program built outside the mivoble tree against an installed mivoble: prints the
 * version, opens a simulated amplifier and streams a few rows. */
#include <mivoble/mivoble.h>
#include <pthread.h>
#include <stdio.h>
#include <time.h>

enum { kWantedRows = 50 };

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static unsigned rows;

static void on_rows(MIVOBLE_HANDLE handle, const float* data, uint32_t count, uint32_t width) {
    (void)handle;
    (void)data;
    (void)width;
    pthread_mutex_lock(&lock);
    rows += count;
    pthread_cond_signal(&changed);
    pthread_mutex_unlock(&lock);
}

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "MV-2401.00.01";
    printf("mivoble %s\n", MIVOBLE_GetApiVersion());
    MIVOBLE_HANDLE handle = 0;
    if (MIVOBLE_OpenDevice(name, &handle) != MIVOBLE_OK) {
        fprintf(stderr, "open failed: %s\n", MIVOBLE_GetLastErrorText());
        return 1;
    }
    if (MIVOBLE_RegisterDataAvailableBatchedCallback(handle, on_rows) != MIVOBLE_OK) {
        fprintf(stderr, "stream failed: %s\n", MIVOBLE_GetLastErrorText());
        return 1;
    }
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 10;
    pthread_mutex_lock(&lock);
    while (rows < kWantedRows && pthread_cond_timedwait(&changed, &lock, &deadline) == 0) {
    }
    unsigned streamed = rows;
    pthread_mutex_unlock(&lock);
    MIVOBLE_CloseDevice(&handle);
    MIVOBLE_Shutdown();
    printf("rows %u\n", streamed);
    return streamed >= kWantedRows ? 0 : 1;
}
