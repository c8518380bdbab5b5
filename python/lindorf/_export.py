"""Readable trees with NumPy alone: ``export_text``, ``export_graphviz`` and ``plot_tree``, as
``lindorf.tree`` offers them and the command's ``export`` prints them.

They print lindorf's own rule, ``feature < threshold`` on the left branch and
``feature >= threshold`` on the right, the threshold as the shortest text that reads back as the
same float32; NaN goes right unless a node learned otherwise, which the left branch then says
(``< 2.45 or NaN``). Nodes show their training weight, class weights (or shares) and class; a
leaf's class is the one it predicts, an inner node's its heaviest class. A regression tree's
nodes show their values instead (the mean, or the median, of the targets that reached them).
"""

from __future__ import annotations

import colorsys
from typing import NamedTuple

import numpy as np

from lindorf._nodes import NodeTable, RegressionNodeTable, table_of


class _Tree(NamedTuple):
    table: NodeTable
    classes: np.ndarray | None
    feature_names: list | None
    criterion: str | None


def _tree_of(decision_tree) -> _Tree:
    if isinstance(decision_tree, NodeTable):
        return _Tree(decision_tree, None, None, None)
    if hasattr(decision_tree, "estimators_") or type(decision_tree).__name__.startswith(
            "RandomForest"):
        raise TypeError("export one tree of a forest at a time: forest.estimators_[i]")
    if not hasattr(type(decision_tree), "nodes_"):
        raise TypeError(f"expected a lindorf decision tree or a node table, got "
                        f"{type(decision_tree).__name__}")
    table = decision_tree.nodes_  # NotFittedError when unfitted
    names = getattr(decision_tree, "feature_names_in_", None)
    return _Tree(table, getattr(decision_tree, "classes_", None),
                 None if names is None else list(names),
                 getattr(decision_tree, "criterion", None))


def _regression(table) -> bool:
    return isinstance(table, RegressionNodeTable)


def threshold_text(threshold) -> str:
    """The shortest text that reads back as the same float32."""
    return str(np.float32(threshold))


def _names(given, count, default, what):
    if given is None:
        return [default.format(i) for i in range(count)]
    names = [str(name) for name in given]
    if len(names) != count:
        raise ValueError(f"{what} has {len(names)} names, the tree has {count}")
    return names


class _Labels(NamedTuple):
    features: list
    classes: list


def _labels(tree: _Tree, feature_names, class_names, feature_default, class_default):
    """The names to print. class_names None takes the estimator's classes, True the default
    names, False shows no class (classes None)."""
    features = feature_names if feature_names is not None else tree.feature_names
    features = _names(features, tree.table.n_features, feature_default, "feature_names")
    if class_names is False or _regression(tree.table):
        return _Labels(features, None)
    classes = None if class_names is True else \
        tree.classes if class_names is None else class_names
    return _Labels(features, _names(classes, tree.table.n_classes, class_default, "class_names"))


def _left_test(table, node, features) -> str:
    """The test that sends a row left, as the drawings print it."""
    nan = " or NaN" if table.missing_go_to_left[node] else ""
    return f"{features[table.feature[node]]} < {threshold_text(table.threshold[node])}{nan}"


def _node_class(table, node) -> int:
    label = table.label[node]
    return int(label) if label >= 0 else int(np.argmax(table.class_weights[node, 0]))


def _number(value, decimals) -> str:
    return f"{value:.{decimals}f}"


# -- text ------------------------------------------------------------------------------------

