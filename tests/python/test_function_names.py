"""Which names a user function's body sees: its parameters, then what was visible where it was
defined; never the variables of the loops around its call."""

import pytest

import vorpel

from support import error_of

MANY_PARAMETERS = ", ".join(f"parameter_{i}" for i in range(12))
MANY_ARGUMENTS = ", ".join(f'"{i}"' for i in range(12))


@pytest.mark.parametrize(
    "source, variables, output",
    [
        # A parameter hides a loop variable of the same name around the call.
        ('@define f(x):\n{{ x }}\n@end\n@for x in xs:\n{{ f("p") }}\n@end\n',
         {"xs": [1, 2]}, "p\np\n"),
        # A name the function does not bind is the one visible at its definition.
        ('@define f(item):\n{{ item }}{{ y }}\n@end\n'
         '@for item in xs:\n@for y in xs:\n{{ f("p") }}\n@end\n@end\n',
         {"xs": [1], "y": "global"}, "pglobal\n"),
        ("---\nx: frontmatter\n---\n@define f():\n{{ x }}\n@end\n@for x in xs:\n{{ f() }}\n@end\n",
         {"xs": [1, 2]}, "---\nx: frontmatter\n---\nfrontmatter\nfrontmatter\n"),
        # Functions defined before and after it.
        ("@define g():\ng\n@end\n@define f():\n{{ g() }}{{ h() }}\n@end\n"
         "@define h():\nh\n@end\n{{ f() }}\n", {}, "gh\n"),
        # Defaults fill the parameters past the arguments.
        ('@define f(a, b="d"):\n{{ a }}{{ b }}\n@end\n{{ f("1") }}{{ f("1", "2") }}\n', {},
         "1d12\n"),
        # Enough parameters for a call's frame to index them, and a long global name.
        (f"@define f({MANY_PARAMETERS}):\n"
         "{{ parameter_0 }}{{ parameter_11 }}{{ a_long_global_name }}\n@end\n"
         f"{{{{ f({MANY_ARGUMENTS}) }}}}\n", {"a_long_global_name": "g"}, "011g\n"),
    ],
)
def test_a_function_body_sees_its_parameters_then_its_definition_site(source, variables, output):
    assert vorpel.compile(source, vars=variables).output == output


def test_a_loop_variable_around_the_call_is_not_visible_in_the_body():
    source = "@define f():\n{{ x }}\n@end\n@for x in xs:\n{{ f() }}\n@end\n"
    error = error_of(lambda: vorpel.compile(source, vars={"xs": [1, 2]}))
    assert error.message == "undefined variable 'x'"
