"""Builds MCUboot images in the layout the amplifiers accept: header, body, SHA-256 TLV trailer."""
import hashlib
import struct

IMAGE_MAGIC = 0x96F3B83D
TLV_INFO_MAGIC = 0x6907
TLV_SHA256 = 0x0010


def build_image(version=(2, 1, 0, 0), body=b"firmware" * 300):
    major, minor, revision, build = version
    header = struct.pack("<IIHHII", IMAGE_MAGIC, 0, 32, 0, len(body), 0)
    header += struct.pack("<BBHI", major, minor, revision, build) + b"\0" * 4
    digest = hashlib.sha256(header + body).digest()
    trailer = struct.pack("<HH", TLV_INFO_MAGIC, 4 + 36) + struct.pack("<HH", TLV_SHA256, 32) + digest
    return header + body + trailer, digest
