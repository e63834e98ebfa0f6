"""Quorvex: a small image class with round-trip exact PNG and BMP codecs."""
