#!/usr/bin/env python3
"""Loads libZelHartDriverInterface.so as an outside program does and calls its exports.

With no driver running, a device opens (it is only not present) and a request comes back as a
failure record. With a driver, one frame goes out through the driver's socket and its answer comes
back: --fake-daemon runs the test driver that answers every request at once; --stack runs
ZelHartDriver with korvel4810-sim (unpaced) on COM201 (no real port has that number), so the frame crosses the real data link.

Usage: ctypes_test.py <library> [--fake-daemon <fake_hart_daemon> | --stack <ZelHartDriver> <korvel4810-sim>]
"""
import ctypes
import os
import subprocess
import select
import struct
import sys
import tempfile
import time


class HartMessage(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("Data", ctypes.c_uint8 * 284), ("Length", ctypes.c_uint16), ("Status", ctypes.c_uint16),
                ("RequestTag", ctypes.c_uint16), ("Error", ctypes.c_int16)]


class HartConfig(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("MasterType", ctypes.c_uint32), ("Retries", ctypes.c_uint32)]


class AppRegistryInfo(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("hWnd", ctypes.c_int32), ("Msg", ctypes.c_uint32), ("wParam", ctypes.c_int32),
                ("lParam", ctypes.c_int32)]


def check(condition, what):
    if not condition:
        print("FAILED:", what, file=sys.stderr)
        sys.exit(1)


def bind(lib):
    signatures = {
        "hart_open": [ctypes.c_char_p, ctypes.POINTER(ctypes.c_uint16)],
        "hart_configure": [ctypes.c_uint32, ctypes.POINTER(HartConfig)],
        "hart_subscribe": [ctypes.c_uint32, ctypes.c_uint32],
        "hart_register": [ctypes.c_uint32, ctypes.POINTER(AppRegistryInfo)],
        "hart_write": [ctypes.c_uint32, ctypes.POINTER(HartMessage)],
        "hart_read": [ctypes.c_uint32, ctypes.POINTER(HartMessage)],
        "hart_close": [ctypes.c_uint32],
    }
    for name, args in signatures.items():
        fn = getattr(lib, name)
        fn.argtypes = args
        fn.restype = ctypes.c_int32
    return lib


def read_record(lib, index, timeout=5.0):
    """The next record of the device, waiting for it at most `timeout` seconds."""
    record = HartMessage()
    deadline = time.monotonic() + timeout
    while True:
        rc = lib.hart_read(index, ctypes.byref(record))
        if rc != -6:
            check(rc == 0, "hart_read returned %d" % rc)
            return record
        check(time.monotonic() < deadline, "a record within %.0f s" % timeout)
        time.sleep(0.005)


def start_daemon(command, runtime):
    """Starts a program that says on a pipe (--ready-fd) when it is ready; returns the process."""
    reader, writer = os.pipe()
    env = dict(os.environ, ZELHART_RUNTIME_DIR=runtime, ZELHART_CONFIG_DIR=os.path.join(runtime, "etc"))
    process = subprocess.Popen(command + ["--ready-fd", str(writer)], env=env, pass_fds=(writer,))
    os.close(writer)
    ready, _, _ = select.select([reader], [], [], 10.0)
    line = os.read(reader, 64) if ready else b""
    os.close(reader)
    if not line:
        process.kill()
        process.wait()
        check(False, "%s became ready" % command[0])
    process.ready_line = line.decode("utf-8", "replace").strip()
    return process


def exchange_one_frame(lib, port, command):
    """HART<port> through the driver: configured as the program does, one request, its tagged answer."""
    index = ctypes.c_uint16(0xFFFF)
    check(lib.hart_open(b"HART%d" % port, ctypes.byref(index)) == 0, "open with the driver running")
    check(lib.hart_configure(index.value, HartConfig(0x00600000, 0x00060004)) == 0, "configure")
    request = HartMessage()
    frame = [0xFF] * 5 + [0x02, 0x00, command, 0x00]
    check_byte = 0
    for b in frame[5:]:
        check_byte ^= b
    request.Data[0:10] = frame + [check_byte]
    request.Length = 10
    request.RequestTag = 0x0BEE
    # The library applies the driver's arrival on its own thread, a moment after the driver became
    # ready; a request written meanwhile is not taken and comes back at once as a write failure
    # (Error -1), and a program sends it again, as this one does a few times.
    for attempt in range(5):
        check(lib.hart_write(index.value, ctypes.byref(request)) == 0, "write")
        record = read_record(lib, index.value)
        if (record.Status, record.Error) != (6, -1):
            break
        time.sleep(0.2)
    data = bytes(record.Data[0:record.Length])
    check((record.Status, record.Error, record.RequestTag) == (6, 0, 0x0BEE),
          "a slave reply tagged as the request; got %r" % ((record.Status, record.Error, record.RequestTag),))
    check(len(data) >= 5 and data[0] & 0x07 == 6 and data[1] & 0x80 == 0 and data[2] == command,
          "the reply answers the command, to the secondary master; got %s" % data.hex())
    check(lib.hart_close(index.value) == 0, "close of a device that was open")
    return data