def export_text(decision_tree, *, feature_names=None, class_names=None, max_depth=10,
                spacing=3, decimals=2, show_weights=False) -> str:
    """The rules of a fitted tree as indented text, as scikit-learn's ``export_text`` prints
    them but with lindorf's rule (``<`` left, ``>=`` right) and exact float32 thresholds::

        |--- petal length (cm) <  2.45
        |   |--- class: 0
        |--- petal length (cm) >= 2.45
        ...

    `decision_tree` is a fitted ``lindorf.DecisionTreeClassifier`` (a forest's trees are in its
    ``estimators_``) or its ``nodes_``. Feature names default to ``feature_names_in_`` or
    ``feature_0``, ...; class names to ``classes_``. Branches deeper than `max_depth` are
    summarised as truncated; `show_weights` adds each leaf's class weights with `decimals`
    places.
    """
    if max_depth < 0:
        raise ValueError(f"max_depth must be >= 0, got {max_depth}")
    if spacing <= 0:
        raise ValueError(f"spacing must be > 0, got {spacing}")
    if decimals < 0:
        raise ValueError(f"decimals must be >= 0, got {decimals}")
    tree = _tree_of(decision_tree)
    labels = _labels(tree, feature_names, class_names, "feature_{}", "{}")
    return text_lines(tree.table, labels, max_depth, spacing, decimals, show_weights)


def text_lines(table, labels, max_depth, spacing, decimals, show_weights) -> str:
    # Plain lists: a deep tree has tens of thousands of nodes, and NumPy's scalars are slow.
    left, right = table.children_left.tolist(), table.children_right.tolist()
    feature, label = table.feature.tolist(), table.label.tolist()
    thresholds = [threshold_text(t) for t in table.threshold]
    nan_left = table.missing_go_to_left.tolist()
    regression = _regression(table)
    values = table.value[:, :, 0] if regression else None
    weights = table.class_weights[:, 0] if show_weights and not regression else None
    branch = "|" + "-" * spacing + " "
    indent = "|" + " " * spacing
    lines = []
    pending = [(0, 0)]
    while pending:
        node, depth = pending.pop()
        if node < 0:  # the test that leads to the node below it on the stack
            parent = ~node
            test = (f" <  {thresholds[parent]}" + " or NaN" * nan_left[parent]
                    if pending[-1][0] == left[parent] else f" >= {thresholds[parent]}")
            lines.append(indent * (depth - 1) + branch + labels.features[feature[parent]] + test)
            continue
        prefix = indent * depth + branch
        if left[node] == -1 and regression:
            text = ", ".join(_number(v, decimals) for v in values[node])
            lines.append(f"{prefix}value: [{text}]")
        elif left[node] == -1:
            text = ""
            if show_weights:
                text = "weights: [" + ", ".join(_number(w, decimals) for w in weights[node]) + "] "
            lines.append(f"{prefix}{text}class: {labels.classes[label[node]]}")
        elif depth >= max_depth:
            lines.append(f"{prefix}truncated branch of depth {_subtree_depth(table, node)}")
        else:
            pending += [(right[node], depth + 1), (~node, depth + 1),
                        (left[node], depth + 1), (~node, depth + 1)]
    return "\n".join(lines) + "\n"


def _subtree_depth(table, node) -> int:
    deepest, pending = 0, [node]
    while pending:
        at = pending.pop()
        if table.children_left[at] == -1:
            deepest = max(deepest, table.depth[at] - table.depth[node])
        else:
            pending += [table.children_left[at], table.children_right[at]]
    return int(deepest)


# -- node labels shared by DOT and plots ---------------------------------------------------------

class _Style(NamedTuple):
    label: str  # "all", "root" or "none"
    impurity: bool
    node_ids: bool
    proportion: bool
    precision: int


