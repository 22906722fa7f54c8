"""What a write did: the reports of SII writes, image restores and alias changes."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Optional, Tuple

from . import _native as n


@dataclass(frozen=True)
class SiiWriteReport:
    """A verified write of SII words: `written` words acknowledged, `verified` when every
    word read back as written, `first_mismatch` the first word that did not (None)."""

    written: int
    verified: bool
    attempts: int
    first_mismatch: Optional[int]

    @classmethod
    def from_c(cls, r: n.SiiReport) -> "SiiWriteReport":
        return cls(int(r.words_written), bool(r.verified), int(r.attempts),
                   None if r.first_mismatch < 0 else int(r.first_mismatch))


@dataclass(frozen=True)
class SiiRestoreReport:
    """A whole-image write: words compared with the EEPROM, differing (those are written),
    written, verified, the first word not written or not verified (None), and the backup
    file made before writing (None when none was made, as in a dry run)."""

    compared: int
    differing: int
    written: int
    words_verified: int
    first_failed_word: Optional[int]
    backup_path: Optional[str]
    dry_run: bool

    @property
    def verified(self) -> bool:
        """Every word that had to be written was written and read back as written."""
        return (not self.dry_run and self.first_failed_word is None and self.words_verified == self.differing
                and self.written == self.differing)

    @classmethod
    def from_c(cls, r: n.SiiRestoreReport, dry_run: bool) -> "SiiRestoreReport":
        path = n.text(r.backup_path)
        return cls(int(r.words_compared), int(r.words_differing), int(r.words_written), int(r.words_verified),
                   None if r.first_failed_word < 0 else int(r.first_failed_word), path or None, dry_run)


@dataclass(frozen=True)
class AliasReport:
    """What set_alias did.

    before      the alias (SII word 4) before writing, None when it could not be read
    written     the alias written into word 4 (None when nothing was written)
    read_back   word 4 as read back after writing, None when it could not be read
    verified    words 0-7 read back exactly as written (alias and checksum)
    effective   register 0x0012 already shows the new alias; normally False until the
                slave is powered again, as it loads the alias at power-on
    """

    before: Optional[int]
    written: Optional[int]
    read_back: Optional[int]
    verified: bool
    effective: bool
    checksum_written: Optional[int]
    stored_checksum_ok: bool
    register: Optional[int]
    attempts: int
    words_before: Tuple[int, ...]
    words_after: Tuple[Optional[int], ...]

    @classmethod
    def from_c(cls, r: n.AliasReport, header_read: bool) -> "AliasReport":
        tried = bool(r.alias_acknowledged) or r.attempts > 0
        after = tuple(int(r.after[i]) if r.after_read & (1 << i) else None for i in range(n.EC_SII_HEADER_WORDS))
        return cls(
            before=int(r.before[4]) if header_read else None,
            written=int(r.alias_written) if tried else None,
            read_back=after[4],
            verified=bool(r.verified),
            effective=bool(r.register_shows_new),
            checksum_written=int(r.checksum_written) if r.alias_acknowledged else None,
            stored_checksum_ok=bool(r.stored_checksum_ok),
            register=int(r.alias_register) if r.register_read else None,
            attempts=int(r.attempts),
            words_before=tuple(int(w) for w in r.before),
            words_after=after,
        )
