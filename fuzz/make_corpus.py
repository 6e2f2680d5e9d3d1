#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_mculink into fuzz/corpus/.

Each seed is: one byte choosing the largest read (0 = 1 byte, 255 = 268 bytes),
one byte seeding the read sizes, then the bytes the MCU service sends.
"""
import os
import struct
import sys

KEY, VERSION_REQ, MCU_TYPE, DISCARD, CMD = 0x3316, 0x3318, 0x3358, 0x7101, 0x0211
TIME, MCU_VERSION, KEY_STUDY, BASE_DATA, RDS_TIME = 0x0C, 0x19, 0x2F, 0x39, 0x52
SIM, MCM, AUTO_TEST, UUID = 0x53, 0x54, 0x70, 0xD4


def normal(msg, p1=0, p2=0, type_=1):
    return struct.pack("<IIII", type_, msg, p1, p2)


def long_(type_, msg, data=b"", length=None):
    if length is None:
        length = 12 + len(data)
    frame = struct.pack("<IIi", type_, msg, length) + data
    return frame + b"\0" * max(0, min(length, 300) - len(frame))


def seed(stream, max_read=255, rng=1):
    return bytes([max_read, rng]) + stream


SEEDS = {
    "normal_key": seed(normal(KEY, 3, 1)),
    "normal_three_in_one_read": seed(normal(KEY, 1, 1) + normal(MCU_TYPE, 2, 7) + normal(DISCARD)),
    "normal_split_bytewise": seed(normal(KEY, 9, 0) + normal(0x1234, 5, 6), max_read=0),
    "cmd_notify_and_eject": seed(normal(CMD, 0x01, 42) + normal(CMD, 0x02, 0)),
    "version_request": seed(normal(VERSION_REQ)),
    "mcu_time_valid": seed(long_(2, TIME, b"\0" + struct.pack(">I", 1700000000))),
    "mcu_time_unset": seed(long_(2, TIME, b"\0" + struct.pack(">I", 5))),
    "rds_time": seed(long_(2, RDS_TIME, bytes([0, 12, 30]))),
    "rds_time_bad": seed(long_(2, RDS_TIME, bytes([0, 24, 60]))),
    "mcu_version": seed(long_(2, MCU_VERSION, b"\x05V1.2.3-rc")),
    "mcu_version_unterminated": seed(long_(2, MCU_VERSION, b"\x01" + b"A" * 255)),
    "key_study": seed(long_(2, KEY_STUDY, bytes(range(18)))),
    "base_data": seed(long_(2, BASE_DATA, b"\x01\x02\x03") + long_(2, 0x45, b"\x09")),
    "sim_mcm_autotest": seed(long_(2, SIM, b"s") + long_(2, MCM, b"m") + long_(2, AUTO_TEST, b"\0\x07ab")),
    "uuid": seed(long_(2, UUID, b"\0AB\0\0" + struct.pack(">I", 123456789))),
    "can_frame": seed(long_(3, 0x77, b"can-data")),
    "long_full_268": seed(long_(2, BASE_DATA, b"\xaa" * 256)),
    "long_300_cut": seed(long_(2, BASE_DATA, b"\xbb" * 288, length=300) + normal(KEY, 1, 2)),
    "unknown_type": seed(long_(7, 1, b"xyz") + normal(KEY, 4, 4)),
    "length_zero": seed(long_(2, BASE_DATA, length=0) + normal(KEY, 5, 5)),
    "length_negative": seed(struct.pack("<IIi", 2, BASE_DATA, -1) + normal(KEY, 6, 6)),
    "length_short": seed(struct.pack("<IIi", 2, BASE_DATA, 11) + normal(KEY, 7, 7)),
    "length_huge": seed(struct.pack("<IIi", 3, 1, 20000) + normal(KEY, 8, 8)),
    "length_max_buffer": seed(struct.pack("<IIi", 2, 1, 10240) + b"\0" * 500, max_read=255),
    "torn_header": seed(struct.pack("<II", 2, BASE_DATA), max_read=3),
    "garbage": seed(bytes((i * 37 + 11) & 0xFF for i in range(600)), max_read=100, rng=9),
}


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
