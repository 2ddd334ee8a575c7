/* mivoble: host-side library for Bluetooth LE EEG amplifiers.
 * Public C interface. Compiles as C99 and as C++. */
#ifndef MIVOBLE_MIVOBLE_H
#define MIVOBLE_MIVOBLE_H

#include <stdint.h>

/* Library version: the one place it is defined. The build, the packages and
 * MIVOBLE_GetApiVersion() ("MAJOR.MINOR.PATCH.0") all take it from here. */
#define MIVOBLE_VERSION_MAJOR 1
#define MIVOBLE_VERSION_MINOR 24
#define MIVOBLE_VERSION_PATCH 2

#if defined(MIVOBLE_BUILDING_LIBRARY)
#define MIVOBLE_API __attribute__((visibility("default")))
#else
#define MIVOBLE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint64_t MIVOBLE_HANDLE;

/* Result codes */
#define MIVOBLE_OK 0
#define MIVOBLE_ERROR_GENERAL (-1)
#define MIVOBLE_ERROR_PAYLOAD (-2)
#define MIVOBLE_ERROR_INVALID_HANDLE 1
#define MIVOBLE_ERROR_ADAPTER 2
#define MIVOBLE_ERROR_DEVICE 3
#define MIVOBLE_ERROR_INVALID_ARGUMENT 4

/* Protocol generations */
#define MIVOBLE_GENERATION_AUTO 0u
#define MIVOBLE_GENERATION_NUS 1u
#define MIVOBLE_GENERATION_LEGACY 2u

/* Connection states */
#define MIVOBLE_CONNECTION_CONNECTED 0u
#define MIVOBLE_CONNECTION_LOST 1u

/* Log levels */
#define MIVOBLE_LOG_DEBUG 0
#define MIVOBLE_LOG_INFO 1
#define MIVOBLE_LOG_WARN 2
#define MIVOBLE_LOG_ERROR 3

/* Sizes */
#define MIVOBLE_STRING_LENGTH_MAX 255
#define MIVOBLE_NUMBER_OF_CHANNELS_MAX 64
#define MIVOBLE_DEVICENAME_LENGTH_MAX 15

/* Frame numbers in a row's counter column run from 0 to this value - 1, then start again at 0
 * (see the data callbacks below). */
#define MIVOBLE_FRAME_COUNTER_MODULUS 16777216u

/* 1344 bytes */
typedef struct MIVOBLE_DEVICE_INFORMATION {
    char modelNumber[MIVOBLE_STRING_LENGTH_MAX];          /* 0 */
    char serialNumber[MIVOBLE_STRING_LENGTH_MAX];         /* 255 */
    char firmwareRevision[MIVOBLE_STRING_LENGTH_MAX];     /* 510 */
    char hardwareRevision[MIVOBLE_STRING_LENGTH_MAX];     /* 765 */
    char manufacturerName[MIVOBLE_STRING_LENGTH_MAX];     /* 1020 */
    uint8_t channelTypes[MIVOBLE_NUMBER_OF_CHANNELS_MAX]; /* 1275 */
    uint8_t reserved0;                                    /* 1339, keeps the next field aligned */
    uint16_t numberOfAcquiredChannels;                    /* 1340 */
    uint16_t samplingRate;                                /* 1342 */
} MIVOBLE_DEVICE_INFORMATION;

/* 8 bytes */
typedef struct MIVOBLE_CHANNEL_CONFIGURATION {
    uint16_t id;   /* 0 */
    uint8_t type;  /* 2 */
    uint8_t index; /* 3 */
    float scale;   /* 4 */
} MIVOBLE_CHANNEL_CONFIGURATION;

/* Image state flags */
#define MIVOBLE_IMAGE_FLAG_CONFIRMED 0x01u
#define MIVOBLE_IMAGE_FLAG_PENDING 0x02u
#define MIVOBLE_IMAGE_FLAG_ACTIVE 0x04u

/* 72 bytes */
typedef struct MIVOBLE_IMAGE_STATE {
    uint8_t slot;        /* 0 */
    uint8_t flags;       /* 1 */
    char version[32];    /* 2 */
    uint8_t hash[32];    /* 34 */
    uint8_t reserved[6]; /* 66 */
} MIVOBLE_IMAGE_STATE;

