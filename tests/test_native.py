"""Builds and runs the C++ table tests of the value model and the store."""

import shutil
import subprocess

import pytest

from conftest import ROOT


def test_native_value_tables(tmp_path_factory):
    if not shutil.which("cmake"):
        pytest.skip("cmake is not installed")
    build = ROOT / "build" / "native-tests"
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DWQ_NATIVE_TESTS=ON",
                    "-DCMAKE_BUILD_TYPE=Debug"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "--target", "value_tests"], check=True, capture_output=True)
    run = subprocess.run([str(build / "value_tests")], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout
