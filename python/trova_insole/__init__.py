"""Pure-Python companions of the trova_insole_sdk extension module.

The extension module is the SDK itself and keeps its own fixed surface; this
package adds conveniences for Python hosts on top of it.
"""

from .capture import CapturedMessage, CaptureWriter, read_messages
from .parser import Parser

__all__ = ["CaptureWriter", "CapturedMessage", "Parser", "read_messages"]
