"""A pandas DataFrame's columns as root features: each column's dtype gives its schema.

    python examples/pandas_columns.py

pandas is needed by this example only: tolvane never sees data, only the columns' descriptions.
"""
import os

import pandas as pd
from pandas.api import types

import tolvane
import tolvane_io
from tolvane import Feature

HERE = os.path.dirname(os.path.abspath(__file__))


def schema(column: pd.Series, index: bool = False) -> tuple[str, str]:
    """(logical type, semantic tag) for a column, from its dtype. Numbers are tagged Numeric, so
    that slots such as ("Any", "Numeric") take them whatever their logical type."""
    dtype = column.dtype
    if index:
        return ("Integer" if types.is_integer_dtype(dtype) else "Categorical", "Index")
    if types.is_bool_dtype(dtype):
        return ("BooleanNullable" if isinstance(dtype, pd.BooleanDtype) else "Boolean", "Unknown")
    if types.is_integer_dtype(dtype):
        return ("IntegerNullable" if isinstance(dtype, pd.Int64Dtype) else "Integer", "Numeric")
    if types.is_float_dtype(dtype):
        return ("Double", "Numeric")
    if types.is_datetime64_any_dtype(dtype):
        return ("Datetime", "Unknown")
    if types.is_timedelta64_dtype(dtype):
        return ("Timedelta", "Numeric")
    if isinstance(dtype, pd.CategoricalDtype):
        return ("Categorical", "Categorical")
    return ("NaturalLanguage", "Unknown")  # strings and other objects


def main() -> None:
    frame = pd.DataFrame({
        "customer_id": [101, 102, 103],
        "age": [34, 51, 27],
        "income": [52000.0, 71000.5, 38000.0],
        "visits": pd.array([3, None, 7], dtype="Int64"),
        "is_member": [True, False, True],
        "signup": pd.to_datetime(["2021-03-01", "2019-11-15", "2023-06-30"]),
        "country": pd.Categorical(["SE", "NO", "SE"]),
        "review": pd.array(["great", "slow delivery", "ok"], dtype="string"),
    })
    roots = [Feature(name, *schema(frame[name], index=name == "customer_id")) for name in frame.columns]
    for name, info in zip(frame.columns, tolvane_io.describe(roots)):
        print(f"{name:<12} {frame[name].dtype!s:<16} {info.logical_type}:{info.semantic_tag}")

    primitives = tolvane.load_primitives(os.path.join(HERE, "primitives.json"))
    features = tolvane.generate_features(roots, primitives)
    numeric = tolvane_io.select(features, semantic_tag="Numeric", depth=1)
    print(f"{len(features) - len(roots)} new features, {len(numeric)} of them numeric")


if __name__ == "__main__":
    main()
