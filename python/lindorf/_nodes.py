"""The public, read-only node table of a fitted tree (``DecisionTreeClassifier.nodes_``, and a
forest's trees through ``estimators_``), with NumPy alone.

Fields are named as scikit-learn's ``Tree`` names them, in its conventions (nodes in preorder,
children -1 and feature -2 at leaves), but the thresholds keep lindorf's rule: a row goes left
when its value is strictly less than the threshold; equal values go right, and NaN goes to the
side ``missing_go_to_left`` says (right, unless a model learned otherwise). That is why this is not
called ``tree_``: tools that read ``tree_`` route with ``<=``. ``to_sklearn()`` gives them a
genuine scikit-learn estimator instead.
"""

from __future__ import annotations

import numpy as np

_FIELDS = ("children_left", "children_right", "feature", "threshold", "missing_go_to_left",
           "weighted_n_node_samples", "impurity", "depth", "label")


def _frozen(array):
    array.flags.writeable = False
    return array


class NodeTable:
    """A fitted tree's nodes, one read-only NumPy array per field, indexed by node (the root is
    node 0; nodes are in preorder, numbered as ``apply`` and ``decision_path`` number them).

    - ``children_left``, ``children_right``: the children of an inner node, -1 at leaves.
    - ``feature``: the feature an inner node tests, -2 at leaves.
    - ``threshold`` (float32): a row goes left when its value is strictly less; -2 at leaves.
    - ``missing_go_to_left`` (bool): whether NaN goes left (lindorf's rule: right).
    - ``weighted_n_node_samples``: the total weight of the training rows that reached the node.
    - ``impurity``: their impurity, by the criterion the tree was grown with (entropy in bits or
      Gini).
    - ``depth``: edges from the root.
    - ``label``: at a leaf, the index into ``classes_`` of the class it predicts; -1 at inner
      nodes.
    - ``value`` and ``class_weights``: per node and class, the share and the weight of the
      training rows that reached it, shape ``(node_count, n_outputs, n_classes)``, computed when
      first read (dense: for many classes, ``node_class_weights(node)`` gives one node's
      classes sparsely).
    - ``n_node_samples``: None: lindorf's models record weights, not row counts.
    """

    n_outputs = 1
    n_node_samples = None

    def __init__(self, native, index: int = 0):
        fields = native.node_table(index)
        object.__setattr__(self, "_native", native)
        object.__setattr__(self, "_index", index)
        object.__setattr__(self, "_cache", {})
        for name in _FIELDS:
            array = fields[name]
            if name == "missing_go_to_left":
                array = array.astype(bool)
            elif array.dtype == np.int64:
                array = array.astype(np.intp, copy=False)
            object.__setattr__(self, name, _frozen(array))

    def __setattr__(self, name, value):
        raise AttributeError("a node table is read-only")

    @property
    def node_count(self) -> int:
        return len(self.children_left)

    @property
    def n_leaves(self) -> int:
        return int(np.count_nonzero(self.children_left == -1))

    @property
    def max_depth(self) -> int:
        return int(self.depth.max())

    @property
    def n_features(self) -> int:
        return self._native.n_features

    @property
    def n_classes(self) -> int:
        return self._native.n_classes

    def _values(self, kind):
        if kind not in self._cache:
            values = self._native.node_values(self._index, kind)
            self._cache[kind] = _frozen(values.reshape(self.node_count, 1, self.n_classes))
        return self._cache[kind]

    @property
    def value(self) -> np.ndarray:
        return self._values("shares")

    @property
    def class_weights(self) -> np.ndarray:
        return self._values("weights")

    def node_class_weights(self, node: int):
        """(class indices, weights) of the classes present in `node`, classes ascending."""
        if not 0 <= node < self.node_count:
            raise IndexError(f"node {node} is not in a tree of {self.node_count} nodes")
        classes, weights = self._native.node_class_weights(self._index, int(node))
        return classes.astype(np.intp), weights

    def __repr__(self):
        return (f"NodeTable(node_count={self.node_count}, n_leaves={self.n_leaves}, "
                f"max_depth={self.max_depth}, n_features={self.n_features}, "
                f"n_classes={self.n_classes})")


class RegressionNodeTable(NodeTable):
    """A regression tree's node table: the fields of ``NodeTable`` (``label`` -1 everywhere, as
    no node predicts a class), with ``value`` of shape ``(node_count, n_outputs, 1)`` holding
    what each node predicts: the mean (or, with absolute error, the weighted median) of the
    training targets that reached it, as scikit-learn's regression trees hold theirs."""

    n_classes = 1

    def __init__(self, native, index: int = 0):
        super().__init__(native, index)
        object.__setattr__(self, "label", _frozen(np.full(self.node_count, -1, dtype=np.intp)))
        object.__setattr__(self, "n_outputs", native.n_targets)

    @property
    def value(self) -> np.ndarray:
        if "recorded" not in self._cache:
            values = self._native.node_values(self._index, "recorded")
            self._cache["recorded"] = _frozen(values.reshape(self.node_count, self.n_outputs, 1))
        return self._cache["recorded"]

    @property
    def class_weights(self):
        raise AttributeError("a regression tree's nodes hold values, not classes")

    def node_class_weights(self, node: int):
        raise AttributeError("a regression tree's nodes hold values, not classes")

    def __repr__(self):
        return (f"RegressionNodeTable(node_count={self.node_count}, n_leaves={self.n_leaves}, "
                f"max_depth={self.max_depth}, n_features={self.n_features}, "
                f"n_outputs={self.n_outputs})")


def table_of(native, index: int = 0) -> NodeTable:
    """The node table of tree `index` of a native model, a classifier's or a regressor's."""
    return (RegressionNodeTable if native.n_targets else NodeTable)(native, index)
