/* A stand-in for libmivoble that exports the functions the Python binding uses,
 * records how it was called and lets a test drive its callbacks. Built three
 * times: complete, without the connection-state export, and without the frame
 * exports, so the binding's guards for older libraries can be exercised. */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "mivoble/mivoble.h"

#define STANDIN_API __attribute__((visibility("default")))

enum {
    CALL_OPEN,
    CALL_CLOSE,
    CALL_SHUTDOWN,
    CALL_INFO,
    CALL_START_SCAN,
    CALL_STOP_SCAN,
    CALL_REG_DISCOVERED,
    CALL_REG_DATA,
    CALL_REG_STATE,
    CALL_SEND_FRAME,
    CALL_SET_LAYOUT,
    CALL_COUNT
};

static const char* const call_names[CALL_COUNT] = {"OpenDevice",
                                                   "CloseDevice",
                                                   "Shutdown",
                                                   "GetDeviceInformation",
                                                   "StartScanning",
                                                   "StopScanning",
                                                   "RegisterDeviceDiscoveredCallback",
                                                   "RegisterDataAvailableCallback",
                                                   "RegisterConnectionStateCallback",
                                                   "SendFrame",
                                                   "SetActiveLayout"};

/* Python calls in here without its interpreter lock, from several threads:
 * every function holds this lock for its whole body (GUARD), except while it
 * calls a registered callback. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static pthread_mutex_t* lock_guard(void) {
    pthread_mutex_lock(&lock);
    return &lock;
}

static void unlock_guard(pthread_mutex_t** held) { pthread_mutex_unlock(*held); }

#define GUARD pthread_mutex_t* guard __attribute__((cleanup(unlock_guard), unused)) = lock_guard()

static int calls[CALL_COUNT];
static int32_t next_status[CALL_COUNT];
static char next_text[CALL_COUNT][256];
static _Thread_local char last_error[256];

static MIVOBLE_HANDLE next_handle = 1;
static MIVOBLE_DEVICE_INFORMATION device_info;
static DeviceDiscoveredCallback discovered_cb;
static DataAvailableCallback data_cb;
static ConnectionStateCallback state_cb;
static MIVOBLE_HANDLE last_handle_arg;

/* SendFrame: what arrived and what to answer. */
static uint8_t frame_command;
static int frame_payload_null;
static uint16_t frame_payload_length;
static uint8_t frame_payload[1024];
static uint32_t frame_timeout;
static uint16_t frame_capacity;
static uint8_t reply_status;
static uint8_t reply_payload[512];
static uint16_t reply_length;

/* SetActiveLayout: the arguments received. */
static uint32_t layout_args[5];

static int find_call(const char* name) {
    for (int i = 0; i < CALL_COUNT; ++i) {
        if (strcmp(call_names[i], name) == 0) {
            return i;
        }
    }
    return -1;
}

/* Counts the call and returns the scripted status (setting the error text), or 0. */
static int32_t enter(int call) {
    ++calls[call];
    int32_t status = next_status[call];
    if (status != 0) {
        if (next_text[call][0] != '\0') {
            snprintf(last_error, sizeof last_error, "%s", next_text[call]);
        }
        next_status[call] = 0;
        next_text[call][0] = '\0';
    }
    return status;
}

/* ------------------------------------------------------------- control */

STANDIN_API int standin_calls(const char* name) {
    GUARD;
    int call = find_call(name);
    return call < 0 ? -1 : calls[call];
}

/* The next call of `name` returns `status`; a non-empty `text` becomes the last-error text. */
STANDIN_API int standin_fail_next(const char* name, int32_t status, const char* text) {
    GUARD;
    int call = find_call(name);
    if (call < 0) {
        return -1;
    }
    next_status[call] = status;
    snprintf(next_text[call], sizeof next_text[call], "%s", text ? text : "");
    return 0;
}

STANDIN_API void standin_set_last_error(const char* text) { snprintf(last_error, sizeof last_error, "%s", text); }

