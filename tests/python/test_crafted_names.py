"""Names chosen to collide in the name tables' index as it was placed before it took a secret:
through `vars` and through a frontmatter, every one of them still reads its own value."""

import pytest

import vorpel

MASK = (1 << 64) - 1


def unkeyed_spread(key):
    """Where the index placed a short name's key while it took no secret."""
    key = key * 0xFF51AFD7ED558CCD & MASK
    key ^= key >> 32
    key ^= key >> 33
    key = key * 0xC4CEB9FE1A85EC53 & MASK
    return key ^ key >> 33


def crowding_names(count):
    """Seven-letter names that a table of `count` of them (2^12 slots for 1,000) placed in its
    first 16 slots."""
    names = []
    index = 0
    while len(names) < count:
        letters, rest = [], index
        for _ in range(7):
            rest, letter = divmod(rest, 26)
            letters.append(chr(ord("a") + letter))
        name = "".join(letters)
        key = 7 << 56 | int.from_bytes(name.encode(), "little")
        if unkeyed_spread(key) & 0xFF0 == 0:
            names.append(name)
        index += 1
    return names


NAMES = crowding_names(1000)
READ = NAMES[::97] + [NAMES[-1]]
TEMPLATE = "{{ x }}" + "".join(f" {{{{ {name} }}}}" for name in READ)
EXPECTED = "1" + "".join(f" {NAMES.index(name)}" for name in READ)


@pytest.mark.parametrize("through", ["vars", "frontmatter"])
def test_crafted_names_each_read_their_own_value(through):
    if through == "vars":
        result = vorpel.compile(TEMPLATE, vars={name: i for i, name in enumerate(NAMES)} | {"x": 1})
        assert result.output == EXPECTED + "\n"
    else:
        frontmatter = "---\n" + "".join(f"{name}: {i}\n" for i, name in enumerate(NAMES)) + "x: 1\n---\n"
        result = vorpel.compile(frontmatter + TEMPLATE)
        assert result.output == frontmatter + EXPECTED + "\n"
    with pytest.raises(vorpel.TyxError, match="zzzzzzz"):
        vorpel.compile(TEMPLATE + " {{ zzzzzzz }}", vars={name: 1 for name in NAMES} | {"x": 1})
