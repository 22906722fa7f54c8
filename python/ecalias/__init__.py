"""ecalias: an EtherCAT master for Python, over the libecalias C library.

    import ecalias
    with ecalias.open("sim:--slaves 3 --name 2:Drive") as master:
        for s in master.slaves:
            print(s.position, s.name, s.state)
        master.slave(2).sdo_read(0x1018, 1, "u32")

Nothing in the package prints; failures raise ecalias.Error or one of its subclasses.
"""
from . import _native
from .errors import (EepromError, Error, MasterClosed, NoSuchSlave, OpenError, SdoAbort, StaleSlave, StateError,
                     Timeout)
from .master import Adapter, Master, adapters, open
from .reports import AliasReport, SiiRestoreReport, SiiWriteReport
from .slave import STATES, Slave
from .values import TYPES

__version__: str = _native.version()

__all__ = [
    "__version__", "adapters", "open", "Adapter", "Master", "Slave", "AliasReport", "SiiWriteReport",
    "SiiRestoreReport", "Error", "SdoAbort", "NoSuchSlave", "StaleSlave", "Timeout", "EepromError", "OpenError",
    "StateError", "MasterClosed", "STATES", "TYPES",
]
