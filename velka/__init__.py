"""velka: a strict, canonical and fast bencode codec.

The codec itself is the compiled module :mod:`velka.bencode`.
"""