typedef void (*DeviceDiscoveredCallback)(const char* names, uint32_t count);
typedef void (*DeviceListChangedCallback)(uint32_t count);
/*
 * Threads. Every function may be called from any thread, at the same time as any other.
 * Each open device has its own lane of Bluetooth work, and scanning one more: the radio
 * steps of one device run one at a time, in the order its calls made them, while those of
 * different devices run side by side. So a slow, failing or hung operation of one
 * amplifier (a reconnect, a connect to an amplifier out of range, a firmware upload) does
 * not hold up the calls of another, and several threads may open different amplifiers at
 * once; two threads opening the same name get the same handle from one connection.
 * When a step of one device overruns its time budget by far, that device's Bluetooth work
 * fails at once from then on, with MIVOBLE_ERROR_DEVICE and "Bluetooth worker thread is
 * unresponsive; restart required.", and closing it leaves it allocated; the other devices
 * go on as before.
 *
 * Data callbacks (DataAvailableCallback, DataAvailableBatchedCallback) run one at a time per
 * device and hold up that device's stream while they run. They usually run on the thread that
 * delivers the device's sample notifications; see below for the two other threads.
 *
 * Every row decoded from the amplifier's samples is delivered once and in order. Rows waiting
 * in a partly filled batch are never thrown away: they go, as a batch of fewer rows, to the
 * batched callback that collected them
 * - when MIVOBLE_RegisterDataAvailableCallback or MIVOBLE_RegisterDataAvailableBatchedCallback
 *   is called for the device (another callback, the same one again, or NULL): on the calling
 *   thread, before the registration takes effect and returns. Registrations that callback
 *   makes while it gets those rows are superseded by the call under way;
 * - when MIVOBLE_SetActiveLayout sets a layout: on the calling thread, before the layout takes
 *   effect, so that no batch mixes rows of two layouts (from inside a data callback: on the
 *   notification thread, when the payload under way is done);
 * - when the link is lost: on the device's reconnect thread, before MIVOBLE_CONNECTION_LOST is
 *   reported, so the connection-state callback sees the loss after the last row of the link.
 * So a data callback may run inside a registration or layout call, on the thread that makes
 * it, and on the reconnect thread; the calls it may make are the same on every thread.
 * MIVOBLE_SetFramesPerCallback delivers nothing itself: a batch under way completes at the new
 * size, or with all its rows at the next row when the setting was lowered below the rows
 * already waiting. MIVOBLE_CloseDevice ends the stream at once: rows still waiting in a batch
 * are not delivered.
 *
 * Counter column. On an amplifier that sends a sample counter (a channel of type 5, counting
 * payloads from 1), that column holds the frame number of the row: consecutive rows count on
 * by one, modulo MIVOBLE_FRAME_COUNTER_MODULUS (2^24): after 16777215 comes 0. Every value of
 * a whole-number counter is exactly representable in a float, for any recording length and
 * any number of frames per payload. Samples lost between two payloads are delivered as filled-
 * in rows (valid flag 0.0): copies of the row before, whose counter counts on, so the column
 * never jumps forward silently; a jump larger than the sampling rate (1000 without one), or a
 * counter that goes back, is delivered as it is. The column starts over where the amplifier
 * starts a new stream (at 1, for an amplifier that counts each subscription from 1): with the
 * first rows after MIVOBLE_CONNECTION_LOST (a new link), and with the first rows after a
 * registration that follows a NULL registration (a new subscription). Frames to which the
 * amplifier's payload layout gives no counter value keep the value they hold (0).
 *
 * Calls a data callback may make:
 *
 * - At once, as from any thread: MIVOBLE_GetApiVersion, MIVOBLE_GetLastErrorText,
 *   MIVOBLE_SetDefaultGeneration, MIVOBLE_GetDefaultGeneration, MIVOBLE_Log,
 *   MIVOBLE_SetLogFile, MIVOBLE_GetLogFile, MIVOBLE_GetDiscoveredDeviceCount,
 *   MIVOBLE_GetDiscoveredDeviceName, MIVOBLE_GetDeviceInformation,
 *   MIVOBLE_GetChannelConfiguration, MIVOBLE_SetFramesPerCallback and
 *   MIVOBLE_RegisterConnectionStateCallback, for any device.
 * - For the device whose rows it receives, taking effect when the callback returns:
 *   MIVOBLE_RegisterDataAvailableCallback and MIVOBLE_RegisterDataAvailableBatchedCallback
 *   (the next row goes to the new callback; registering NULL delivers no further row and the
 *   stream is stopped on another thread); MIVOBLE_SetActiveLayout (checked at once and
 *   returns 0 or -1 as usual; the layout applies from the next sample payload on).
 *   For another device these three fail with MIVOBLE_ERROR_INVALID_ARGUMENT and
 *   "<function> cannot be called from a data callback of another device.".
 * - MIVOBLE_CloseDevice, for any device: returns 0 and clears the handle at once; no row is
 *   delivered under that handle any more, and the device is closed on another thread once
 *   the callback has returned.
 * - Everything that waits for the Bluetooth worker or for an answer from an amplifier fails
 *   at once with MIVOBLE_ERROR_INVALID_ARGUMENT and "<function> cannot be called from a data
 *   callback.": MIVOBLE_OpenDevice, MIVOBLE_Shutdown, MIVOBLE_StartScanning,
 *   MIVOBLE_StopScanning, MIVOBLE_RegisterDeviceDiscoveredCallback,
 *   MIVOBLE_RegisterDeviceListChangedCallback, MIVOBLE_SendFrame and the image management
 *   calls (MIVOBLE_ListImages, MIVOBLE_UploadImage, MIVOBLE_TestImage, MIVOBLE_ConfirmImage,
 *   MIVOBLE_EraseImage, MIVOBLE_ResetDevice, MIVOBLE_Echo). Make them from another thread.
 *
 * The connection-state callback runs on the device's own reconnect thread, not on a
 * notification thread, and these rules do not bind it; closing its own device from there
 * leaves the device object allocated for the rest of the process.
 */
