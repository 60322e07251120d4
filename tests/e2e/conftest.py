"""Fixtures of the end-to-end tests: the binary under test (--binary or the
NARUP_BINARY environment variable), a starter of runs that never leaves one
behind, and an environment that reaches no sound server."""
import os
import subprocess

import pytest

import sound_server
import tool


def pytest_addoption(parser):
    parser.addoption("--binary", default=os.environ.get("NARUP_BINARY"),
                     help="the narup-capture binary (default: $NARUP_BINARY)")


def pytest_configure(config):
    config.addinivalue_line("markers", "float_mic: needs a microphone stream in float32 "
                                       "(run with NARUP_FLOAT_MIC=1)")
    config.addinivalue_line("markers", "recover: needs the spool and --recover")


def pytest_collection_modifyitems(config, items):
    for item in items:
        if "float_mic" in item.keywords and os.environ.get("NARUP_FLOAT_MIC") != "1":
            item.add_marker(pytest.mark.skip(reason="the microphone is not asked for float32 yet"))


@pytest.fixture(scope="session")
def binary(pytestconfig):
    path = pytestconfig.getoption("--binary")
    assert path and os.access(path, os.X_OK), "give the binary with --binary or NARUP_BINARY"
    return os.path.abspath(path)


@pytest.fixture(scope="session")
def has_recover(binary, tmp_path_factory):
    """Whether the usage names --recover. A binary without a usage takes --help
    for an output path and records: it is stopped, away from any server."""
    folder = str(tmp_path_factory.mktemp("help"))
    proc = subprocess.Popen([binary, "--help"], cwd=folder, env=sound_server.clean_env(folder),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        return "--recover" in proc.communicate(timeout=3)[0]
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        return False


@pytest.fixture
def start(binary, tmp_path):
    """start(args, env, out=None) -> a running tool.Run; killed at teardown."""
    runs = []

    def begin(args, env, out=None):
        runs.append(tool.Run(binary, args, env, str(tmp_path), out))
        return runs[-1]
    yield begin
    for r in runs:
        r.kill()


@pytest.fixture
def no_server(tmp_path):
    """An environment whose server socket does not exist."""
    folder = tmp_path / "no-server"
    folder.mkdir()
    return dict(sound_server.clean_env(str(folder)), PULSE_SERVER="unix:%s/none" % folder)
