"""lindorf's trees and forests as ONNX models, built with the onnx package: ``lindorf.to_onnx``.

The graph walks the trees with ONNX's tree-ensemble operator (``ai.onnx.ml``
``TreeEnsembleRegressor``) in lindorf's own terms: every test is ``BRANCH_LT`` on the float32
threshold (a row goes left when its value is strictly less), NaN goes to the side each node sends
it, and each leaf adds its value for every class. A forest's leaves add one whole vote for their
label, so the sums are exact whole numbers: the label is their arg-max, ties going to the lowest
class as in lindorf, and the probabilities the votes divided by the number of trees. A single
tree's leaves add their class shares, rounded to float32, and the index of the class they
predict, which gives the label exactly, tied leaves included. (A forest whose leaves hold class
shares instead of votes sums float32 shares, so its labels could differ from lindorf's where two
classes' mean shares lie within float32 rounding of each other.)

Outputs: ``label`` (n rows, the classes as lindorf's ``classes_`` holds them: integers as int64,
floats as double, strings, booleans) and ``probabilities`` (n rows x n classes, float32).

A regressor's graph has one output, ``variable`` (n rows x n outputs, float32): each leaf adds
its values, rounded to float32, and the operator averages them over the trees, so the
predictions equal lindorf's within float32 rounding.
"""

from __future__ import annotations

import numpy as np

from lindorf import _learner

ML_OPSET = 3
ONNX_OPSET = 17


def _onnx():
    try:
        import onnx
    except ImportError as error:
        raise ImportError("to_onnx needs the onnx package: install it with pip install "
                          "'lindorf[onnx]' (or pip install onnx)") from error
    return onnx


def _model_of(model) -> _learner.Model:
    if isinstance(model, _learner.Model):
        return model
    if not hasattr(model, "_model"):
        raise TypeError(f"expected a fitted lindorf estimator, got {type(model).__name__}")
    return model._model()  # NotFittedError when unfitted


def _tree_nodes(native, i, parts):
    """Appends tree i's nodes (its tests, children and NaN sides) to the ensemble's attributes;
    returns its node table."""
    fields = native.node_table(i)
    n = len(fields["children_left"])
    leaf = fields["children_left"] == -1
    parts["tree"].append(np.full(n, i, dtype=np.int64))
    parts["node"].append(np.arange(n, dtype=np.int64))
    parts["feature"].append(np.where(leaf, 0, fields["feature"]))
    parts["mode"].append(np.where(leaf, "LEAF", "BRANCH_LT"))
    parts["value"].append(np.where(leaf, 0.0, fields["threshold"]).astype(np.float32))
    parts["true"].append(np.where(leaf, 0, fields["children_left"]))
    parts["false"].append(np.where(leaf, 0, fields["children_right"]))
    parts["nan_true"].append(fields["missing_go_to_left"].astype(np.int64))
    return fields


def _regression_ensemble(native):
    """The tree-ensemble attributes of a regression model's trees: each leaf's values."""
    parts = {name: [] for name in ("tree", "node", "feature", "mode", "value", "true", "false",
                                   "nan_true", "t_tree", "t_node", "t_id", "t_weight")}
    n_outputs = native.n_targets
    for i in range(native.n_trees):
        fields = _tree_nodes(native, i, parts)
        leaves = np.flatnonzero(fields["children_left"] == -1)
        values = native.node_values(i, "target")[leaves]
        parts["t_tree"].append(np.full(len(leaves) * n_outputs, i, dtype=np.int64))
        parts["t_node"].append(np.repeat(leaves, n_outputs))
        parts["t_id"].append(np.tile(np.arange(n_outputs, dtype=np.int64), len(leaves)))
        parts["t_weight"].append(values.reshape(-1).astype(np.float32))
    return {name: np.concatenate(arrays) for name, arrays in parts.items()}


