import tolvane


def test_all_lists_registered_names():
    assert set(tolvane.__all__) <= set(dir(tolvane))
