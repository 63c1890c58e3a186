from typing import final

__all__ = ["BinaryParser"]

@final
class BinaryParser:
    def __init__(self) -> None: ...
    def parse(self, kind: str, version: int, b64_data: str) -> str:
        """Decodes one base64 payload of `kind` and `version` into its JSON text.

        Raises ValueError (with the attributes kind, version, offset and path) when the kind is
        unknown or the payload cannot be decoded, TypeError for arguments of the wrong type."""
        ...
