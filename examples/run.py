"""Compiles the example templates with vorpel and prints the results."""

from pathlib import Path

import vorpel

here = Path(__file__).parent
variables = {
    "user": {"name": "Ada", "admin": True},
    "changes": ["faster lexer", "source maps", "lint fixes"],
    "language": "English",
}

markdown = vorpel.compile_file(here / "welcome.tyx", vars=variables)
print(markdown.output)

chat = vorpel.compile_file(here / "welcome_chat.tyx", vars=variables)
for message in chat.messages:
    print(f"[{message.role}]")
    print(message.content)