def _node_lines(tree: _Tree, labels: _Labels, style: _Style, node: int) -> list[str]:
    table = tree.table
    show = style.label == "all" or (style.label == "root" and node == 0)
    lines = []
    if style.node_ids:
        lines.append(f"node #{node}" if show else f"#{node}")
    if table.children_left[node] != -1:
        lines.append(_left_test(table, node, labels.features))
    if style.impurity:
        name = tree.criterion or "impurity"
        # + 0.0: a pure node's entropy is -0.0 in float arithmetic.
        impurity = round(float(table.impurity[node]), style.precision) + 0.0
        lines.append(f"{name + ' = ' if show else ''}{impurity}")
    weight = table.weighted_n_node_samples[node]
    if style.proportion:
        share = weight / table.weighted_n_node_samples[0] * 100
        lines.append(f"{'weight = ' if show else ''}{round(share, 1)}%")
    else:
        lines.append(f"{'weight = ' if show else ''}{_plain(weight, style.precision)}")
    if _regression(table):
        values = table.value[node, :, 0]
        text = ", ".join(_plain(v, style.precision) for v in values)
        lines.append(f"{'value = ' if show else ''}{text if len(values) == 1 else f'[{text}]'}")
        return lines
    values = table.value[node, 0] if style.proportion else table.class_weights[node, 0]
    text = ", ".join(_plain(v, style.precision) for v in values)
    lines.append(f"{'value = ' if show else ''}[{text}]")
    if labels.classes is not None:
        name = labels.classes[_node_class(table, node)]
        lines.append(f"{'class = ' if show else ''}{name}")
    return lines


def _plain(value, precision) -> str:
    """Whole numbers without a fraction, others rounded to `precision` places."""
    value = float(value)
    return str(int(value)) if value == int(value) else str(round(value, precision))


def _palette(n):
    """n distinct colours, as scikit-learn's plots colour classes."""
    return [tuple(int(255 * c) for c in colorsys.hsv_to_rgb(h, 0.75, 0.9))
            for h in np.arange(25, 385, 360.0 / max(n, 1))[:n] / 360.0]


def _fill(table, node, colours) -> tuple:
    """The colour of the node's heaviest class, paler the less pure the node; a regression
    node's colour is deeper the larger its (first) value, as scikit-learn's plots shade them."""
    if _regression(table):
        values = table.value[:, 0, 0]
        low, high = values.min(), values.max()
        alpha = 0.0 if high == low else (values[node] - low) / (high - low)
        return tuple(int(round(alpha * c + (1 - alpha) * 255)) for c in colours[0])
    shares = np.sort(table.value[node, 0])[::-1]
    top, second = shares[0], shares[1] if len(shares) > 1 else 0.0
    alpha = 0.0 if top >= 1.0 and second >= 1.0 else (top - second) / (1.0 - second or 1.0)
    colour = colours[_node_class(table, node)]
    return tuple(int(round(alpha * c + (1 - alpha) * 255)) for c in colour)


def _hex(colour) -> str:
    return "#" + "".join(f"{c:02x}" for c in colour)


def _shown(table, max_depth):
    """Nodes in preorder down to `max_depth`, and the nodes just below it (shown as '(...)')."""
    shown, cut, pending = [], set(), [0]
    while pending:
        node = pending.pop()
        shown.append(node)
        if max_depth is not None and table.depth[node] > max_depth:
            cut.add(node)
            continue
        if table.children_left[node] != -1:
            pending += [table.children_right[node], table.children_left[node]]
    return shown, cut


# -- DOT -----------------------------------------------------------------------------------------

