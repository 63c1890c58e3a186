import os

import pytest
from hypothesis import HealthCheck, settings

settings.register_profile("ci", derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("dev", deadline=None)
settings.load_profile("ci" if os.environ.get("CI") else "dev")


@pytest.fixture(scope="session")
def probe():
    from support import probe as probe_module

    return probe_module.Probe(probe_module.build())


@pytest.fixture(scope="session")
def parser():
    from velunda_binary_parser import BinaryParser

    return BinaryParser()
