"""Pure-Python companions of the trova_insole_sdk extension module.

The extension module is the SDK itself and keeps its own fixed surface; this
package adds conveniences for Python hosts on top of it.
"""

from .capture import CapturedMessage, CaptureWriter, read_messages
from .export import export_csv, read_capture
from .forces import calibrate_pressure_array
from . import gait
from .layout import Cell, layout
from .parser import Parser
from .virtual import VirtualInsole

__all__ = ["CaptureWriter", "CapturedMessage", "Cell", "Parser", "VirtualInsole", "calibrate_pressure_array",
           "export_csv", "gait", "layout", "read_capture", "read_messages"]
