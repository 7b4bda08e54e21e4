"""Which kernel modules a guest loads itself before its root exists, and in what order.

The guest's first userland is a small initramfs without modprobe: it loads each module with
insmod, so every module must come after the modules it needs, as the kernel's modules.dep
lists them.
"""


def parse_modules_dep(text):
    """modules.dep as {module path: [paths it needs]}, paths relative to the release's tree."""
    needs = {}
    for line in text.splitlines():
        if ":" not in line:
            continue
        module, _, rest = line.partition(":")
        needs[module.strip()] = rest.split()
    return needs


def module_name(path):
    """The name a module is known by: its file name less the .ko (and any compression suffix),
    with dashes read as underscores, as the kernel does."""
    base = path.rsplit("/", 1)[-1]
    base = base.split(".ko", 1)[0]
    return base.replace("-", "_")


def load_order(needs, wanted, builtin=()):
    """The module paths to insmod, needed ones first, for the module names in `wanted`. A wanted
    module that the kernel has built in (named in modules.builtin) needs nothing; one that is
    neither a module nor built in raises KeyError."""
    by_name = {module_name(path): path for path in needs}
    builtin_names = {module_name(path) for path in builtin}
    order, seen = [], set()

    def visit(path, chain):
        if path in seen:
            return
        if path in chain:
            raise ValueError(f"modules.dep has a cycle through {path}")
        for needed in needs.get(path, []):
            visit(needed, chain | {path})
        seen.add(path)
        order.append(path)

    for name in wanted:
        key = name.replace("-", "_")
        if key in by_name:
            visit(by_name[key], frozenset())
        elif key not in builtin_names:
            raise KeyError(f"no module {name} in this kernel, and it has none built in")
    return order
