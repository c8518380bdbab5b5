"""Looking inside fitted models, against the tools that stand beside them: the node table and
decision paths against prediction, exported scikit-learn models against lindorf on adversarial
float32 rows, SHAP values against shap, ONNX models under onnxruntime, and the printed rules read
back. Every tool runs for real."""

import re
import shutil
import signal
import subprocess
import threading
import time

import numpy as np
import pytest
from sklearn.exceptions import NotFittedError

import lindorf
from lindorf import DecisionTreeClassifier, RandomForestClassifier
from lindorf.tree import export_graphviz, export_text, plot_tree

F32 = np.finfo(np.float32)
NAMES = np.array(["ant", "bee", "cat"])


def coarse_data(n=600, seed=0):
    """Few distinct values, so that thresholds repeat and leaves tie; NaN; noisy labels."""
    rng = np.random.default_rng(seed)
    x = (rng.integers(-3, 4, size=(n, 4)) * 0.5).astype(np.float32)
    x[rng.random(x.shape) < 0.05] = np.nan
    y = (np.nan_to_num(x[:, 0]) > 0).astype(int) + (np.nan_to_num(x[:, 1]) > 0.5)
    y = np.where(rng.random(n) < 0.3, rng.integers(0, 3, n), y)
    return x, NAMES[y]


MODELS = {
    "tree": lambda: DecisionTreeClassifier(max_depth=6),
    # Leaves of a few identical rows whose labels tie, which lindorf gives to the class whose
    # latest row comes last, and scikit-learn's arg-max to the lowest.
    "tied-leaves": lambda: DecisionTreeClassifier(min_samples_split=2, criterion="gini"),
    # An even number of trees: rows whose votes tie.
    "forest": lambda: RandomForestClassifier(8, max_depth=5, max_features=2, random_state=0,
                                             voting="hard"),
    # Soft votes of fractionally weighted trees, and trees whose nodes send NaN either way.
    "soft-forest": lambda: RandomForestClassifier(6, max_depth=5, random_state=0,
                                                  class_weight="balanced", nan_side="learn"),
    "nan-sides": lambda: DecisionTreeClassifier(max_depth=6, nan_side="learn"),
}


@pytest.fixture(scope="module", params=MODELS)
def fitted(request):
    x, y = coarse_data()
    return request.param, MODELS[request.param]().fit(x, y), x, y


def trees_of(est):
    return getattr(est, "estimators_", [est])


def adversarial(est, x, n=4000, seed=1):
    """Rows of x whose cells are, half of the time, a threshold of the model, its float32
    neighbours, a signed zero, a subnormal, the largest floats or NaN."""
    rng = np.random.default_rng(seed)
    t = np.unique(np.concatenate([tree.nodes_.threshold[tree.nodes_.feature >= 0]
                                  for tree in trees_of(est)]))
    t = t[np.isfinite(t)]  # a split of every number from NaN has threshold +inf
    special = np.array([0.0, -0.0, 1e-45, -1e-45, F32.tiny, F32.max, -F32.max, np.nan],
                       dtype=np.float32)
    values = np.concatenate([t, np.nextafter(t, np.float32(np.inf)),
                             np.nextafter(t, np.float32(-np.inf)), special])
    rows = x[rng.integers(0, len(x), n)].copy()
    mask = rng.random(rows.shape) < 0.5
    rows[mask] = rng.choice(values, mask.sum())
    return rows


def walk(table, rows):
    """The leaf each row reaches, by the table alone: left when strictly less, NaN by
    missing_go_to_left; and the matrix of the nodes it passes."""
    node = np.zeros(len(rows), dtype=np.intp)
    passed = np.zeros((len(rows), table.node_count), dtype=bool)
    passed[:, 0] = True
    for _ in range(table.max_depth):
        inner = table.children_left[node] != -1
        value = rows[np.arange(len(rows)), np.maximum(table.feature[node], 0)]
        left = (value < table.threshold[node]) | (np.isnan(value) & table.missing_go_to_left[node])
        node = np.where(inner, np.where(left, table.children_left[node],
                                        table.children_right[node]), node)
        passed[np.arange(len(rows)), node] = True
    return node, passed


