"""The layering HACKING.md draws, checked against the code: every #include of
the C++ sources (the table "what each folder may include" is read from
HACKING.md itself, so the map cannot drift from the code), and the Python
package's imports (no private names across modules, no cycle, no module over
500 lines)."""

from __future__ import annotations

import ast
import re

from conftest import ROOT

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
PACKAGE = ROOT / "python" / "karvo"


def allowed_includes() -> dict[str, set[str]]:
    """The table of HACKING.md whose header is "| folder | may include |":
    folder (relative to the root) -> the folders (and <Python.h>) it may include."""
    rows = {}
    lines = iter((ROOT / "HACKING.md").read_text(encoding="utf-8").splitlines())
    for line in lines:
        if re.fullmatch(r"\|\s*folder\s*\|\s*may include\s*\|", line.strip()):
            break
    next(lines)  # |---|---|
    for line in lines:
        if not line.startswith("|"):
            break
        folder, targets = (re.findall(r"`([^`]+)`", cell) for cell in line.strip().strip("|").split("|"))
        rows[folder[0]] = set(targets)
    assert rows, "HACKING.md has no table headed | folder | may include |"
    return rows


def include_violations(rules: dict[str, set[str]]) -> list[str]:
    wrong = []
    for folder, allowed in rules.items():
        for path in sorted((ROOT / folder).glob("*.[ch]pp")):
            text = path.read_text(encoding="utf-8")
            for match in INCLUDE.finditer(text):
                quote, target = match.groups()
                if quote == "<":
                    what = "<Python.h>" if target == "Python.h" or target.startswith("numpy/") else None
                else:
                    what = target.split("/")[0] if "/" in target else f'"{target}" (no folder)'
                if what is None or what in allowed:
                    continue
                line = text.count("\n", 0, match.start()) + 1
                where = f"{path.relative_to(ROOT)}:{line}"
                rule = f"{folder} may include {', '.join(sorted(allowed))}"
                wrong.append(f"{where}: {match.group(0).strip()}, but {rule}")
    return wrong


def test_cpp_includes_keep_the_layering_of_hacking_md():
    rules = allowed_includes()
    folders = {f"src/{p.name}" for p in (ROOT / "src").iterdir() if p.is_dir()}
    assert folders <= set(rules), f"folders missing from HACKING.md's table: {sorted(folders - set(rules))}"
    assert all((ROOT / folder).is_dir() for folder in rules), sorted(f for f in rules if not (ROOT / f).is_dir())
    wrong = include_violations(rules)
    assert not wrong, "includes against HACKING.md's table:\n" + "\n".join(wrong)


def module_imports(path) -> list[tuple[str, list[str]]]:
    """(module, names taken from it) for every import of the package module at
    `path` (within functions too), relative ones resolved; ``from . import x``
    gives the module x."""
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    package = list(parts[:-1])
    out = []
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            out += [(alias.name, []) for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = ".".join(package[: len(package) - node.level + 1]) if node.level else ""
            module = ".".join(filter(None, [base, node.module]))
            names = [alias.name for alias in node.names]
            out += [(f"{module}.{n}", []) for n in names] if node.module is None else [(module, names)]
    return out


def private(name: str) -> bool:
    return name.startswith("_") and not name.startswith("__")


def test_python_modules_share_no_private_names_and_import_in_no_circle():
    """A private name is used only in its module, a private module only in
    its package (the compiled karvo._karvo aside); imports, those inside
    functions included, go one way; no module runs over 500 lines."""
    modules = {}
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        modules[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    assert {name: n for name, path in modules.items() if (n := len(path.read_text().splitlines())) > 500} == {}
    wrong, edges = [], {name: set() for name in modules}
    for name, path in modules.items():
        for module, names in module_imports(path):
            if module not in modules:
                continue  # another distribution's, or the compiled karvo._karvo
            edges[name].add(module)
            segments = module.split(".")
            owner = next((".".join(segments[:i]) for i, s in enumerate(segments) if private(s)), None)
            if owner is not None and name != owner and not name.startswith(owner + "."):
                wrong.append(f"{name} imports {module}, private to {owner}")
            wrong += [f"{name} imports {module}.{n}" for n in names if private(n)]
    assert not wrong, "\n".join(wrong)

    def circle(path: list[str]) -> list[str] | None:
        for following in sorted(edges[path[-1]]):
            if following == path[0]:
                return [*path, following]
            if following not in path:
                found = circle([*path, following])
                if found:
                    return found
        return None

    assert [c for name in modules if (c := circle([name]))] == []
