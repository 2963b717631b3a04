"""Read feature files back, see what features are, select and de-duplicate them.

A pure-Python companion of the native module `tolvane`, built on its public surface and the feature
file alone:

- `load_features(filename)` / `loads_features(text)`: a feature file rebuilt into `Feature`
  objects (a `FeatureFile`), with the primitives under the ids written in it;
  `dumps_features(features)` gives the text of one;
- `describe(features)`: each feature's id, schema, primitive, inputs and depth (`FeatureInfo`);
  `feature_ids(features)` the ids alone, faster;
- `select(...)`, `unique(...)`, `new_features(...)`: features by what they are, each id once.
"""

from tolvane_io._describe import FeatureInfo, describe, feature_ids
from tolvane_io._files import FeatureFile, FeatureFileError, dumps_features, load_features, loads_features
from tolvane_io._select import new_features, select, type_name, unique
from tolvane_io._shared import TYPE_NAMES

__all__ = [
    "TYPE_NAMES",
    "FeatureFile",
    "FeatureFileError",
    "FeatureInfo",
    "describe",
    "dumps_features",
    "feature_ids",
    "load_features",
    "loads_features",
    "new_features",
    "select",
    "type_name",
    "unique",
]