def test_node_table_and_decision_paths_route_as_prediction(fitted):
    name, est, x, y = fitted
    rows = adversarial(est, x)
    leaves = est.apply(rows).reshape(len(rows), -1)
    indicator = est.decision_path(rows)
    if isinstance(indicator, tuple):
        indicator, starts = indicator
    else:
        starts = [0, est.nodes_.node_count]
    for t, tree in enumerate(trees_of(est)):
        table = tree.nodes_
        reached, passed = walk(table, rows)
        assert (reached == leaves[:, t]).all()
        assert (indicator[:, starts[t]:starts[t + 1]].toarray().astype(bool) == passed).all()
        labels = tree.classes_[table.label[reached]]
        assert (labels == tree.predict(rows)).all()
        weights = table.class_weights[:, 0]
        assert np.allclose(table.value[:, 0] * table.weighted_n_node_samples[:, None], weights)
        inner = table.children_left != -1
        assert (weights[inner] == weights[table.children_left[inner]]
                + weights[table.children_right[inner]]).all()
        assert (table.depth[table.children_left[inner]] == table.depth[inner] + 1).all()
    if "forest" not in name:
        # A tree's root holds every training row.
        assert (est.nodes_.class_weights[0, 0] == [np.sum(y == c) for c in est.classes_]).all()
        classes, weights = est.nodes_.node_class_weights(0)
        assert weights.tolist() == est.nodes_.class_weights[0, 0][classes].tolist()
    table = trees_of(est)[0].nodes_
    assert table.n_node_samples is None and not table.threshold.flags.writeable
    with pytest.raises(AttributeError):
        table.threshold = None


def test_scikit_learn_model_predicts_as_lindorf_on_adversarial_rows(fitted):
    from sklearn.ensemble import RandomForestClassifier as SkForest
    from sklearn.tree import DecisionTreeClassifier as SkTree

    name, est, x, _ = fitted
    rows = adversarial(est, x)
    sk = est.to_sklearn()
    assert type(sk) is (SkForest if "forest" in name else SkTree)
    assert (sk.predict(rows) == est.predict(rows)).all()
    assert np.abs(sk.predict_proba(rows) - est.predict_proba(rows)).max() <= 1e-12
    assert (sk.apply(rows) == est.apply(rows)).all()
    if name == "tied-leaves":  # the case the raised share is there for
        table = est.nodes_
        leaves = table.children_left == -1
        first = np.argmax(table.value[leaves, 0], axis=1)
        assert (first != table.label[leaves]).any()
    if name == "forest":
        votes = est.predict_proba(rows) * len(est.estimators_)
        assert ((votes == votes.max(axis=1, keepdims=True)).sum(axis=1) > 1).any()


def test_contributions_equal_shap_and_add_up_to_the_probabilities(fitted):
    import shap

    _, est, x, _ = fitted
    rows = adversarial(est, x, n=300)
    values = est.predict_contributions(rows)
    assert values.shape == (len(rows), x.shape[1] + 1, len(est.classes_))
    assert np.abs(values.sum(axis=1) - est.predict_proba(rows)).max() <= 1e-9
    explainer = shap.TreeExplainer(est.to_sklearn())
    assert np.abs(explainer.shap_values(rows) - values[:, :-1]).max() <= 1e-6
    assert np.abs(explainer.expected_value - values[:, -1]).max() <= 1e-6


def test_onnx_model_labels_rows_as_lindorf(fitted):
    import onnxruntime

    _, est, x, _ = fitted
    rows = adversarial(est, x)
    session = onnxruntime.InferenceSession(lindorf.to_onnx(est).SerializeToString())
    labels, probabilities = session.run(None, {"X": rows})
    assert (labels.astype(str) == est.predict(rows)).all()
    assert np.abs(probabilities - est.predict_proba(rows)).max() <= 1e-6


@pytest.mark.filterwarnings("ignore")
def test_the_tree_ecosystem_takes_the_exported_models():
    import dtreeviz
    import matplotlib
    import onnxruntime
    import sklearn.tree
    import treelite
    from skl2onnx import to_onnx

    matplotlib.use("Agg")
    x, y = coarse_data(400, seed=4)
    x = np.nan_to_num(x)  # rows every tool reads
    tree = DecisionTreeClassifier(max_depth=3).fit(x, y).to_sklearn()
    forest_est = RandomForestClassifier(5, max_depth=4, random_state=3).fit(x, y)
    forest = forest_est.to_sklearn()
    texts = [t.get_text() for t in sklearn.tree.plot_tree(tree)]
    assert sum(text.startswith("x[") for text in texts) == tree.tree_.node_count - tree.tree_.n_leaves
    assert sklearn.tree.export_text(tree).count("class:") == tree.tree_.n_leaves
    for model in (tree, forest):
        converted = to_onnx(model, x[:1], options={"zipmap": False})
        _, probabilities = onnxruntime.InferenceSession(
            converted.SerializeToString()).run(None, {"X": x})
        assert np.abs(probabilities - model.predict_proba(x)).max() <= 1e-6
    for labels in ((y == "ant"), np.unique(y, return_inverse=True)[1] * 10 - 7):  # keep their type
        est = RandomForestClassifier(3, max_depth=3, random_state=2).fit(x, labels)
        session = onnxruntime.InferenceSession(lindorf.to_onnx(est).SerializeToString())
        assert session.run(["label"], {"X": x})[0].tolist() == est.predict(x).tolist()
    assert np.abs(treelite.gtil.predict(treelite.sklearn.import_model(forest),
                                        x.astype(np.float64))[:, 0]
                  - forest_est.predict_proba(x)).max() <= 1e-6
    codes = np.searchsorted(NAMES, y)  # dtreeviz reads class indices
    coded = DecisionTreeClassifier(max_depth=3).fit(x, codes).to_sklearn()
    svg = dtreeviz.model(coded, X_train=x, y_train=codes, feature_names=list("abcd"),
                         target_name="kind", class_names=list(NAMES)).view().svg()
    drawn = set(re.findall(r"<title>(?:node|leaf)(\d+)</title>", svg))
    assert drawn == {str(i) for i in range(coded.tree_.node_count)}