/* Fills the record through the C field names, so a binding whose record layout
 * differs from the library's reads wrong values. */
STANDIN_API void standin_fill_device_information(const char* model, const char* serial, const char* firmware,
                                                 const char* hardware, const char* maker, const uint8_t* types,
                                                 uint32_t typeCount, uint16_t acquired, uint16_t rate) {
    GUARD;
    memset(&device_info, 0, sizeof device_info);
    snprintf(device_info.modelNumber, sizeof device_info.modelNumber, "%s", model);
    snprintf(device_info.serialNumber, sizeof device_info.serialNumber, "%s", serial);
    snprintf(device_info.firmwareRevision, sizeof device_info.firmwareRevision, "%s", firmware);
    snprintf(device_info.hardwareRevision, sizeof device_info.hardwareRevision, "%s", hardware);
    snprintf(device_info.manufacturerName, sizeof device_info.manufacturerName, "%s", maker);
    for (uint32_t i = 0; i < typeCount && i < MIVOBLE_NUMBER_OF_CHANNELS_MAX; ++i) {
        device_info.channelTypes[i] = types[i];
    }
    device_info.numberOfAcquiredChannels = acquired;
    device_info.samplingRate = rate;
}

STANDIN_API MIVOBLE_HANDLE standin_last_handle(void) {
    GUARD;
    return last_handle_arg;
}

STANDIN_API int standin_emit_discovered(const char* slots, uint32_t count) {
    pthread_mutex_lock(&lock);
    DeviceDiscoveredCallback callback = discovered_cb;
    pthread_mutex_unlock(&lock);
    if (!callback) {
        return -1;
    }
    callback(slots, count);
    return 0;
}

STANDIN_API int standin_emit_row(MIVOBLE_HANDLE handle, const float* row, uint32_t width) {
    pthread_mutex_lock(&lock);
    DataAvailableCallback callback = data_cb;
    pthread_mutex_unlock(&lock);
    if (!callback) {
        return -1;
    }
    callback(handle, row, width);
    return 0;
}

STANDIN_API int standin_emit_state(MIVOBLE_HANDLE handle, uint32_t state) {
    pthread_mutex_lock(&lock);
    ConnectionStateCallback callback = state_cb;
    pthread_mutex_unlock(&lock);
    if (!callback) {
        return -1;
    }
    callback(handle, state);
    return 0;
}

STANDIN_API void standin_set_frame_reply(uint8_t status, const uint8_t* payload, uint16_t length) {
    GUARD;
    reply_status = status;
    reply_length = length > sizeof reply_payload ? (uint16_t)sizeof reply_payload : length;
    if (reply_length) {
        memcpy(reply_payload, payload, reply_length);
    }
}

/* Copies the last request: command, payload-was-null flag, length, timeout, response capacity, payload bytes. */
STANDIN_API void standin_last_frame(uint32_t* fields, uint8_t* payload, uint32_t size) {
    GUARD;
    fields[0] = frame_command;
    fields[1] = (uint32_t)frame_payload_null;
    fields[2] = frame_payload_length;
    fields[3] = frame_timeout;
    fields[4] = frame_capacity;
    uint32_t n = frame_payload_length < size ? frame_payload_length : size;
    if (n > sizeof frame_payload) {
        n = sizeof frame_payload;
    }
    memcpy(payload, frame_payload, n);
}

STANDIN_API void standin_last_layout(uint32_t* args) {
    GUARD;
    memcpy(args, layout_args, sizeof layout_args);
}

/* ------------------------------------------------------- library surface */

MIVOBLE_API const char* MIVOBLE_GetApiVersion(void) { return "0.0.0-stand-in"; }

MIVOBLE_API const char* MIVOBLE_GetLastErrorText(void) { return last_error; }

MIVOBLE_API int32_t MIVOBLE_StartScanning(void) {
    GUARD;
    return enter(CALL_START_SCAN);
}

MIVOBLE_API int32_t MIVOBLE_StopScanning(void) {
    GUARD;
    return enter(CALL_STOP_SCAN);
}

