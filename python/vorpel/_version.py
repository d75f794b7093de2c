"""The version of the package; setuptools reads it from here when it builds the distribution."""

__version__ = "0.1.0"
