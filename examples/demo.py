import tolvane; print(tolvane.__all__)