def stop(process, what):
    process.terminate()
    check(process.wait(10) == 0, "%s stops cleanly" % what)


def main():
    args = sys.argv[1:]
    check(len(args) == 1 or (len(args) == 3 and args[1] == "--fake-daemon") or
          (len(args) == 4 and args[1] == "--stack"),
          "usage: ctypes_test.py <library> [--fake-daemon <exe> | --stack <ZelHartDriver> <korvel4810-sim>]")
    check(ctypes.sizeof(HartMessage) == 292 and ctypes.sizeof(AppRegistryInfo) == 16, "record sizes")
    with tempfile.TemporaryDirectory(prefix="zelhart-ctypes-") as runtime:
        # Private directories: no driver socket, no ports of this machine.
        os.environ["ZELHART_RUNTIME_DIR"] = runtime
        os.environ["ZELHART_CONFIG_DIR"] = os.path.join(runtime, "etc")
        lib = bind(ctypes.CDLL(sys.argv[1]))

        index = ctypes.c_uint16(0xFFFF)
        check(lib.hart_open(b"HART3", ctypes.byref(index)) == 0, "open with no driver returns 0")
        check(index.value == 0, "first index is 0")
        again = ctypes.c_uint16(0xFFFF)
        check(lib.hart_open(b"HART3", ctypes.byref(again)) == -7 and again.value == 0, "second open is -7")
        check(lib.hart_configure(index.value, HartConfig(0x00600000, 0x00060004)) == 0, "configure")
        check(lib.hart_configure(index.value, None) == -4, "configure with null")
        check(lib.hart_subscribe(256, 0x1E) == -3, "index 256")

        reader, writer = os.pipe()
        check(lib.hart_register(index.value, AppRegistryInfo(writer, 0x0401, 5, -6)) == 0, "register")
        request = HartMessage()
        request.Data[0:9] = [0xFF] * 5 + [0x82, 0x00, 0x00, 0x00]
        request.Length = 9
        request.RequestTag = 0x1234
        check(lib.hart_write(index.value, ctypes.byref(request)) == 0, "write")

        ready, _, _ = select.select([reader], [], [], 5.0)
        check(ready, "a message is posted for the record")
        check(struct.unpack("<Iii", os.read(reader, 12)) == (0x0401, 5, -6), "posted Msg, wParam, lParam")

        record = HartMessage()
        check(lib.hart_read(index.value, ctypes.byref(record)) == 0, "read")
        check((record.Length, record.Status, record.Error, record.RequestTag) == (0, 6, -1, 0x1234),
              "failure record: Length 0, Status 6, Error -1, tag echoed; got %r" %
              ((record.Length, record.Status, record.Error, record.RequestTag),))
        check(lib.hart_read(index.value, ctypes.byref(record)) == -6, "queue empty afterwards")
        check(lib.hart_close(index.value) == -1, "close of a device that was never present")
        check(lib.hart_close(index.value) == -1, "close of an empty slot")
        os.close(reader)
        os.close(writer)

        if len(args) == 3:
            daemon = start_daemon([args[2], "--device", "3"], runtime)
            try:
                exchange_one_frame(lib, 3, 0)
            finally:
                stop(daemon, "the fake daemon")
        elif len(args) == 4:
            etc = os.path.join(runtime, "etc")
            os.makedirs(etc, exist_ok=True)
            with open(os.path.join(etc, "ZelHartDriver.reg"), "w") as reg:
                reg.write("Windows Registry Editor Version 5.00\n\n"
                          "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ZelHartDriver]\n"
                          "\"QUIETTIME\"=dword:00000002\n")
            # A COM number no real port of this machine has: "COM<n> <pseudo-terminal>" on the ready line.
            sim = start_daemon([args[3], "--port", "free", "--no-pace", "--turnaround", "2"], runtime)
            try:
                port = int(sim.ready_line.split()[0][3:])
                daemon = start_daemon([args[2], "--runtime-dir", runtime, "--config-dir", etc], runtime)
                try:
                    answer = exchange_one_frame(lib, port, 0)
                    check(answer[4] == 0 and answer[6] == 254, "an identity answer: response code 0, marker 254; "
                          "got %s" % answer.hex())
                finally:
                    stop(daemon, "ZelHartDriver")
            finally:
                stop(sim, "korvel4810-sim")
    print("ctypes: all exports behave as expected")


if __name__ == "__main__":
    main()
