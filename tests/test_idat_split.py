import pytest
from hypothesis import given, strategies as st

from Quorvex.simpleImage_ext import _split_idat_payload

DATA = bytes(range(10))


def reference_split(data, lengths):
    """The piece rule written out plainly: what the function must agree with."""
    parts, offset, total = [], 0, len(data)
    for idx, length in enumerate(lengths):
        if offset >= total:
            break
        if length <= 0:
            continue
        take = total - offset if idx == len(lengths) - 1 else min(length, total - offset)
        parts.append(data[offset:offset + take])
        offset += take
    if offset < total:
        parts.append(data[offset:])
    return parts


@pytest.mark.parametrize("lengths, sizes", [
    ([], [10]),
    ([4, 4], [4, 6]),
    ([8, 8], [8, 2]),
    ([12, 3], [10]),
    ([4, 0], [4, 6]),
    ([0, 4, 0, 3], [4, 6]),
    ([-5], [10]),
    ([10], [10]),
    ([3, 3, 3], [3, 3, 4]),
    ([2**70, 1], [10]),          # beyond 64 bits
    ([-2**70, 4, 1], [4, 6]),
    ([True, 2], [1, 9]),
])
def test_split_table(lengths, sizes):
    parts = _split_idat_payload(DATA, lengths)
    assert [len(p) for p in parts] == sizes
    assert b"".join(parts) == DATA
    assert all(type(p) is bytes for p in parts)


@pytest.mark.parametrize("lengths", [[], [5], [0, -1], [None]])
def test_empty_data_gives_no_pieces(lengths):
    assert _split_idat_payload(b"", lengths) == []


def test_entries_after_the_data_ran_out_are_not_looked_at():
    assert _split_idat_payload(DATA, [10, None, "x"]) == [DATA]


@pytest.mark.parametrize("data, lengths, exc, message", [
    (None, [1], TypeError, "object of type 'NoneType' has no len()"),
    (DATA, None, TypeError, "object of type 'NoneType' has no len()"),
    (bytearray(DATA), [1], TypeError, "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
    (DATA, (1,), TypeError, "Argument 'lengths' has incorrect type (expected list, got tuple)"),
    (DATA, [None, 4], TypeError, "'<=' not supported between instances of 'NoneType' and 'int'"),
])
def test_errors(data, lengths, exc, message):
    with pytest.raises(exc) as info:
        _split_idat_payload(data, lengths)
    assert str(info.value) == message


@given(st.binary(max_size=64), st.lists(st.integers(-5, 80), max_size=8))
def test_agrees_with_reference(data, lengths):
    parts = _split_idat_payload(data, lengths)
    assert parts == reference_split(data, lengths)
    assert all(parts) and len(parts) <= max(len(lengths), 1)
