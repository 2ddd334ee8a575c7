/* A C99 host program built against the public header and linked with the shared library. */
#include <stdio.h>
#include <string.h>

#include "mivoble/mivoble.h"

int main(void) {
    const char* version = MIVOBLE_GetApiVersion();
    MIVOBLE_HANDLE handle = 5;
    if (version == NULL || strcmp(version, "1.24.2.0") != 0) {
        fprintf(stderr, "unexpected version %s\n", version ? version : "(null)");
        return 1;
    }
    if (MIVOBLE_SetDefaultGeneration(3) != MIVOBLE_ERROR_INVALID_ARGUMENT) {
        fprintf(stderr, "generation 3 accepted\n");
        return 1;
    }
    if (MIVOBLE_CloseDevice(&handle) != MIVOBLE_ERROR_INVALID_HANDLE || handle != 0 ||
        strcmp(MIVOBLE_GetLastErrorText(), "Invalid device handle.") != 0) {
        fprintf(stderr, "close of an unknown handle: %s\n", MIVOBLE_GetLastErrorText());
        return 1;
    }
    printf("mivoble %s\n", version);
    return 0;
}
