"""Names of the library functions beyond the wrapper's core set, kept where earlier
versions of the package declared them: batched sample delivery, the channel table and
firmware management. The declarations themselves live in :mod:`mivo_ble.lib.native`;
the ``HAS_*`` flags say what the loaded library exports.
"""

from mivo_ble.lib.native import (
    CHANNEL_CAPACITY,
    ECHO_CAPACITY,
    HAS_BATCHED,
    HAS_CHANNEL_CONFIGURATION,
    HAS_FIRMWARE,
    IMAGE_CAPACITY,
    IMAGE_FLAG_ACTIVE,
    IMAGE_FLAG_CONFIRMED,
    IMAGE_FLAG_PENDING,
    MIVOBLE_CHANNEL_CONFIGURATION,
    MIVOBLE_IMAGE_STATE,
    DataAvailableBatchedCallback,
    UploadProgressCallback,
)

__all__ = [
    "CHANNEL_CAPACITY", "ECHO_CAPACITY", "HAS_BATCHED", "HAS_CHANNEL_CONFIGURATION", "HAS_FIRMWARE",
    "IMAGE_CAPACITY", "IMAGE_FLAG_ACTIVE", "IMAGE_FLAG_CONFIRMED", "IMAGE_FLAG_PENDING",
    "MIVOBLE_CHANNEL_CONFIGURATION", "MIVOBLE_IMAGE_STATE", "DataAvailableBatchedCallback", "UploadProgressCallback",
]
