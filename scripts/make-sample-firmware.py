#!/usr/bin/env python3
"""Writes samples/lumetra-sample.syx: a start message and data messages in the layout the
updater sends. The content is made up; the same run always gives the same bytes."""

import sys
from pathlib import Path

MAKER = bytes([0x00, 0x7A, 0x51])
DATA_MESSAGES = 300
DATA_MESSAGE_SIZE = 44  # F0, maker id, payload, F7: what the updater's buffer holds


def start_message() -> bytes:
    # Byte 5 = 0x71 makes it the start message; 15 bytes in all.
    body = MAKER + bytes([0x03, 0x71]) + bytes(range(1, 9))
    return bytes([0xF0]) + body + bytes([0xF7])


def data_message(index: int) -> bytes:
    payload_size = DATA_MESSAGE_SIZE - 2 - len(MAKER) - 2
    header = bytes([(index >> 7) & 0x7F, index & 0x7F])
    # A small linear congruential sequence, masked to 7 bits as SysEx data must be.
    state = index * 2654435761 & 0xFFFFFFFF
    payload = bytearray()
    for _ in range(payload_size):
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        payload.append((state >> 16) & 0x7F)
    return bytes([0xF0]) + MAKER + header + bytes(payload) + bytes([0xF7])


def main() -> int:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "samples" / "lumetra-sample.syx"
    image = start_message() + b"".join(data_message(i) for i in range(DATA_MESSAGES))
    assert len(start_message()) == 15
    assert all(len(data_message(i)) == DATA_MESSAGE_SIZE for i in range(DATA_MESSAGES))
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_bytes(image)
    print(f"{out}: {len(image)} bytes, 1 start message and {DATA_MESSAGES} data messages")
    return 0


if __name__ == "__main__":
    sys.exit(main())
