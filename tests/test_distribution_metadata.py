"""The installed distribution's metadata against the package it installed."""
import importlib.metadata
import subprocess
import sys

import tavro_kiln


def test_version_is_the_installed_distributions():
    # Differs when the tests import a package other than the one installed.
    assert tavro_kiln.__version__ == importlib.metadata.version("tavro_kiln")


def test_version_needs_neither_numpy_nor_the_native_modules():
    code = ("import sys, tavro_kiln; tavro_kiln.__version__;"
            "print(sorted(m for m in sys.modules if m.split('.')[0] == 'numpy'"
            " or m.startswith('tavro_kiln.core')))")
    result = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                            timeout=60)
    assert result.stdout.strip() == "[]", result.stdout + result.stderr


def test_distribution_carries_the_licence():
    distribution = importlib.metadata.distribution("tavro_kiln")
    assert distribution.metadata["License-Expression"] == "BSD-3-Clause"
    licences = [f for f in distribution.files or [] if f.name == "LICENSE"]
    assert licences, "LICENSE is not among the installed files"
    assert "BSD 3-Clause License" in licences[0].read_text()
