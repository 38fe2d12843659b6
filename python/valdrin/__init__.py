"""valdrin: IEC 61850 process-bus messaging (Sampled Values publishing, GOOSE and SV codecs) on Linux."""

__version__ = "0.8.1"
