"""The suites' options, as CTest passes them, and the built files they name."""

import os

import pytest

from harness import kernel, machine, wine

OPTIONS = {
    "program": "the program under test",
    "driver": "the simulated drive, ata_test_drive.sys",
    "control": "its control helper, ata_test_control.exe",
    "launcher": "run_with_exit_code.exe, which prints a Windows program's exit code",
    "bridge": "ata_bridge.sys, drive 0 in front of the emulated machine's disk",
    "probe": "ata_command_probe, which sends READ LOG EXT through the Linux port",
    "source": "the source tree, for a second build",
    "toolchain": "the build's toolchain file",
    "build-type": "the build's CMAKE_BUILD_TYPE",
}


def pytest_addoption(parser):
    group = parser.getgroup("qorvane")
    for name, text in OPTIONS.items():
        group.addoption("--" + name, help=text)
    group.addoption("--wine", default=wine.WINE64, help="the Wine loader")
    group.addoption("--kernel", choices=kernel.KERNELS, default=kernel.DEFAULT_KERNEL)
    group.addoption("--cache", default=machine.DEFAULT_CACHE,
                    help="where the emulated machine's kernels and Wine prefix stay")


@pytest.fixture(scope="session")
def built(pytestconfig):
    """The absolute path of the file an option names. Fails when no file is
    there, or when a required option is missing; None for another."""
    def path(name, required=True):
        value = pytestconfig.getoption(name)
        if value is None and not required:
            return None
        if value is None or not os.path.isfile(value):
            pytest.fail("no file at %s (--%s)" % (value, name))
        return os.path.abspath(value)
    return path


@pytest.fixture(scope="session")
def program(built):
    return built("program")