typedef void (*DataAvailableCallback)(MIVOBLE_HANDLE handle, const float* row, uint32_t width);
typedef void (*DataAvailableBatchedCallback)(MIVOBLE_HANDLE handle, const float* rows, uint32_t rowCount,
                                             uint32_t width);
typedef void (*ConnectionStateCallback)(MIVOBLE_HANDLE handle, uint32_t state);
typedef void (*UploadProgressCallback)(MIVOBLE_HANDLE handle, uint32_t offset, uint32_t total, void* userData);

MIVOBLE_API const char* MIVOBLE_GetApiVersion(void);
MIVOBLE_API const char* MIVOBLE_GetLastErrorText(void);
MIVOBLE_API int32_t MIVOBLE_SetDefaultGeneration(uint32_t generation);
MIVOBLE_API int32_t MIVOBLE_GetDefaultGeneration(void);

MIVOBLE_API int32_t MIVOBLE_StartScanning(void);
MIVOBLE_API int32_t MIVOBLE_StopScanning(void);
MIVOBLE_API int32_t MIVOBLE_GetDiscoveredDeviceCount(void);
MIVOBLE_API int32_t MIVOBLE_GetDiscoveredDeviceName(uint32_t index, char* buffer, uint32_t size);
MIVOBLE_API int32_t MIVOBLE_RegisterDeviceDiscoveredCallback(DeviceDiscoveredCallback callback);
MIVOBLE_API int32_t MIVOBLE_RegisterDeviceListChangedCallback(DeviceListChangedCallback callback);

MIVOBLE_API int32_t MIVOBLE_OpenDevice(const char* name, MIVOBLE_HANDLE* handle);
MIVOBLE_API int32_t MIVOBLE_CloseDevice(MIVOBLE_HANDLE* handle);
MIVOBLE_API int32_t MIVOBLE_Shutdown(void);

MIVOBLE_API int32_t MIVOBLE_GetDeviceInformation(MIVOBLE_HANDLE handle, MIVOBLE_DEVICE_INFORMATION* info);
MIVOBLE_API int32_t MIVOBLE_GetChannelConfiguration(MIVOBLE_HANDLE handle, MIVOBLE_CHANNEL_CONFIGURATION* channels,
                                                    uint32_t* channelCount);
MIVOBLE_API int32_t MIVOBLE_RegisterDataAvailableCallback(MIVOBLE_HANDLE handle, DataAvailableCallback callback);
MIVOBLE_API int32_t MIVOBLE_RegisterDataAvailableBatchedCallback(MIVOBLE_HANDLE handle,
                                                                 DataAvailableBatchedCallback callback);
MIVOBLE_API int32_t MIVOBLE_SetFramesPerCallback(MIVOBLE_HANDLE handle, uint32_t frames);
MIVOBLE_API int32_t MIVOBLE_RegisterConnectionStateCallback(MIVOBLE_HANDLE handle, ConnectionStateCallback callback);

MIVOBLE_API int32_t MIVOBLE_SendFrame(MIVOBLE_HANDLE handle, uint8_t command, const uint8_t* payload,
                                      uint16_t payloadLength, uint8_t* status, uint8_t* response,
                                      uint16_t* responseLength, uint32_t timeoutMs);
MIVOBLE_API int32_t MIVOBLE_SetActiveLayout(MIVOBLE_HANDLE handle, uint8_t channelCount, uint16_t framesPerPayload,
                                            uint8_t bytesPerSample, uint8_t littleEndian, uint16_t samplingRate);

MIVOBLE_API int32_t MIVOBLE_ListImages(MIVOBLE_HANDLE handle, MIVOBLE_IMAGE_STATE* images, uint32_t* count);
MIVOBLE_API int32_t MIVOBLE_UploadImage(MIVOBLE_HANDLE handle, const uint8_t* data, uint32_t size, uint32_t unused,
                                        UploadProgressCallback progress, void* userData);
MIVOBLE_API int32_t MIVOBLE_TestImage(MIVOBLE_HANDLE handle, const uint8_t* hash);
MIVOBLE_API int32_t MIVOBLE_ConfirmImage(MIVOBLE_HANDLE handle);
MIVOBLE_API int32_t MIVOBLE_EraseImage(MIVOBLE_HANDLE handle);
MIVOBLE_API int32_t MIVOBLE_ResetDevice(MIVOBLE_HANDLE handle);
MIVOBLE_API int32_t MIVOBLE_Echo(MIVOBLE_HANDLE handle, const char* message, char* response, uint32_t* responseSize);

MIVOBLE_API void MIVOBLE_Log(int32_t level, const char* sourceFile, int32_t line, const char* function,
                             const char* message);
MIVOBLE_API int32_t MIVOBLE_SetLogFile(const char* path);
MIVOBLE_API int32_t MIVOBLE_GetLogFile(char* buffer, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif /* MIVOBLE_MIVOBLE_H */