def export_graphviz(decision_tree, out_file=None, *, max_depth=None, feature_names=None,
                    class_names=None, label="all", filled=False, leaves_parallel=False,
                    impurity=True, node_ids=False, proportion=False, rotate=False,
                    rounded=False, special_characters=False, precision=3,
                    fontname="helvetica"):
    """The tree in Graphviz's DOT language, as scikit-learn's ``export_graphviz`` writes it but
    with lindorf's rule (``feature < threshold`` goes left, along the edge marked True). No
    Graphviz program is needed to produce it; ``dot -Tsvg`` draws it.

    Returns the text when `out_file` is None, otherwise writes it to `out_file` (a path or an
    open text file). `class_names` defaults to ``classes_`` (True: ``y[0]``, ...);
    `feature_names` to ``feature_names_in_`` or ``x[0]``, .... The other options mean what they
    mean for scikit-learn's: which nodes are labelled in full (`label`: "all", "root" or
    "none"), colours by class (`filled`), the impurity, node ids, shares instead of weights
    (`proportion`), left-to-right layout (`rotate`), rounded boxes, HTML-escaped labels
    (`special_characters`), the digits of weights and impurities (`precision`).
    """
    if label not in ("all", "root", "none"):
        raise ValueError(f"label must be 'all', 'root' or 'none', got {label!r}")
    if max_depth is not None and max_depth < 0:
        raise ValueError(f"max_depth must be >= 0, got {max_depth}")
    tree = _tree_of(decision_tree)
    labels = _labels(tree, feature_names, class_names, "x[{}]", "y[{}]")
    style = _Style(label, impurity, node_ids, proportion, precision)
    text = dot_text(tree, labels, style, max_depth=max_depth, filled=filled,
                    leaves_parallel=leaves_parallel, rotate=rotate, rounded=rounded,
                    special_characters=special_characters, fontname=fontname)
    if out_file is None:
        return text
    if hasattr(out_file, "write"):
        out_file.write(text)
    else:
        with open(out_file, "w", encoding="utf-8") as out:
            out.write(text)
    return None


def _escape(text: str, html: bool) -> str:
    if html:
        return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
    return text.replace("\\", "\\\\").replace('"', '\\"')


def dot_text(tree: _Tree, labels: _Labels, style: _Style, *, max_depth=None, filled=False,
             leaves_parallel=False, rotate=False, rounded=False, special_characters=False,
             fontname="helvetica", name="Tree") -> str:
    table = tree.table
    box = ["filled"] * filled + ["rounded"] * rounded
    node_style = f', style="{", ".join(box)}"' if box else ""
    colour = ', color="black"' if filled else ""
    lines = [f"digraph {name} {{",
             f'node [shape=box{node_style}{colour}, fontname="{fontname}"] ;',
             f'edge [fontname="{fontname}"] ;']
    if leaves_parallel:
        lines.append("graph [ranksep=equally, splines=polyline] ;")
    if rotate:
        lines.append("rankdir=LR ;")
    colours = _palette(max(table.n_classes, 1))
    shown, cut = _shown(table, max_depth)
    parent = {}
    for node in shown:
        if table.children_left[node] != -1 and node not in cut:
            parent[table.children_left[node]] = (node, True)
            parent[table.children_right[node]] = (node, False)
    for node in shown:
        if node in cut:
            text = "(...)"
            fill = ', fillcolor="#C0C0C0"' if filled else ""
            lines.append(f'{node} [label="{text}"{fill}] ;')
        else:
            parts = [_escape(line, special_characters)
                     for line in _node_lines(tree, labels, style, node)]
            body = ("<" + "<br/>".join(parts) + ">") if special_characters else \
                '"' + "\\n".join(parts) + '"'
            fill = f', fillcolor="{_hex(_fill(table, node, colours))}"' if filled else ""
            lines.append(f"{node} [label={body}{fill}] ;")
        if node in parent:
            above, left = parent[node]
            edge = ""
            if above == 0:
                angle = (-45 if left else 45) if rotate else (45 if left else -45)
                edge = f' [labeldistance=2.5, labelangle={angle}, headlabel="{left}"]'
            lines.append(f"{above} -> {node}{edge} ;")
    if leaves_parallel:
        leaves = [str(n) for n in shown if table.children_left[n] == -1 or n in cut]
        lines.append("{rank=same ; " + "; ".join(leaves) + "} ;")
    lines.append("}")
    return "\n".join(lines) + "\n"


# -- matplotlib ----------------------------------------------------------------------------------