def _tree_ensemble(parts, n_targets, aggregate, output):
    from onnx import helper

    return helper.make_node(
        "TreeEnsembleRegressor", ["X"], [output], domain="ai.onnx.ml", n_targets=n_targets,
        aggregate_function=aggregate, post_transform="NONE",
        nodes_treeids=parts["tree"].tolist(), nodes_nodeids=parts["node"].tolist(),
        nodes_featureids=parts["feature"].tolist(), nodes_modes=parts["mode"].tolist(),
        nodes_values=parts["value"].tolist(), nodes_truenodeids=parts["true"].tolist(),
        nodes_falsenodeids=parts["false"].tolist(),
        nodes_missing_value_tracks_true=parts["nan_true"].tolist(),
        target_treeids=parts["t_tree"].tolist(), target_nodeids=parts["t_node"].tolist(),
        target_ids=parts["t_id"].tolist(), target_weights=parts["t_weight"].tolist())


def _finished(onnx, graph):
    from onnx import helper

    out = helper.make_model(graph, producer_name="lindorf",
                            opset_imports=[helper.make_opsetid("", ONNX_OPSET),
                                           helper.make_opsetid("ai.onnx.ml", ML_OPSET)])
    out.ir_version = 8
    onnx.checker.check_model(out)
    return out


def _regression_model(onnx, fitted, name):
    """A regressor's graph: the trees' mean leaf values, output ``variable``."""
    from onnx import TensorProto, helper

    native = fitted.native
    n_outputs = native.n_targets
    ensemble = _tree_ensemble(_regression_ensemble(native), n_outputs, "AVERAGE", "variable")
    graph = helper.make_graph(
        [ensemble], name,
        [helper.make_tensor_value_info("X", TensorProto.FLOAT, [None, native.n_features])],
        [helper.make_tensor_value_info("variable", TensorProto.FLOAT, [None, n_outputs])])
    return _finished(onnx, graph)


def _ensemble(native, kind):
    """The tree-ensemble attributes of every tree, and the number of targets."""
    n_classes = native.n_classes
    with_label = kind == "shares" and native.n_trees == 1
    parts = {name: [] for name in ("tree", "node", "feature", "mode", "value", "true", "false",
                                   "nan_true", "t_tree", "t_node", "t_id", "t_weight")}
    for i in range(native.n_trees):
        fields = _tree_nodes(native, i, parts)
        leaves = np.flatnonzero(fields["children_left"] == -1)
        if kind == "vote":
            nodes, targets = leaves, fields["label"][leaves]
            weights = np.ones(len(leaves))
        else:
            values = native.node_values(i, "shares")[leaves]
            rows, targets = np.nonzero(values)
            nodes, weights = leaves[rows], values[rows, targets]
            if with_label:
                nodes = np.concatenate([nodes, leaves])
                targets = np.concatenate([targets, np.full(len(leaves), n_classes)])
                weights = np.concatenate([weights, fields["label"][leaves]])
        parts["t_tree"].append(np.full(len(nodes), i, dtype=np.int64))
        parts["t_node"].append(nodes)
        parts["t_id"].append(targets)
        parts["t_weight"].append(weights.astype(np.float32))
    joined = {name: np.concatenate(arrays) for name, arrays in parts.items()}
    return joined, n_classes + (1 if with_label else 0)


def _class_tensor(onnx, classes):
    """The classes as a constant tensor, and the ONNX element type of the labels."""
    from onnx import TensorProto, helper

    classes = np.asarray(classes)
    if classes.dtype.kind in "US" or classes.dtype == object:
        values = [str(c).encode() for c in classes]
        return helper.make_tensor("classes", TensorProto.STRING, [len(values)], values), \
            TensorProto.STRING
    if classes.dtype.kind == "b":
        return onnx.numpy_helper.from_array(classes.astype(bool), "classes"), TensorProto.BOOL
    if classes.dtype.kind == "f":
        return onnx.numpy_helper.from_array(classes.astype(np.float64), "classes"), \
            TensorProto.DOUBLE
    return onnx.numpy_helper.from_array(classes.astype(np.int64), "classes"), TensorProto.INT64