def read_rules(text):
    """The printed tree as nested tests: (feature, threshold, NaN left, left, right) or a leaf's
    class name."""
    lines = iter(text.splitlines())

    def node(line):
        depth = line.index("|---") // 4
        leaf = re.fullmatch(r"class: (.*)", line[depth * 4 + 5:])
        if leaf:
            return leaf.group(1)
        name, threshold, nan = re.fullmatch(r"(.*) <  (\S+)( or NaN)?", line[depth * 4 + 5:]).groups()
        left = node(next(lines))
        right_line = next(lines)
        assert right_line[depth * 4 + 5:] == f"{name} >= {threshold}"
        return (name, np.float32(threshold), bool(nan), left, node(next(lines)))

    return node(next(lines))


def test_printed_rules_label_every_row_as_the_tree_does(fitted):
    _, est, x, _ = fitted
    rows = adversarial(est, x)
    names = ["width", "length", "x[2]", "size"]
    for tree in trees_of(est)[:2]:
        rules = read_rules(export_text(tree, feature_names=names, max_depth=tree.get_depth()))
        for row, label in zip(rows, tree.predict(rows)):
            at = rules
            while isinstance(at, tuple):
                value = row[names.index(at[0])]
                at = at[3] if value < at[1] or (np.isnan(value) and at[2]) else at[4]
            assert at == str(label)
    tree = trees_of(est)[0]
    weighed = export_text(tree, max_depth=tree.get_depth(), show_weights=True)
    assert weighed.count("weights: [") == tree.get_n_leaves()
    assert "truncated branch of depth" in export_text(tree, max_depth=1)


def test_graphviz_and_matplotlib_draw_every_node():
    import matplotlib

    matplotlib.use("Agg")
    x, y = coarse_data(300, seed=5)
    tree = DecisionTreeClassifier(max_depth=3).fit(x, y)
    dot = export_graphviz(tree, filled=True, rounded=True, proportion=True, node_ids=True)
    assert dot.count(" [label=") == tree.nodes_.node_count
    inner = int(np.sum(tree.nodes_.children_left != -1))
    assert len(re.findall(r'label="node #\d+\\nx\[\d\] < ', dot)) == inner
    drawn = subprocess.run([shutil.which("dot") or "dot", "-Tsvg"], input=dot, text=True,
                           capture_output=True, check=True).stdout
    assert "<svg" in drawn
    cut = export_graphviz(tree, max_depth=1, special_characters=True)
    assert "(...)" in cut and "&lt;" in cut
    annotations = plot_tree(tree, filled=True, feature_names=list("abcd"))
    assert len(annotations) == tree.nodes_.node_count
    assert sum(bool(re.match(r"[abcd] < \S+\n", a.get_text())) for a in annotations) == inner
    assert len(plot_tree(tree, max_depth=0)) == 3


def test_unfitted_models_and_misuse_raise_clear_errors():
    x, y = coarse_data(100)
    for est in (DecisionTreeClassifier(), RandomForestClassifier(2)):
        for call in (est.predict_contributions, est.decision_path):
            with pytest.raises(NotFittedError):
                call(x)
        with pytest.raises(NotFittedError):
            est.to_sklearn()
        with pytest.raises(NotFittedError):
            lindorf.to_onnx(est)
    with pytest.raises(NotFittedError):
        export_text(DecisionTreeClassifier())
    forest = RandomForestClassifier(2, random_state=0).fit(x, y)
    with pytest.raises(TypeError, match="estimators_"):
        export_text(forest)
    with pytest.raises(ValueError, match="features"):
        forest.predict_contributions(x[:, :3])
    with pytest.raises(ValueError, match="feature_names"):
        export_text(forest.estimators_[0], feature_names=["a"])


def test_ctrl_c_interrupts_long_contributions():
    x, y = coarse_data(5000, seed=6)
    forest = RandomForestClassifier(200, min_samples_split=2, random_state=0, n_jobs=2).fit(x, y)
    rows = np.repeat(x, 20, axis=0)  # a minute or more of work
    timer = threading.Timer(0.3, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT))
    start = time.perf_counter()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        forest.predict_contributions(rows)
    assert time.perf_counter() - start < 10  # well short of the work, generous for a busy machine
    timer.join()
