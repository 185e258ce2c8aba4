"""Reading and writing whole files."""

import os


def read(path, mode="r"):
    """The file's text (mode "r") or bytes ("rb"); empty when it is not there."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        data = b""
    return data if mode == "rb" else data.decode(errors="replace")


def write(path, data):
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)


def tree(folder):
    """Every file below `folder`, its bytes by its path relative to the folder."""
    found = {}
    for parent, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(parent, name)
            found[os.path.relpath(path, folder)] = read(path, "rb")
    return found