MIVOBLE_API int32_t MIVOBLE_RegisterDeviceDiscoveredCallback(DeviceDiscoveredCallback callback) {
    GUARD;
    int32_t status = enter(CALL_REG_DISCOVERED);
    if (status == 0) {
        discovered_cb = callback;
    }
    return status;
}

MIVOBLE_API int32_t MIVOBLE_OpenDevice(const char* name, MIVOBLE_HANDLE* handle) {
    GUARD;
    int32_t status = enter(CALL_OPEN);
    if (status == 0) {
        (void)name;
        *handle = next_handle++;
    }
    return status;
}

MIVOBLE_API int32_t MIVOBLE_CloseDevice(MIVOBLE_HANDLE* handle) {
    GUARD;
    int32_t status = enter(CALL_CLOSE);
    last_handle_arg = *handle;
    *handle = 0;
    return status;
}

MIVOBLE_API int32_t MIVOBLE_Shutdown(void) {
    GUARD;
    return enter(CALL_SHUTDOWN);
}

MIVOBLE_API int32_t MIVOBLE_GetDeviceInformation(MIVOBLE_HANDLE handle, MIVOBLE_DEVICE_INFORMATION* info) {
    GUARD;
    int32_t status = enter(CALL_INFO);
    last_handle_arg = handle;
    if (status == 0) {
        *info = device_info;
    }
    return status;
}

MIVOBLE_API int32_t MIVOBLE_RegisterDataAvailableCallback(MIVOBLE_HANDLE handle, DataAvailableCallback callback) {
    GUARD;
    int32_t status = enter(CALL_REG_DATA);
    last_handle_arg = handle;
    if (status == 0) {
        data_cb = callback;
    }
    return status;
}

#ifndef STANDIN_NO_CONNECTION_STATE
MIVOBLE_API int32_t MIVOBLE_RegisterConnectionStateCallback(MIVOBLE_HANDLE handle, ConnectionStateCallback callback) {
    GUARD;
    int32_t status = enter(CALL_REG_STATE);
    last_handle_arg = handle;
    if (status == 0) {
        state_cb = callback;
    }
    return status;
}
#endif

#ifndef STANDIN_NO_FRAMES
MIVOBLE_API int32_t MIVOBLE_SendFrame(MIVOBLE_HANDLE handle, uint8_t command, const uint8_t* payload,
                                      uint16_t payloadLength, uint8_t* status, uint8_t* response,
                                      uint16_t* responseLength, uint32_t timeoutMs) {
    GUARD;
    int32_t result = enter(CALL_SEND_FRAME);
    last_handle_arg = handle;
    frame_command = command;
    frame_payload_null = payload == NULL;
    frame_payload_length = payloadLength;
    frame_timeout = timeoutMs;
    frame_capacity = responseLength ? *responseLength : 0;
    if (payload) {
        memcpy(frame_payload, payload, payloadLength < sizeof frame_payload ? payloadLength : sizeof frame_payload);
    }
    if (result != 0) {
        return result;
    }
    if (status) {
        *status = reply_status;
    }
    if (responseLength && response) {
        uint16_t n = *responseLength < reply_length ? *responseLength : reply_length;
        memcpy(response, reply_payload, n);
        *responseLength = n;
    }
    return 0;
}

MIVOBLE_API int32_t MIVOBLE_SetActiveLayout(MIVOBLE_HANDLE handle, uint8_t channelCount, uint16_t framesPerPayload,
                                            uint8_t bytesPerSample, uint8_t littleEndian, uint16_t samplingRate) {
    GUARD;
    int32_t result = enter(CALL_SET_LAYOUT);
    last_handle_arg = handle;
    layout_args[0] = channelCount;
    layout_args[1] = framesPerPayload;
    layout_args[2] = bytesPerSample;
    layout_args[3] = littleEndian;
    layout_args[4] = samplingRate;
    if (result == 0) {
        device_info.samplingRate = samplingRate;
    }
    return result;
}
#endif
