"""Copies the docstrings of the modules into their typed stubs, so IDEs show the same text.

    .venv/bin/python scripts/sync_stub_docs.py [--check] [STUB ...]

For the stub of every extension module (``vireo/**/<name>.pyi`` beside ``<name>.*.so``), each
class, method and function that has a docstring at run time gets that docstring in the stub
(the stub keeps its own where the module has none): an IDE cannot read a compiled module's
docstrings, only the stub's. Stubs of plain Python modules are left alone. Run it after
changing a docstring; ``--check`` only reports stubs that differ and exits 1 if any does.
"""
import argparse
import ast
import glob
import importlib
import inspect
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def module_name(path):
    rel = os.path.relpath(path, ROOT)
    rel = os.path.dirname(rel) if rel.endswith("__init__.pyi") else rel[: -len(".pyi")]
    return rel.replace(os.sep, ".")


def runtime_doc(obj):
    """The object's own docstring, cleaned, or None (inherited ones are not copied)."""
    doc = obj.__dict__.get("__doc__") if isinstance(obj, type) else getattr(obj, "__doc__", None)
    return inspect.cleandoc(doc) if isinstance(doc, str) and doc.strip() else None


def literal(doc, indent):
    """The docstring as stub source at `indent`."""
    prefix = "r" if "\\" in doc else ""
    lines = doc.replace('"""', '\\"\\"\\"' if not prefix else "'''").splitlines()
    if len(lines) == 1:
        return '%s%s"""%s"""' % (indent, prefix, lines[0])
    body = "\n".join((indent + line) if line else "" for line in lines[1:])
    return '%s%s"""%s\n%s\n%s"""' % (indent, prefix, lines[0], body, indent)


def definitions(tree, module):
    """(stub node, runtime object) for each class and function of the stub found at run time."""
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and hasattr(module, node.name):
            runtime = getattr(module, node.name)
            yield node, runtime
            if isinstance(node, ast.ClassDef):
                for item in node.body:
                    if isinstance(item, ast.FunctionDef) and item.name in vars(runtime):
                        yield item, vars(runtime)[item.name]


def synced(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    tree = ast.parse(text)
    module = importlib.import_module(module_name(path))
    lines = text.splitlines()
    edits = []
    for node, runtime in definitions(tree, module):
        doc = runtime_doc(runtime)
        first = node.body[0] if node.body else None
        if doc is None or not (isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant)
                               and isinstance(first.value.value, str)):
            continue
        if inspect.cleandoc(first.value.value) == doc:
            continue
        indent = " " * first.col_offset
        edits.append((first.lineno - 1, first.end_lineno, literal(doc, indent).splitlines()))
    for start, end, new in sorted(edits, reverse=True):
        lines[start:end] = new
    return "\n".join(lines) + "\n", len(edits)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true", help="report stubs out of date; change nothing")
    parser.add_argument("stubs", nargs="*", help="the stubs to bring in step (default: all under vireo/)")
    args = parser.parse_args(argv)
    sys.path.insert(0, ROOT)
    stale = []
    paths = [os.path.abspath(p) for p in args.stubs] or glob.glob(os.path.join(ROOT, "vireo", "**", "*.pyi"),
                                                                   recursive=True)
    for path in sorted(paths):
        if not glob.glob(path[: -len(".pyi")] + ".*.so"):
            continue
        text, count = synced(path)
        if count:
            stale.append("%s: %d docstring(s)" % (os.path.relpath(path, ROOT), count))
            if not args.check:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)
    print("\n".join(stale) if stale else "stubs in step with the modules")
    return 1 if (stale and args.check) else 0


if __name__ == "__main__":
    sys.exit(main())
