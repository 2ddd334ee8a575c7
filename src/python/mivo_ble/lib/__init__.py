"""Native binding of mivo_ble: library location and the ctypes wrapper."""