def to_onnx(model, *, name="lindorf"):
    """The fitted tree or forest `model` as an ONNX model (``onnx.ModelProto``) that
    onnxruntime runs: input ``X`` (float32, n rows x n features), outputs ``label`` and
    ``probabilities`` (a regressor's: ``variable``, n rows x n outputs). Labels equal lindorf's ``predict`` on every row (NaN included), tied
    votes and tied leaves too; probabilities are lindorf's rounded to float32. Needs the onnx
    package (``pip install 'lindorf[onnx]'``)."""
    onnx = _onnx()
    from onnx import TensorProto, helper

    fitted = _model_of(model)
    if fitted.regressor:
        return _regression_model(onnx, fitted, name)
    if fitted.multi_output:
        raise ValueError("to_onnx takes a model of one output; this one has "
                         f"{len(fitted.classes)}")
    native = fitted.native
    kind = _learner.leaf_value(fitted.forest, fitted.params)
    parts, n_targets = _ensemble(native, kind)
    n_classes = native.n_classes
    ensemble = helper.make_node(
        "TreeEnsembleRegressor", ["X"], ["scores"], domain="ai.onnx.ml", n_targets=n_targets,
        aggregate_function="SUM", post_transform="NONE",
        nodes_treeids=parts["tree"].tolist(), nodes_nodeids=parts["node"].tolist(),
        nodes_featureids=parts["feature"].tolist(), nodes_modes=parts["mode"].tolist(),
        nodes_values=parts["value"].tolist(), nodes_truenodeids=parts["true"].tolist(),
        nodes_falsenodeids=parts["false"].tolist(),
        nodes_missing_value_tracks_true=parts["nan_true"].tolist(),
        target_treeids=parts["t_tree"].tolist(), target_nodeids=parts["t_node"].tolist(),
        target_ids=parts["t_id"].tolist(), target_weights=parts["t_weight"].tolist())
    classes, label_type = _class_tensor(onnx, fitted.classes)
    constants = [classes]

    def constant(name, value, dtype=np.int64):
        constants.append(onnx.numpy_helper.from_array(np.array(value, dtype=dtype), name))
        return name

    nodes = [ensemble]
    if n_targets > n_classes:  # a single tree: shares, then the index of the leaf's class
        axis = constant("axis", [1])
        stop = constant("stop", [n_classes])
        nodes += [helper.make_node("Slice", ["scores", constant("start", [0]), stop, axis],
                                   ["probabilities"]),
                  helper.make_node("Slice", ["scores", stop, constant("end", [n_targets]), axis],
                                   ["column"]),
                  helper.make_node("Reshape", ["column", constant("flat", [-1])], ["code"]),
                  helper.make_node("Cast", ["code"], ["index"], to=TensorProto.INT64)]
    else:  # a forest: the mean of its trees' leaf values, and the first class of the largest
        trees = constant("trees", native.n_trees, np.float32)
        nodes += [helper.make_node("Div", ["scores", trees], ["probabilities"]),
                  helper.make_node("ArgMax", ["scores"], ["index"], axis=1, keepdims=0,
                                   select_last_index=0)]
    nodes.append(helper.make_node("Gather", ["classes", "index"], ["label"], axis=0))
    graph = helper.make_graph(
        nodes, name,
        [helper.make_tensor_value_info("X", TensorProto.FLOAT, [None, native.n_features])],
        [helper.make_tensor_value_info("label", label_type, [None]),
         helper.make_tensor_value_info("probabilities", TensorProto.FLOAT, [None, n_classes])],
        initializer=constants)
    out = helper.make_model(graph, producer_name="lindorf",
                            opset_imports=[helper.make_opsetid("", ONNX_OPSET),
                                           helper.make_opsetid("ai.onnx.ml", ML_OPSET)])
    out.ir_version = 8
    onnx.checker.check_model(out)
    return out
