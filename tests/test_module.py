"""The module's surface: its attributes, classes, signatures and the exception class."""

import ast
import inspect
import pathlib
import types

import pytest

import quib_engine
from quib_engine import DatabaseStats, IngestReport, QueryResult, QuibDB, QuibError


def test_module_holds_exactly_the_classes_and_the_exception_in_order():
    names = [name for name in vars(quib_engine) if not name.startswith("__")]
    assert names == ["QuibDB", "QueryResult", "DatabaseStats", "IngestReport", "QuibError"]


@pytest.mark.parametrize(
    "method, signature",
    [
        (QuibDB.open, "(path, mode=None)"),
        (QuibDB.create, "(path)"),
        (QuibDB.flush, "($self)"),
        (QuibDB.close, "($self)"),
        (QuibDB.__enter__, "($self)"),
        (QuibDB.__exit__, "($self, _exc_type=None, _exc_val=None, _exc_tb=None)"),
        (QuibDB.stats, "($self)"),
        (QuibDB.schema, "($self)"),
        (
            QuibDB.ingest,
            "($self, path, max_categories=None, date_columns=None, date_granularity=None)",
        ),
        (QuibDB.ingest_records, "($self, records)"),
        (QueryResult.to_csv, "($self)"),
        (QueryResult.to_json, "($self)"),
        (QueryResult.to_dicts, "($self)"),
    ],
)
def test_text_signatures(method, signature):
    assert method.__text_signature__ == signature
    inspect.signature(method)  # the host can read it


@pytest.mark.parametrize("cls", [QuibDB, QueryResult, DatabaseStats, IngestReport])
def test_classes_cannot_be_instantiated(cls):
    with pytest.raises(TypeError):
        cls()
    assert cls.__module__ == "quib_engine"


def test_quib_error_is_one_plain_exception_class(tmp_path):
    assert QuibError is quib_engine.QuibError
    assert QuibError.__name__ == "QuibError"
    assert QuibError.__module__ == "quib_engine"
    assert QuibError.__bases__ == (Exception,)
    with pytest.raises(QuibError) as info:
        QuibDB.open(str(tmp_path / "missing"))
    assert type(info.value) is quib_engine.QuibError
    assert isinstance(info.value, Exception)
    assert len(info.value.args) == 1


def test_result_objects_are_frozen(db_path):
    with QuibDB.create(db_path) as db:
        stats = db.stats()
        report = db.ingest_records([])
    for obj, attr in [(stats, "distributions"), (report, "total_rows")]:
        with pytest.raises(AttributeError):
            setattr(obj, attr, 1)
        with pytest.raises(AttributeError):
            obj.extra = 1
        assert str(obj) == repr(obj)


STUB = pathlib.Path(__file__).resolve().parent.parent / "binding" / "quib_engine.pyi"
# What every class gets from the interpreter rather than from the module.
MADE_BY_PYTHON = {"__doc__", "__module__", "__weakref__"}


def stub_member(node):
    """A class member of the stub as (kind, parameters), each parameter (name, has default)."""
    decorators = {d.id for d in node.decorator_list if isinstance(d, ast.Name)}
    if "property" in decorators:
        return "property", None
    args = node.args
    positional = args.posonlyargs + args.args
    defaulted = len(positional) - len(args.defaults)
    params = [(a.arg, i >= defaulted) for i, a in enumerate(positional)]
    params += [(a.arg, d is not None) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return ("staticmethod" if "staticmethod" in decorators else "method"), params


def runtime_member(cls, name):
    raw = vars(cls)[name]
    if isinstance(raw, types.GetSetDescriptorType):
        return "property", None
    params = inspect.signature(getattr(cls, name)).parameters.values()
    kind = "staticmethod" if isinstance(raw, staticmethod) else "method"
    return kind, [(p.name, p.default is not p.empty) for p in params]


def stub_top_level_names(tree):
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        elif isinstance(node, (ast.Assign, ast.AnnAssign)):
            targets = node.targets if isinstance(node, ast.Assign) else [node.target]
            names.update(target.id for target in targets)
    return {name for name in names if not name.startswith("_")}


def public_names(module):
    return [name for name in vars(module) if not name.startswith("_")]


def test_stub_declares_exactly_what_the_module_holds():
    tree = ast.parse(STUB.read_text())
    assert stub_top_level_names(tree) == set(public_names(quib_engine))
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    for name, node in classes.items():
        cls = getattr(quib_engine, name)
        declared = {
            member.name: stub_member(member)
            for member in node.body
            if isinstance(member, ast.FunctionDef)
        }
        members = set(vars(cls)) - MADE_BY_PYTHON
        present = {member: runtime_member(cls, member) for member in members}
        assert declared == present, name
        assert [base.id for base in node.bases] == [
            base.__name__ for base in cls.__bases__ if base is not object
        ]


def test_every_public_object_has_help_text():
    objects = {"quib_engine": quib_engine}
    for name in public_names(quib_engine):
        cls = getattr(quib_engine, name)
        objects[name] = cls
        for member in set(vars(cls)) - MADE_BY_PYTHON:
            objects[f"{name}.{member}"] = getattr(cls, member)
    undocumented = [name for name, obj in objects.items()
                    if not (inspect.getdoc(obj) or "").strip()]
    assert undocumented == []
