#!/usr/bin/env python3
"""rotolog example: writes and reads a cyclic file from Python through
librotolog.so with ctypes.

Usage: cyclic_file_ctypes.py [LIBROTOLOG] [FILE]
LIBROTOLOG defaults to librotolog.so.0 next to the build (build/release/...)
or the one the dynamic loader finds; FILE to cyclic_file_ctypes.cyclic in the
system's temporary directory.
"""
import ctypes
import os
import sys
import tempfile

MODE_READ, MODE_WRITE = 1, 2


def find_library():
    here = os.path.dirname(os.path.abspath(__file__))
    for candidate in (
        os.path.join(here, "..", "build", "release", "lib", "librotolog.so.0"),
        os.path.join(here, "librotolog.so.0"),
    ):
        if os.path.exists(candidate):
            return candidate
    return "librotolog.so.0"  # installed: the loader's search path


def load(path):
    lib = ctypes.CDLL(path)
    handle, text = ctypes.c_void_p, ctypes.c_char_p
    signatures = {
        "cyclic_file_create_handle": (handle, [text, ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]),
        "cyclic_file_destroy_handle": (None, [handle]),
        "cyclic_file_write": (ctypes.c_int, [handle, ctypes.c_char_p, ctypes.c_int]),
        "cyclic_file_read_all": (ctypes.c_int, [handle, ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_int)]),
        "cyclic_file_free_read_buffer": (None, [handle, ctypes.c_void_p]),
        "cyclic_file_get_error_string": (text, [ctypes.c_int]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(lib, name)
        function.restype, function.argtypes = result, arguments
    return lib


def main():
    lib = load(sys.argv[1] if len(sys.argv) > 1 else find_library())
    path = sys.argv[2] if len(sys.argv) > 2 else os.path.join(tempfile.gettempdir(), "cyclic_file_ctypes.cyclic")
    if os.path.exists(path):
        os.unlink(path)

    status = ctypes.c_int(0)
    file = lib.cyclic_file_create_handle(path.encode(), MODE_READ | MODE_WRITE, 4096, ctypes.byref(status))
    if not file:
        sys.exit(f"{path}: {lib.cyclic_file_get_error_string(status.value).decode()}")
    try:
        messages = [f"event {i} from python\n".encode() for i in range(3)]
        for message in messages:
            rc = lib.cyclic_file_write(file, message, len(message))
            if rc != 0:
                sys.exit(f"write: {lib.cyclic_file_get_error_string(rc).decode()}")

        block, length = ctypes.c_void_p(), ctypes.c_int(0)
        count = lib.cyclic_file_read_all(file, ctypes.byref(block), ctypes.byref(length))
        if count < 0:
            sys.exit(f"read: {lib.cyclic_file_get_error_string(count).decode()}")
        # The block is the library's: copy the bytes out, then give it back.
        data = ctypes.string_at(block, length.value) if block.value else b""
        lib.cyclic_file_free_read_buffer(file, block)
    finally:
        lib.cyclic_file_destroy_handle(file)

    print(f"{count} messages, {len(data)} bytes:")
    print(data.decode(), end="")
    if count != len(messages) or data != b"".join(messages):
        sys.exit("read back something other than what was written")


if __name__ == "__main__":
    main()
