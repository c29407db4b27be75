def pytest_configure(config):
    config.addinivalue_line("markers", "install: builds the package with pip into a virtual environment")
