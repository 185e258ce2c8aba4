"""The suites' options, as CTest passes them, and the built files they name."""

import os

import pytest

from harness import kernel, machine, wine

BUILT_FILES = {
    "program": "the program under test",
    "driver": "the simulated drive, ata_test_drive.sys",
    "control": "its control helper, ata_test_control.exe",
    "launcher": "run_with_exit_code.exe, which prints a Windows program's exit code",
    "bridge": "ata_bridge.sys, physical drive 0 in front of the machine's first disk",
    "probe": "ata_command_probe, the Linux port's DeviceIoControl sending READ LOG EXT",
    "toolchain": "the build's toolchain file",
}


def pytest_addoption(parser):
    group = parser.getgroup("qorvane")
    for name, text in BUILT_FILES.items():
        group.addoption("--" + name, help=text)
    group.addoption("--source", help="the source tree, for a second build")
    group.addoption("--build-type", help="the build's CMAKE_BUILD_TYPE")
    group.addoption("--wine", default=wine.WINE64, help="the Wine loader")
    group.addoption("--kernel", choices=kernel.KERNELS, default=kernel.DEFAULT_KERNEL,
                    help="the emulated machine's Debian kernel")
    group.addoption("--cache", default=machine.DEFAULT_CACHE,
                    help="where the machine's kernels and 32-bit Wine prefix are kept")


@pytest.fixture(scope="session")
def built(pytestconfig):
    """The absolute path of the file an option names; a failure when no file
    is there, or when a required option is not given (None when another is not)."""
    def path(name, required=True):
        value = pytestconfig.getoption(name)
        if value is None:
            if required:
                pytest.fail("--%s is needed" % name.replace("_", "-"))
            return None
        if not os.path.isfile(value):
            pytest.fail("no file at %s (--%s)" % (value, name))
        return os.path.abspath(value)
    return path