def plot_tree(decision_tree, *, max_depth=None, feature_names=None, class_names=None,
              label="all", filled=False, impurity=True, node_ids=False, proportion=False,
              rounded=False, precision=3, ax=None, fontsize=None):
    """Draws the tree with matplotlib, as scikit-learn's ``plot_tree`` does but with lindorf's
    rule; returns the annotations of the nodes. matplotlib is imported only here (install it
    with ``pip install 'lindorf[plot]'``). The options are those of ``export_graphviz``; `ax`
    is the axes to draw on (default: the current ones) and `fontsize` the text size (default:
    smaller for wider trees)."""
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ImportError("plot_tree needs matplotlib: install it with pip install "
                          "'lindorf[plot]' (or pip install matplotlib)") from error
    if label not in ("all", "root", "none"):
        raise ValueError(f"label must be 'all', 'root' or 'none', got {label!r}")
    tree = _tree_of(decision_tree)
    table = tree.table
    labels = _labels(tree, feature_names, class_names, "x[{}]", "y[{}]")
    style = _Style(label, impurity, node_ids, proportion, precision)
    shown, cut = _shown(table, max_depth)
    x, y = _layout(table, shown, cut)
    if ax is None:
        ax = plt.gca()
    ax.clear()
    ax.set_axis_off()
    colours = _palette(max(table.n_classes, 1))
    if fontsize is None:
        leaves = sum(1 for n in shown if table.children_left[n] == -1 or n in cut)
        fontsize = max(4.0, min(12.0, 120.0 / max(leaves, 1)))
    box = {"boxstyle": "round" if rounded else "square", "ec": "black",
           "fc": "white"}
    parent = {}
    for node in shown:
        if table.children_left[node] != -1 and node not in cut:
            parent[table.children_left[node]] = node
            parent[table.children_right[node]] = node
    annotations = []
    for node in shown:
        text = "(...)" if node in cut else "\n".join(
            _node_lines(tree, labels, style, node))
        node_box = dict(box)
        if filled:
            node_box["fc"] = "#C0C0C0" if node in cut else _hex(_fill(table, node, colours))
        where, above = (x[node], y[node]), parent.get(node)
        if above is None:
            annotation = ax.annotate(text, where, ha="center", va="center", fontsize=fontsize,
                                     bbox=node_box, xycoords="axes fraction")
        else:
            annotation = ax.annotate(text, (x[above], y[above]), xytext=where, ha="center",
                                     va="center", fontsize=fontsize, bbox=node_box,
                                     arrowprops={"arrowstyle": "<-"}, xycoords="axes fraction",
                                     textcoords="axes fraction")
        annotations.append(annotation)
    return annotations


def _layout(table, shown, cut):
    """Positions in axes fractions: leaves spread evenly from left to right in order, each inner
    node above the middle of its children, levels evenly from top to bottom."""
    order = {node: i for i, node in enumerate(shown)}
    x, y = {}, {}
    leaves = [n for n in shown if table.children_left[n] == -1 or n in cut]
    for i, node in enumerate(leaves):
        x[node] = (i + 0.5) / len(leaves)
    deepest = max(int(table.depth[n]) for n in shown)
    for node in sorted(shown, key=lambda n: -order[n]):  # children before parents
        if node not in x:
            x[node] = (x[table.children_left[node]] + x[table.children_right[node]]) / 2
        y[node] = 1.0 - (table.depth[node] + 0.5) / (deepest + 1)
    return x, y


# -- the command ---------------------------------------------------------------------------------

def model_tree_text(native, index, fmt, *, feature_names=None, classes=None, criterion=None,
                    max_depth=None, name="Tree") -> str:
    """Tree `index` of a native model as text (``export_text``'s form) or DOT, as the command
    prints it: every level unless `max_depth` says otherwise."""
    table = table_of(native, index)
    tree = _Tree(table, None if classes is None else np.asarray(classes), feature_names,
                 criterion)
    if fmt == "text":
        labels = _labels(tree, None, None, "feature_{}", "{}")
        depth = table.max_depth if max_depth is None else max_depth
        return text_lines(table, labels, depth, 3, 2, False)
    labels = _labels(tree, None, None, "x[{}]", "y[{}]")
    return dot_text(tree, labels, _Style("all", True, False, False, 3), max_depth=max_depth,
                    name=name)
