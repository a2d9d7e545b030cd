"""The typed layer's Python side: the markers a model is annotated with, and
the introspection of records (dataclasses and TypedDicts) that both the
decoding plan and the encoder's record layouts are made from."""
