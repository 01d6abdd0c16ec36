"""Types of korvex.tcl.internal: the Tcl library, its list scanner and its
dictionary ordering."""

import ctypes
from typing import Any, ClassVar, NoReturn

lib: str
TclDLL: ctypes.CDLL

class ReturnCodes:
    TCL_OK: ClassVar[int]
    TCL_ERROR: ClassVar[int]
    TCL_RETURN: ClassVar[int]
    TCL_BREAK: ClassVar[int]
    TCL_CONTINUE: ClassVar[int]

Tcl_WideInt = ctypes.c_int64

class Tcl_Interp_p(ctypes.c_void_p):
    @classmethod
    def from_param(cls, interp: Any) -> Any: ...

class Tcl_ObjType(ctypes.Structure):
    name: bytes | None
    freeIntRepProc: Any
    dupIntRepProc: Any
    updateStringProc: Any
    setFromAnyProc: Any

class Tcl_Obj(ctypes.Structure):
    class u_internalRep(ctypes.Union):
        class s_twoPtrValue(ctypes.Structure):
            ptr1: int | None
            ptr2: int | None
        longValue: int
        doubleValue: float
        otherValuePtr: int | None
        wideValue: int
        twoPtrValue: s_twoPtrValue
    refCount: int
    bytes: Any
    length: int
    typePtr: Any
    internalRep: u_internalRep

def TclError_from_interp(interp: Any, default_msg: str | None = None) -> NoReturn: ...
def GetListFromAny(obj: object, interp: Any = None) -> tuple[Any, ...]: ...
def DictionaryCompare(left: str, right: str) -> int: ...
