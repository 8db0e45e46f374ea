#!/usr/bin/env python3
"""Writes the seed inputs of each fuzz target into corpus/<target>/: the
well-behaved uses each target's input format spells (a version request, a
registered PAL client, an ASIO connection, honest firmware, each model's own
descriptor), so the fuzzers start from the system's real paths."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


# root_ioctl_fuzzer: an operation byte (caller in bits 0-1, kind in bits 2-4),
# then for a request: the code's index, the length mode, the first input bytes, a patch byte.
PAL64, PAL32, ASIO64, ASIO32 = 0, 1, 2, 3
VERSION, KIND, DCP, WAIT = 0, 1, 2, 3
ASIO_VERSION, ASIO_INFO, ASIO_OPEN, ASIO_CLOSE, ASIO_CREATE, ASIO_DISPOSE = 4, 5, 6, 7, 8, 9
ASIO_START, ASIO_STOP, ASIO_SIZE, ASIO_CAN_RATE, ASIO_SET_RATE = 10, 11, 12, 13, 14


def request(caller, code, data=b"", patch=0, extra=b""):
    return bytes([caller, code, 0]) + data + bytes([patch]) + extra


def dcp(caller, index, data=b"\0" * 8):
    # 16 header bytes and 8 data bytes; patch bit 0 takes the command from the table.
    return request(caller, DCP, b"\0" * 16 + data, 1, bytes([index]))


def clock(steps):
    return bytes([5 << 2, steps])


write("root_ioctl_fuzzer", "version", request(PAL64, VERSION) + request(ASIO32, ASIO_VERSION))
write("root_ioctl_fuzzer", "pal_client",
      dcp(PAL64, 0) + dcp(PAL64, 2) + request(PAL64, WAIT) + dcp(PAL64, 3, struct.pack("<II", 96000, 0))
      + clock(4) + dcp(PAL32, 6, struct.pack("<II", 256, 0)) + dcp(PAL64, 12))
asio_open = b"\0" * 64
asio_request = b"\0" * 16
write("root_ioctl_fuzzer", "asio_connection",
      request(ASIO64, ASIO_INFO, b"\0" * 64) + request(ASIO64, ASIO_OPEN, asio_open, 2)
      + request(ASIO64, ASIO_SIZE, b"\0" * 32) + request(ASIO64, ASIO_CREATE, b"\0" * 64)
      + request(ASIO64, ASIO_START, asio_request) + clock(8) + request(ASIO64, ASIO_STOP, asio_request)
      + request(ASIO64, ASIO_DISPOSE, asio_request) + request(ASIO64, ASIO_CLOSE, asio_request))
write("root_ioctl_fuzzer", "unplug_replug", dcp(PAL64, 0) + request(PAL64, WAIT) + bytes([7 << 2]) + clock(2)
      + bytes([7 << 2, 1]) + dcp(PAL64, 2))

# socket_protocol_fuzzer: per message a byte that is not 0xFF, then the shape
# byte and the header fields (see SendOne), then the payload.
HELLO, CREATE_FILE, CLOSE, IOCTL, CANCEL, CREATE_EVENT, INTERFACES, MAPPED = range(8)
LOGGER, NOTHING, PAL, ASIO = 0, 1, 2, 3


def message(shape, kind, thread=0, handle_index=0, code_index=0, length1=0, length2=0, flags=0, tail=b""):
    head = bytes([0, shape, kind, thread, handle_index]) + struct.pack("<IQ", 0, 0)
    return head + bytes([code_index]) + struct.pack("<HH", length1, length2) + bytes([flags]) + tail


def payload(data):
    return struct.pack("<H", len(data)) + data


hello = message(0, HELLO, tail=payload(b"fuzz"))
open_pal = message(0, CREATE_FILE, tail=bytes([PAL]))
write("socket_protocol_fuzzer", "hello_version",
      hello + open_pal + message(0, IOCTL, code_index=0, length2=16, tail=payload(b"")))
write("socket_protocol_fuzzer", "logger_map",
      hello + message(0, CREATE_FILE, tail=bytes([LOGGER]))
      + message(0, IOCTL, code_index=11, length2=8, tail=payload(struct.pack("<I", 0x444E5453))))
write("socket_protocol_fuzzer", "event_and_wait",
      hello + message(1, CREATE_EVENT, flags=1, tail=payload(b"") + b"\1") + open_pal
      + message(0, IOCTL, handle_index=1, code_index=2, length2=8,
                tail=payload(struct.pack("<QHHI", 0, 0x400, 1, 0)))
      + message(0, IOCTL, thread=1, handle_index=1, code_index=3, length2=16, tail=payload(b""))
      + message(0, CANCEL, thread=1, handle_index=1, tail=payload(b"")))
write("socket_protocol_fuzzer", "interfaces",
      hello + message(0, INTERFACES, flags=1, tail=payload(bytes.fromhex("00" * 16))))

# vendor_channel_fuzzer: the model byte; then whatever the firmware and the
# operations read. Zeros are the honest firmware throughout.
write("vendor_channel_fuzzer", "honest_qe", b"\0")
write("vendor_channel_fuzzer", "honest_qk", b"\1" + b"\0" * 64)
write("vendor_channel_fuzzer", "events", b"\0" * 40 + bytes([2, 0x40, 0, 0, 0, 3, 0x21]) + b"\0" * 8)

# config_descriptor_fuzzer: the model byte, the mode byte, the edit count.
write("config_descriptor_fuzzer", "cantile_qe", bytes([0, 0, 0]))
write("config_descriptor_fuzzer", "cantile_qk", bytes([1, 0, 0]))
write("config_descriptor_fuzzer", "cut_short", bytes([0, 1, 0]) + struct.pack("<H", 60))
